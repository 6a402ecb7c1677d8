// SPDX-License-Identifier: GPL-3.0-or-later
#include "web/http_text.h"

#include <arpa/inet.h>

#include <cctype>

namespace vistrel {

namespace {

int HexValue(char c)
{
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    return -1;
}

char Lower(char c)
{
    return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
}

std::string_view Trim(std::string_view text)
{
    while (!text.empty() && (text.front() == ' ' || text.front() == '\t'))
        text.remove_prefix(1);
    while (!text.empty() && (text.back() == ' ' || text.back() == '\t'))
        text.remove_suffix(1);
    return text;
}

bool AllDigits(std::string_view text)
{
    if (text.empty())
        return false;
    for (char c : text) {
        if (c < '0' || c > '9')
            return false;
    }
    return true;
}

std::optional<std::string> Base64Decode(std::string_view text)
{
    static constexpr std::string_view kAlphabet = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    if (text.size() % 4 != 0)
        return std::nullopt;
    std::string out;
    uint32_t bits = 0;
    int count = 0;
    size_t padding = 0;
    for (size_t i = 0; i < text.size(); ++i) {
        const char c = text[i];
        if (c == '=') {
            // Padding only at the end, at most two.
            if (i + 2 < text.size())
                return std::nullopt;
            ++padding;
            bits <<= 6;
        } else {
            const size_t value = kAlphabet.find(c);
            if (value == std::string_view::npos || padding != 0)
                return std::nullopt;
            bits = (bits << 6) | static_cast<uint32_t>(value);
        }
        if (++count == 4) {
            out += static_cast<char>((bits >> 16) & 0xff);
            out += static_cast<char>((bits >> 8) & 0xff);
            out += static_cast<char>(bits & 0xff);
            bits = 0;
            count = 0;
        }
    }
    if (padding > 2)
        return std::nullopt;
    out.resize(out.size() - padding);
    return out;
}

} // namespace

std::optional<std::string> PercentDecode(std::string_view text, bool plusIsSpace)
{
    std::string out;
    out.reserve(text.size());
    for (size_t i = 0; i < text.size(); ++i) {
        const char c = text[i];
        if (c == '%') {
            if (i + 2 >= text.size())
                return std::nullopt;
            const int high = HexValue(text[i + 1]);
            const int low = HexValue(text[i + 2]);
            if (high < 0 || low < 0)
                return std::nullopt;
            out += static_cast<char>(high * 16 + low);
            i += 2;
        } else if (c == '+' && plusIsSpace) {
            out += ' ';
        } else {
            out += c;
        }
    }
    return out;
}

std::optional<TextPairs> ParseFormText(std::string_view text)
{
    constexpr size_t kMaxPairs = 64;
    TextPairs pairs;
    while (!text.empty()) {
        const size_t end = text.find('&');
        const std::string_view pair = text.substr(0, end);
        text = end == std::string_view::npos ? std::string_view() : text.substr(end + 1);
        if (pair.empty())
            continue;
        if (pairs.size() == kMaxPairs)
            return std::nullopt;
        const size_t equals = pair.find('=');
        std::optional<std::string> name = PercentDecode(pair.substr(0, equals), true);
        std::optional<std::string> value
            = PercentDecode(equals == std::string_view::npos ? std::string_view() : pair.substr(equals + 1), true);
        if (!name || !value)
            return std::nullopt;
        pairs.emplace_back(std::move(*name), std::move(*value));
    }
    return pairs;
}

std::optional<RequestTarget> ParseTarget(std::string_view raw)
{
    if (raw.empty() || raw.front() != '/')
        return std::nullopt;
    RequestTarget target;
    const size_t question = raw.find('?');
    std::string_view path = raw.substr(0, question);
    if (question != std::string_view::npos) {
        std::optional<TextPairs> query = ParseFormText(raw.substr(question + 1));
        if (!query)
            return std::nullopt;
        target.query = std::move(*query);
    }
    path.remove_prefix(1);
    if (path.empty())
        return target;
    while (true) {
        const size_t slash = path.find('/');
        std::optional<std::string> segment = PercentDecode(path.substr(0, slash), false);
        if (!segment || *segment == "." || *segment == "..")
            return std::nullopt;
        for (unsigned char c : *segment) {
            if (c < 0x20 || c == 0x7f || c == '/' || c == '\\')
                return std::nullopt;
        }
        target.segments.push_back(std::move(*segment));
        if (slash == std::string_view::npos)
            break;
        path.remove_prefix(slash + 1);
    }
    return target;
}

std::optional<std::string> PairValue(const TextPairs& pairs, std::string_view name)
{
    for (const auto& [key, value] : pairs) {
        if (key == name)
            return value;
    }
    return std::nullopt;
}

bool EqualsIgnoringCase(std::string_view a, std::string_view b)
{
    if (a.size() != b.size())
        return false;
    for (size_t i = 0; i < a.size(); ++i) {
        if (Lower(a[i]) != Lower(b[i]))
            return false;
    }
    return true;
}

std::string CookieValue(std::string_view header, std::string_view name)
{
    while (!header.empty()) {
        const size_t end = header.find(';');
        const std::string_view cookie = Trim(header.substr(0, end));
        header = end == std::string_view::npos ? std::string_view() : header.substr(end + 1);
        const size_t equals = cookie.find('=');
        if (equals != std::string_view::npos && cookie.substr(0, equals) == name)
            return std::string(Trim(cookie.substr(equals + 1)));
    }
    return {};
}

bool ParseBasicAuthorization(std::string_view header, std::string* user, std::string* password)
{
    header = Trim(header);
    if (header.size() < 6 || !EqualsIgnoringCase(header.substr(0, 6), "Basic "))
        return false;
    const std::optional<std::string> decoded = Base64Decode(Trim(header.substr(6)));
    if (!decoded)
        return false;
    const size_t colon = decoded->find(':');
    if (colon == std::string::npos)
        return false;
    *user = decoded->substr(0, colon);
    *password = decoded->substr(colon + 1);
    return true;
}

bool OriginMatchesHost(std::string_view origin, std::string_view host, bool tls)
{
    const std::string_view scheme = tls ? "https://" : "http://";
    if (host.empty() || origin.size() != scheme.size() + host.size())
        return false;
    return EqualsIgnoringCase(origin.substr(0, scheme.size()), scheme)
        && EqualsIgnoringCase(origin.substr(scheme.size()), host);
}

bool IsLoopbackHost(std::string_view host)
{
    std::string name;
    if (!host.empty() && host.front() == '[') {
        const size_t close = host.find(']');
        if (close == std::string_view::npos)
            return false;
        name = host.substr(1, close - 1);
        host.remove_prefix(close + 1);
    } else {
        const size_t colon = host.find(':');
        name = host.substr(0, colon);
        host = colon == std::string_view::npos ? std::string_view() : host.substr(colon);
    }
    if (!host.empty() && (host.front() != ':' || !AllDigits(host.substr(1))))
        return false;
    if (EqualsIgnoringCase(name, "localhost"))
        return true;
    in_addr v4{};
    if (inet_pton(AF_INET, name.c_str(), &v4) == 1)
        return (ntohl(v4.s_addr) >> 24) == 127;
    in6_addr v6{};
    return inet_pton(AF_INET6, name.c_str(), &v6) == 1 && IN6_IS_ADDR_LOOPBACK(&v6);
}

std::optional<int> CameraOfLetter(std::string_view text)
{
    if (text.size() != 1 || text[0] < 'A' || text[0] > 'H')
        return std::nullopt;
    return text[0] - 'A';
}

bool IsExportId(std::string_view id)
{
    if (id.empty() || id.size() > 32)
        return false;
    for (char c : id) {
        if (!std::isalnum(static_cast<unsigned char>(c)))
            return false;
    }
    return true;
}

void AppendJsonString(std::string& out, std::string_view text)
{
    out += '"';
    for (unsigned char c : text) {
        switch (c) {
        case '"':
            out += "\\\"";
            break;
        case '\\':
            out += "\\\\";
            break;
        case '\n':
            out += "\\n";
            break;
        case '\r':
            out += "\\r";
            break;
        case '\t':
            out += "\\t";
            break;
        default:
            if (c < 0x20 || c == 0x7f) {
                static constexpr char kHex[] = "0123456789abcdef";
                out += "\\u00";
                out += kHex[c >> 4];
                out += kHex[c & 0xf];
            } else if (c == '<') {
                // Never "</script>" or "<!--" inside a JSON text a page shows.
                out += "\\u003c";
            } else {
                out += static_cast<char>(c);
            }
        }
    }
    out += '"';
}

} // namespace vistrel
