// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include "review/archive_index.h"
#include "settings/instance_settings.h"

#include <QColor>
#include <QDir>
#include <QImage>
#include <QTemporaryDir>

#include <cstdio>
#include <string>

namespace vistrel::test {

// An archive folder of camera A of instance 1 (a temporary one unless
// given), filled with small JPEGs of one colour each, written as the
// recorder writes them (a temporary file renamed into place).
class TempArchive {
public:
    explicit TempArchive(std::string folder = {})
        : folder_(folder.empty() ? dir_.path().toStdString() + "/archive" : std::move(folder))
        , suffix_(ArchiveSuffix(1, 0))
    {
    }

    const std::string& path() const { return folder_; }
    const std::string& suffix() const { return suffix_; }
    std::string file(const ArchiveKey& key) const { return path() + "/" + ArchiveImageName(key, suffix_); }

    void Add(const ArchiveKey& key, QColor colour = Qt::gray, QSize size = QSize(64, 48)) const
    {
        QDir().mkpath(QString::fromStdString(path()));
        QImage image(size, QImage::Format_RGB888);
        image.fill(colour);
        const QString temporary = QString::fromStdString(path() + "/.writing.tmp");
        if (!image.save(temporary, "JPG", 90)
            || std::rename(temporary.toLocal8Bit().constData(), file(key).c_str()) != 0)
            std::abort();
    }
    void Remove(const ArchiveKey& key) const { std::remove(file(key).c_str()); }

private:
    QTemporaryDir dir_;
    std::string folder_;
    std::string suffix_;
};

} // namespace vistrel::test
