// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include "common/event.h"

#include <QTemporaryDir>

#include <fstream>
#include <iterator>
#include <mutex>
#include <sstream>
#include <string>
#include <vector>

namespace vistrel::test {

// Collects the lines a part reports for people, from any thread.
class Reports {
public:
    std::function<void(const std::string&)> Sink()
    {
        return [this](const std::string& line) {
            std::lock_guard guard(mutex_);
            lines_.push_back(line);
        };
    }
    std::vector<std::string> lines() const
    {
        std::lock_guard guard(mutex_);
        return lines_;
    }

private:
    mutable std::mutex mutex_; // guards lines_
    std::vector<std::string> lines_;
};

inline EventEdge Edge(EdgeKind kind, char camera, int64_t time, int level = 0, std::string firstImage = {},
                      std::string reason = {})
{
    EventEdge edge;
    edge.kind = kind;
    edge.camera = camera;
    edge.time = time;
    edge.level = level;
    edge.firstImage = firstImage;
    edge.lastImage = firstImage;
    edge.reason = reason;
    return edge;
}

inline std::string ReadFile(const std::string& path)
{
    std::ifstream file(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(file), {});
}

inline std::string TempPath(const QTemporaryDir& dir, const std::string& name)
{
    return dir.path().toStdString() + "/" + name;
}

} // namespace vistrel::test
