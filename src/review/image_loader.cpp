#include "review/image_loader.h"

#include <QImageReader>

namespace vistrel {

ImageLoader::ImageLoader(std::function<void(uint64_t ticket, QImage image)> loaded)
    : loaded_(std::move(loaded))
    , thread_([this] { Run(); })
{
}

ImageLoader::~ImageLoader()
{
    {
        std::lock_guard lock(mutex_);
        stop_ = true;
        pending_.reset();
    }
    wake_.notify_one();
    thread_.join();
}

void ImageLoader::Request(uint64_t ticket, std::string path)
{
    {
        std::lock_guard lock(mutex_);
        pending_.emplace(ticket, std::move(path));
    }
    wake_.notify_one();
}

void ImageLoader::Run()
{
    while (true) {
        std::pair<uint64_t, std::string> request;
        {
            std::unique_lock lock(mutex_);
            wake_.wait(lock, [this] { return stop_ || pending_; });
            if (stop_)
                return;
            request = std::move(*pending_);
            pending_.reset();
        }
        // Archive images are JPEG whatever their content claims.
        QImageReader reader(QString::fromStdString(request.second), "jpeg");
        QImage image = reader.read();
        loaded_(request.first, std::move(image));
    }
}

} // namespace vistrel
