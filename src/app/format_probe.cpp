#include "app/format_probe.h"

namespace vistrel {

FormatProbe::FormatProbe(int device, FormatQuery query, QObject* parent)
    : QObject(parent)
    , device_(device)
{
    thread_ = std::thread([this, query = std::move(query)] {
        std::vector<CaptureFormat> formats;
        const int result = query(formats, stop_);
        // Delivered on the user-interface thread; dropped with this object
        // if it is gone by then (its destructor has waited for this thread).
        QMetaObject::invokeMethod(
            this,
            [this, result, formats = std::move(formats)]() mutable {
                formats_ = std::move(formats);
                Q_EMIT finished(result);
            },
            Qt::QueuedConnection);
    });
}

FormatProbe::~FormatProbe()
{
    stop_ = true;
    thread_.join();
}

} // namespace vistrel
