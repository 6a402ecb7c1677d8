// SPDX-License-Identifier: GPL-3.0-or-later
#include "app/command_line.h"

#include <algorithm>
#include <cctype>
#include <string_view>

namespace vistrel {

namespace {

struct LongOption {
    std::string_view name; // without its dashes
    std::string_view value; // the name of its value in the usage; "" for none
    LongOptionAction action; // Run for an option that only sets a value
    std::string_view help;
};

constexpr std::string_view kInstanceOption = "instance";

// Every long option the program knows, in the order the usage lists them.
constexpr LongOption kLongOptions[] = {
    {kInstanceOption, "N", LongOptionAction::Run,
     "be instance N (1 to 100) and no other; status 1 when it runs already"},
    {"seed-defaults", "", LongOptionAction::SeedDefaults,
     "write first-start settings for instance 1 (or N) when none exist, then exit"},
    {"web-password", "", LongOptionAction::WebPassword,
     "set the remote access password of instance 1 (or N) from the terminal or standard input, then exit"},
    {"help", "", LongOptionAction::Help, "show this help and exit"},
    {"version", "", LongOptionAction::Version, "show the version and exit"},
};

// A whole decimal number from 1 to 100, nothing else.
bool ParseInstance(std::string_view text, int& instance)
{
    if (text.empty() || text.size() > 3
        || !std::all_of(text.begin(), text.end(), [](char c) { return c >= '0' && c <= '9'; }))
        return false;
    instance = std::stoi(std::string(text));
    return instance >= 1 && instance <= 100;
}

} // namespace

bool IsStartHidden(const std::vector<std::string>& arguments)
{
    // The program path stands first as one opaque token: on Linux it holds
    // '/' (and may hold '-'), which must not split it.
    std::string line = "vistrel";
    for (const std::string& argument : arguments)
        line += " " + argument;

    // Tokens as strtok gives them: runs of delimiters produce no empty token.
    std::vector<std::string> tokens;
    std::string current;
    bool inToken = false;
    for (char c : line) {
        if (c == '-' || c == '/') {
            if (inToken)
                tokens.push_back(current);
            current.clear();
            inToken = false;
        } else {
            current += c;
            inToken = true;
        }
    }
    if (inToken)
        tokens.push_back(current);

    bool hidden = false;
    for (size_t i = 1; i < tokens.size(); ++i) {
        std::string token = tokens[i];
        token.erase(std::remove_if(token.begin(), token.end(), [](char c) { return c == ' ' || c == '\t'; }), token.end());
        if (token.empty())
            break;
        if (token.size() == 1 && std::tolower(static_cast<unsigned char>(token[0])) == 'm')
            hidden = true;
    }
    return hidden;
}

LongOptions ReadLongOptions(const std::vector<std::string>& arguments)
{
    LongOptions options;
    bool decided = false;
    for (size_t i = 0; i < arguments.size(); ++i) {
        const std::string& argument = arguments[i];
        if (argument == "--")
            break;
        if (!argument.starts_with("--"))
            continue;
        const std::string_view name = std::string_view(argument).substr(2);
        if (name == kInstanceOption || name.starts_with(std::string(kInstanceOption) + "=")) {
            // Read wherever it stands, so "--seed-defaults --instance 2"
            // seeds instance 2; a number that cannot be one is never ignored.
            const bool joined = name.size() > kInstanceOption.size();
            const bool given = joined || i + 1 < arguments.size();
            const std::string_view value
                = joined ? name.substr(kInstanceOption.size() + 1) : given ? std::string_view(arguments[++i]) : "";
            if (!given || !ParseInstance(value, options.instance)) {
                options.action = LongOptionAction::BadValue;
                options.error = "--instance takes a number from 1 to 100";
                return options;
            }
            continue;
        }
        if (decided)
            continue;
        const auto known = std::find_if(std::begin(kLongOptions), std::end(kLongOptions),
                                        [&](const LongOption& option) { return option.name == name; });
        if (known == std::end(kLongOptions)) {
            options.action = LongOptionAction::Unknown;
            options.unknown = argument;
            return options;
        }
        options.action = known->action;
        decided = true;
    }
    return options;
}

std::string UsageText()
{
    std::string text = "Usage: vistrel [-m] [OPTION]...\n"
                       "Records the cameras of one capture device.\n\n";
    constexpr size_t kColumn = 18;
    const auto line = [&](std::string_view option, std::string_view help) {
        text += "  ";
        text += option;
        text.append(kColumn - std::min(kColumn - 1, option.size()), ' ');
        text += help;
        text += '\n';
    };
    line("-m, /m", "start hidden in the notification area");
    for (const LongOption& option : kLongOptions)
        line("--" + std::string(option.name) + (option.value.empty() ? "" : " " + std::string(option.value)), option.help);
    return text;
}

std::string VersionText()
{
    return "vistrel " VISTREL_VERSION "\n";
}

} // namespace vistrel
