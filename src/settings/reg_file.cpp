// SPDX-License-Identifier: GPL-3.0-or-later
#include "settings/reg_file.h"

#include "common/text_format.h"

#include <algorithm>
#include <unordered_map>

namespace vistrel {

namespace {

constexpr std::string_view kHeader = "REGEDIT4";
// Hex lists are wrapped like the registry editor does, at about 80 columns.
constexpr size_t kWrapColumn = 76;

char LowerAscii(char c)
{
    return (c >= 'A' && c <= 'Z') ? char(c - 'A' + 'a') : c;
}

bool IsBlank(char c)
{
    return c == ' ' || c == '\t';
}

std::string_view Trim(std::string_view s)
{
    while (!s.empty() && IsBlank(s.front()))
        s.remove_prefix(1);
    while (!s.empty() && IsBlank(s.back()))
        s.remove_suffix(1);
    return s;
}

bool StartsWithNoCase(std::string_view s, std::string_view prefix)
{
    return s.size() >= prefix.size() && NamesEqual(s.substr(0, prefix.size()), prefix);
}

int HexDigit(char c)
{
    if (c >= '0' && c <= '9')
        return c - '0';
    c = LowerAscii(c);
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    return -1;
}

// 1 to 8 hex digits and nothing else.
bool ParseHexNumber(std::string_view s, uint32_t& value)
{
    if (s.empty() || s.size() > 8)
        return false;
    value = 0;
    for (char c : s) {
        const int digit = HexDigit(c);
        if (digit < 0)
            return false;
        value = (value << 4) | uint32_t(digit);
    }
    return true;
}

// A quoted string at the start of s, with \\ and \" as its only escapes.
// On success s is left just past the closing quote.
bool ParseQuoted(std::string_view& s, std::string& out)
{
    if (s.empty() || s.front() != '"')
        return false;
    out.clear();
    size_t i = 1;
    while (i < s.size()) {
        const size_t special = s.find_first_of("\\\"", i);
        if (special == std::string_view::npos)
            break;
        out.append(s.data() + i, special - i);
        if (s[special] == '"') {
            s.remove_prefix(special + 1);
            return true;
        }
        if (special + 1 >= s.size() || (s[special + 1] != '\\' && s[special + 1] != '"'))
            return false;
        out += s[special + 1];
        i = special + 2;
    }
    return false; // no closing quote: a truncated line
}

// "xx,xx,..." with exactly two digits a byte; an empty list is no bytes.
bool ParseHexList(std::string_view s, std::vector<uint8_t>& out)
{
    out.clear();
    s = Trim(s);
    if (s.empty())
        return true;
    while (true) {
        const size_t comma = s.find(',');
        const std::string_view item = Trim(s.substr(0, comma));
        if (item.size() != 2)
            return false;
        const int high = HexDigit(item[0]);
        const int low = HexDigit(item[1]);
        if (high < 0 || low < 0)
            return false;
        out.push_back(uint8_t(high << 4 | low));
        if (comma == std::string_view::npos)
            return true;
        s.remove_prefix(comma + 1);
    }
}

void AppendQuoted(std::string& out, std::string_view text)
{
    out += '"';
    for (char c : text) {
        if (c == '\\' || c == '"')
            out += '\\';
        out += c;
    }
    out += '"';
}

bool FitsQuotedString(const std::vector<uint8_t>& data)
{
    if (data.empty() || data.back() != 0)
        return false;
    return std::none_of(data.begin(), data.end() - 1, [](uint8_t b) { return b == 0 || b == '\n' || b == '\r'; });
}

class Parser {
public:
    explicit Parser(std::string_view text)
        : rest_(text)
    {
        if (rest_.substr(0, 3) == "\xEF\xBB\xBF")
            rest_.remove_prefix(3);
    }

    RegFile Run()
    {
        RegFile file;
        int sections = 0;
        bool firstLine = true;
        for (std::string_view raw; NextLine(raw);) {
            const std::string_view line = Trim(raw);
            if (!line.empty() && firstLine) {
                firstLine = false;
                file.header = line == kHeader;
            }
            if (line.empty() || line.front() == ';' || (line == kHeader && sections == 0))
                continue;
            if (line.front() == '[') {
                if (line.size() < 2 || line.back() != ']') {
                    ++file.skippedLines;
                    continue;
                }
                if (sections++ == 0)
                    file.keyName = std::string(line.substr(1, line.size() - 2));
                continue;
            }
            RegEntry entry;
            if (sections > 1 || !ParseValueLine(line, entry)) {
                ++file.skippedLines;
                continue;
            }
            ++file.valueLines;
            if (RegEntry* existing = find(file, entry.name))
                existing->value = std::move(entry.value);
            else
                add(file, std::move(entry));
        }
        return file;
    }

private:
    // The next line without its line break; false at the end of the text.
    // Every carriage return before the line feed goes too: a file passed
    // through two converters ends its lines in \r\r\n.
    bool NextLine(std::string_view& line)
    {
        if (rest_.empty())
            return false;
        const size_t end = rest_.find('\n');
        line = rest_.substr(0, end);
        rest_.remove_prefix(end == std::string_view::npos ? rest_.size() : end + 1);
        while (!line.empty() && line.back() == '\r')
            line.remove_suffix(1);
        return true;
    }

    // A key's few values are searched in turn; a large hand-made file gets
    // an index by folded name, so it cannot take quadratic time.
    static constexpr size_t kIndexFrom = 32;

    static std::string Folded(std::string_view name)
    {
        std::string folded(name);
        std::transform(folded.begin(), folded.end(), folded.begin(), LowerAscii);
        return folded;
    }

