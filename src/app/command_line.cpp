#include "app/command_line.h"

#include <algorithm>
#include <cctype>

namespace vistrel {

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

} // namespace vistrel
