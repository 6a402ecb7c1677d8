// SPDX-License-Identifier: GPL-3.0-or-later
#include "cli/tool_command_line.h"

#include <cstdio>
#include <cstdlib>

namespace vistrel {

ToolCommandLine::ToolCommandLine(const char* tool, const char* usage, int argc, char** argv)
    : tool_(tool)
    , usage_(usage)
    , argc_(argc)
    , argv_(argv)
{
}

int ToolCommandLine::Fail(const std::string& message, int status) const
{
    std::fprintf(stderr, "%s: %s\n", tool_, message.c_str());
    if (status == kExitUsage)
        std::fputs(usage_, stderr);
    return status;
}

bool ToolCommandLine::Next()
{
    if (at_ + 1 >= argc_)
        return false;
    const std::string_view argument = argv_[++at_];
    option_ = {};
    attachedValue_.reset();
    if (!argument.starts_with("--"))
        return true;
    option_ = argument;
    if (const size_t equals = argument.find('='); equals != std::string_view::npos) {
        attachedValue_ = std::string(argument.substr(equals + 1));
        option_ = argument.substr(0, equals);
    }
    if (option_ == "--help") {
        std::fputs(usage_, stdout);
        std::exit(0);
    }
    return true;
}

bool ToolCommandLine::TakeValue(std::string& value, std::string& error)
{
    if (attachedValue_) {
        value = *attachedValue_;
        return true;
    }
    if (at_ + 1 >= argc_) {
        error = std::string(option_) + " needs a value";
        return false;
    }
    value = argv_[++at_];
    return true;
}

bool ReadInstance(const std::string& value, int& instance, std::string& error)
{
    char* end = nullptr;
    const long n = std::strtol(value.c_str(), &end, 10);
    if (value.empty() || *end != '\0' || n < 1 || n > 100) {
        error = "--instance must be a number from 1 to 100, not \"" + value + "\"";
        return false;
    }
    instance = int(n);
    return true;
}

bool ReadTime(std::string_view option, const std::string& value, std::optional<TimeArgument>& time,
              std::string& error)
{
    time = ParseTimeArgument(value);
    if (!time) {
        error = std::string(option) + " must be a local date and time like \"2026-12-07 14:00\", not \"" + value
            + "\"";
        return false;
    }
    return true;
}

} // namespace vistrel
