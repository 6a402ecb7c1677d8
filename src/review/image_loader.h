// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <QImage>
#include <QString>

#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <thread>

namespace vistrel {

// Decodes archive images for the review window on its own thread, so a large
// JPEG never stalls the window. Only the latest request counts: while one
// image decodes, newer requests replace each other, which is how playback
// at 64x drops what it cannot show. Request() may be called from any thread;
// `loaded` runs on the loader's thread and must only hand the image on; for
// a file that has gone or cannot be shown it gets a null image and the
// reason, to show in its place.
class ImageLoader {
public:
    using Loaded = std::function<void(uint64_t ticket, QImage image, QString whyNot)>;
    explicit ImageLoader(Loaded loaded);
    ~ImageLoader(); // drops what is pending and joins the thread
    ImageLoader(const ImageLoader&) = delete;
    ImageLoader& operator=(const ImageLoader&) = delete;

    void Request(uint64_t ticket, std::string path);

private:
    void Run();

    const Loaded loaded_;
    std::mutex mutex_; // guards pending_ and stop_
    std::condition_variable wake_;
    std::optional<std::pair<uint64_t, std::string>> pending_;
    bool stop_ = false;
    std::thread thread_; // last: starts once everything above is ready
};

} // namespace vistrel
