// SPDX-License-Identifier: GPL-3.0-or-later
#include "common/file_status.h"

#include <cerrno>
#include <cstring>

namespace vistrel {

FileStatus FileStatus::Failed(int errnoValue)
{
    return FileStatus(errnoValue > 0 ? -errnoValue : -EIO, false);
}

std::string FileStatus::Reason() const
{
    return error_ != 0 ? std::string(std::strerror(-error_)) : std::string();
}

} // namespace vistrel
