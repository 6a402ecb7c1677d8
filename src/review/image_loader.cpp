// SPDX-License-Identifier: GPL-3.0-or-later
#include "review/image_loader.h"

#include "archive/archive_file.h"

#include <QBuffer>
#include <QImageReader>

#include <fcntl.h>

namespace vistrel {

ImageLoader::ImageLoader(Loaded loaded)
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
        QImage image;
        QString whyNot;
        std::vector<uint8_t> bytes;
        switch (ReadArchiveFile(AT_FDCWD, request.second, bytes)) {
        case ArchiveFileStatus::Read: {
            QByteArray data =
                QByteArray::fromRawData(reinterpret_cast<const char*>(bytes.data()), qsizetype(bytes.size()));
            QBuffer buffer(&data);
            // Archive images are JPEG whatever their content claims.
            QImageReader reader(&buffer, "jpeg");
            image = reader.read();
            whyNot = QStringLiteral("This image is damaged and cannot be shown.");
            break;
        }
        case ArchiveFileStatus::TooLarge:
            whyNot = QStringLiteral("This file is over %1 MiB: not an image the recorder writes.")
                         .arg(kMaxArchiveImageBytes >> 20);
            break;
        case ArchiveFileStatus::NotAFile:
            whyNot = QStringLiteral("This is not an image file.");
            break;
        case ArchiveFileStatus::Gone:
        case ArchiveFileStatus::Unreadable:
            whyNot = QStringLiteral("This image has left the archive.");
            break;
        }
        loaded_(request.first, std::move(image), std::move(whyNot));
    }
}

} // namespace vistrel
