// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include "common/local_time.h"

#include <optional>
#include <string>
#include <string_view>

namespace vistrel {

// Exit statuses every tool shares.
inline constexpr int kExitFailed = 1; // the work could not be done
inline constexpr int kExitUsage = 2;  // a wrong command line

// A tool's command line, read in order: "--name value", "--name=value" and
// plain arguments; "--help" prints the usage text and ends the tool. Also
// how the tool reports a failure. Used on the tool's main thread only.
class ToolCommandLine {
public:
    ToolCommandLine(const char* tool, const char* usage, int argc, char** argv);

    // Writes "<tool>: <message>" to stderr, with the usage text after it for
    // kExitUsage; returns `status`.
    int Fail(const std::string& message, int status = kExitFailed) const;

    // Steps to the next argument; false after the last one.
    bool Next();
    // The option at hand without its "=value" ("--from"); empty for a plain argument.
    std::string_view Option() const { return option_; }
    // The argument at hand as given.
    std::string_view Argument() const { return argv_[at_]; }
    // The option's value: what follows its '=', or else the next argument.
    // False, with `error` set, when there is none.
    bool TakeValue(std::string& value, std::string& error);

private:
    const char* tool_;
    const char* usage_;
    int argc_;
    char** argv_;
    int at_ = 0;
    std::string_view option_;
    std::optional<std::string> attachedValue_; // after '=' in the argument
};

// The value of --instance: a recorder instance number from 1 to 100.
bool ReadInstance(const std::string& value, int& instance, std::string& error);

// The value of --from or --to (`option`): a time as ParseTimeArgument takes it.
bool ReadTime(std::string_view option, const std::string& value, std::optional<TimeArgument>& time,
              std::string& error);

} // namespace vistrel
