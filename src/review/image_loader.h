#pragma once

#include <QImage>

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
// `loaded` runs on the loader's thread (a null image for a file that has gone
// or cannot be read) and must only hand the image on.
class ImageLoader {
public:
    explicit ImageLoader(std::function<void(uint64_t ticket, QImage image)> loaded);
    ~ImageLoader(); // drops what is pending and joins the thread
    ImageLoader(const ImageLoader&) = delete;
    ImageLoader& operator=(const ImageLoader&) = delete;

    void Request(uint64_t ticket, std::string path);

private:
    void Run();

    const std::function<void(uint64_t, QImage)> loaded_;
    std::mutex mutex_; // guards pending_ and stop_
    std::condition_variable wake_;
    std::optional<std::pair<uint64_t, std::string>> pending_;
    bool stop_ = false;
    std::thread thread_; // last: starts once everything above is ready
};

} // namespace vistrel
