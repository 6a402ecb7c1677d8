// SPDX-License-Identifier: GPL-3.0-or-later
#include "review/kept_images.h"

#include "common/make_path.h"

#include <cerrno>
#include <filesystem>
#include <system_error>

#include <unistd.h>

namespace vistrel {

std::string KeptFolder(const std::string& archiveFolder)
{
    return archiveFolder + "/Kept";
}

KeepResult KeepImages(const std::string& archiveFolder, const std::vector<std::string>& names)
{
    KeepResult result;
    const std::string kept = KeptFolder(archiveFolder);
    const auto failed = [&result](FileStatus why) {
        if (result.failed++ == 0)
            result.firstFailure = why;
    };
    if (const FileStatus made = MakePath(kept); !made) {
        for (size_t i = 0; i < names.size(); ++i)
            failed(made);
        return result;
    }
    for (const std::string& name : names) {
        const std::string from = archiveFolder + "/" + name;
        const std::string to = kept + "/" + name;
        if (::link(from.c_str(), to.c_str()) == 0 || errno == EEXIST) {
            ++result.kept;
            continue;
        }
        const int linkError = errno;
        // Another file system, or one without hard links: a copy then.
        if (linkError != EXDEV && linkError != EPERM && linkError != EMLINK && linkError != ENOTSUP) {
            failed(FileStatus::Failed(linkError));
            continue;
        }
        std::error_code error;
        std::filesystem::copy_file(from, to, std::filesystem::copy_options::skip_existing, error);
        if (error) {
            failed(FileStatus::Failed(error.value()));
            continue;
        }
        ++result.kept;
        ++result.copied;
    }
    return result;
}

} // namespace vistrel
