// SPDX-License-Identifier: GPL-3.0-or-later
#include "capture/libav_log.h"

#include "capture/capture_log.h"

extern "C" {
#include <libavutil/log.h>
}

#include <algorithm>
#include <cstdarg>
#include <mutex>

namespace vistrel {

namespace {

void LibavLog(void* object, int level, const char* format, va_list args)
{
    if (level > AV_LOG_WARNING || !lcCapture().isDebugEnabled())
        return;
    char line[1024];
    int prefix = 1;
    av_log_format_line2(object, level, format, args, line, sizeof line, &prefix);
    std::string text = MaskUserInfo(line);
    while (!text.empty() && (text.back() == '\n' || text.back() == '\r'))
        text.pop_back();
    std::replace(text.begin(), text.end(), '\n', ' ');
    qCDebug(lcCapture, "libav: %s", text.c_str());
}

} // namespace

void RouteLibavLog()
{
    static std::once_flag once;
    std::call_once(once, [] { av_log_set_callback(LibavLog); });
}

std::string MaskUserInfo(std::string text)
{
    size_t from = 0;
    while ((from = text.find("://", from)) != std::string::npos) {
        const size_t begin = from + 3;
        const size_t end = text.find_first_of("/?# \t\r\n\"'", begin);
        const size_t at = text.rfind('@', end == std::string::npos ? std::string::npos : end - 1);
        if (at != std::string::npos && at >= begin && (end == std::string::npos || at < end))
            text.replace(begin, at - begin, "***");
        from = begin;
    }
    return text;
}

} // namespace vistrel
