// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace vistrel {

// The small text rules of HTTP requests that the web server reads itself,
// each a pure function of its input (so the fuzzer reaches them all).

using TextPairs = std::vector<std::pair<std::string, std::string>>;

// A request target split into its decoded path segments and query pairs.
struct RequestTarget {
    std::vector<std::string> segments; // "/" has none; "/a/" has "a" and ""
    TextPairs query;
};

// Percent-decodes a text ('+' as a space where asked); none for a broken
// escape.
std::optional<std::string> PercentDecode(std::string_view text, bool plusIsSpace);

// Splits "a=1&b=x%20y" (a query or a form body) into decoded pairs; none for
// a broken escape or more than 64 pairs.
std::optional<TextPairs> ParseFormText(std::string_view text);

// The raw target of a request line ("/api/v1/cameras/A/archive/x.jpg?from=1").
// None (the request is refused as bad) when it does not start with '/', has a
// broken escape, or a segment that decodes to "." or "..", or to a text with
// a '/', a '\', a NUL or another control character.
std::optional<RequestTarget> ParseTarget(std::string_view raw);

// The first value of a name in decoded pairs; none when it is absent.
std::optional<std::string> PairValue(const TextPairs& pairs, std::string_view name);

// ASCII case-insensitive equality (header names, schemes, host names).
bool EqualsIgnoringCase(std::string_view a, std::string_view b);

// The value of one cookie of a Cookie header ("a=1; b=2"); empty when absent.
std::string CookieValue(std::string_view header, std::string_view name);

// "Basic <base64 of user:password>"; false for anything else.
bool ParseBasicAuthorization(std::string_view header, std::string* user, std::string* password);

// The Origin a browser sends for a page of this server: the scheme and the
// Host header the request came with.
bool OriginMatchesHost(std::string_view origin, std::string_view host, bool tls);

// A Host header naming this machine's loopback ("localhost", "127.0.0.1",
// "[::1]", any port): the only hosts served without a password, so a page
// of another site cannot reach the server through a name it rebinds.
bool IsLoopbackHost(std::string_view host);

// The camera of a path letter 'A' to 'H' (0 to 7); none otherwise.
std::optional<int> CameraOfLetter(std::string_view text);

// An export job's id: 1 to 32 letters and digits.
bool IsExportId(std::string_view id);

// Appends text as a JSON string (quotes included).
void AppendJsonString(std::string& out, std::string_view text);

} // namespace vistrel