    RegEntry* find(RegFile& file, std::string_view name)
    {
        if (file.values.size() < kIndexFrom)
            return FindValue(file, name);
        const auto it = index_.find(Folded(name));
        return it == index_.end() ? nullptr : &file.values[it->second];
    }

    void add(RegFile& file, RegEntry entry)
    {
        file.values.push_back(std::move(entry));
        if (file.values.size() == kIndexFrom) {
            for (size_t i = 0; i < file.values.size(); ++i)
                index_.emplace(Folded(file.values[i].name), i);
        } else if (file.values.size() > kIndexFrom) {
            index_.emplace(Folded(file.values.back().name), file.values.size() - 1);
        }
    }

    bool ParseValueLine(std::string_view line, RegEntry& entry)
    {
        if (line.front() == '@') {
            entry.name.clear();
            line.remove_prefix(1);
        } else if (!ParseQuoted(line, entry.name)) {
            return false;
        }
        line = Trim(line);
        if (line.empty() || line.front() != '=')
            return false;
        line = Trim(line.substr(1));

        RegValue& value = entry.value;
        if (!line.empty() && line.front() == '"') {
            std::string text;
            if (!ParseQuoted(line, text) || !Trim(line).empty())
                return false;
            value.type = REG_SZ;
            value.data.assign(text.begin(), text.end());
            value.data.push_back(0);
            return true;
        }
        if (StartsWithNoCase(line, "dword:")) {
            uint32_t number = 0;
            if (!ParseHexNumber(Trim(line.substr(6)), number))
                return false;
            value.type = REG_DWORD;
            value.data = {uint8_t(number), uint8_t(number >> 8), uint8_t(number >> 16), uint8_t(number >> 24)};
            return true;
        }
        if (StartsWithNoCase(line, "hex")) {
            line.remove_prefix(3);
            value.type = REG_BINARY;
            if (!line.empty() && line.front() == '(') {
                const size_t close = line.find(')');
                if (close == std::string_view::npos || !ParseHexNumber(line.substr(1, close - 1), value.type))
                    return false;
                line.remove_prefix(close + 1);
            }
            if (line.empty() || line.front() != ':')
                return false;
            std::string list(line.substr(1));
            // A list continues on the next line while it ends with a backslash;
            // a file that ends inside a list was cut short.
            std::string_view more;
            while (!list.empty() && list.back() == '\\') {
                if (!NextLine(more))
                    return false;
                list.pop_back();
                list += Trim(more);
            }
            return ParseHexList(list, value.data);
        }
        return false; // "-" (a deletion) and anything unknown
    }

    std::string_view rest_; // the text not yet read
    std::unordered_map<std::string, size_t> index_; // folded name -> position, from kIndexFrom values on
};

} // namespace

bool NamesEqual(std::string_view a, std::string_view b)
{
    return a.size() == b.size()
        && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) { return LowerAscii(x) == LowerAscii(y); });
}

RegEntry* FindValue(RegFile& file, std::string_view name)
{
    auto it = std::find_if(file.values.begin(), file.values.end(), [&](const RegEntry& e) { return NamesEqual(e.name, name); });
    return it == file.values.end() ? nullptr : &*it;
}

const RegEntry* FindValue(const RegFile& file, std::string_view name)
{
    return FindValue(const_cast<RegFile&>(file), name);
}

bool IsStorableValueName(std::string_view name)
{
    return name.find_first_of(std::string_view("\0\r\n", 3)) == std::string_view::npos;
}

RegFile ParseRegFile(std::string_view text)
{
    return Parser(text).Run();
}

const char* WhyNotAKeyFile(const RegFile& file)
{
    // A file with no key and no value line in it (empty, or blank) holds
    // nothing that a new file could lose.
    const bool holdsLines = !file.keyName.empty() || file.valueLines > 0 || file.skippedLines > 0;
    if (!file.header && holdsLines)
        return "it lacks the REGEDIT4 header";
    if (file.skippedLines > file.valueLines)
        return "most of its lines cannot be read";
    return nullptr;
}

std::string FormatRegFile(const RegFile& file)
{
    std::string out;
    out.reserve(64 + file.values.size() * 48);
    out += kHeader;
    out += "\n\n[";
    out += file.keyName;
    out += "]\n";
    for (const RegEntry& entry : file.values) {
        std::string line;
        if (entry.name.empty())
            line = "@";
        else
            AppendQuoted(line, entry.name);
        line += '=';

        const RegValue& value = entry.value;
        if (value.type == REG_SZ && FitsQuotedString(value.data)) {
            AppendQuoted(line, std::string_view(reinterpret_cast<const char*>(value.data.data()), value.data.size() - 1));
            out += line;
            out += '\n';
            continue;
        }
        if (value.type == REG_DWORD && value.data.size() == 4) {
            const uint32_t number = uint32_t(value.data[0]) | uint32_t(value.data[1]) << 8
                | uint32_t(value.data[2]) << 16 | uint32_t(value.data[3]) << 24;
            out += line;
            out += StringPrintf("dword:%08x", number);
            out += '\n';
            continue;
        }
        if (value.type == REG_BINARY) {
            line += "hex:";
        } else {
            line += StringPrintf("hex(%x):", value.type);
        }
        for (size_t i = 0; i < value.data.size(); ++i) {
            line += StringPrintf("%02x", value.data[i]);
            if (i + 1 < value.data.size()) {
                line += ',';
                if (line.size() >= kWrapColumn) {
                    out += line;
                    out += "\\\n";
                    line = "  ";
                }
            }
        }
        out += line;
        out += '\n';
    }
    return out;
}

} // namespace vistrel
