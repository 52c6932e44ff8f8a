#include "IniFile.h"

#include <fstream>
#include <sstream>

const char* const NoValueMarker = "DEFAULT_5C0E2B7A94D14F6B8E3A1D07C6F29B41";

bool IniSection::set(const std::string& key, const std::string& value) {
    return entries_.emplace(key, value).second;
}

std::string IniSection::get(const std::string& key) const {
    auto it = entries_.find(key);
    return it == entries_.end() ? std::string(NoValueMarker) : it->second;
}

namespace {

// Replaces every occurrence. Replacing the first occurrence and searching again
// from the start gives the same result, since no replacement here can form a new
// occurrence before the spot it was made; one pass keeps long values linear.
std::string replaceAll(const std::string& s, const std::string& what, const std::string& by) {
    std::string out;
    out.reserve(s.size());
    std::size_t pos = 0;
    for (std::size_t hit = s.find(what); hit != std::string::npos; hit = s.find(what, pos)) {
        out.append(s, pos, hit - pos);
        out += by;
        pos = hit + what.size();
    }
    out.append(s, pos, std::string::npos);
    return out;
}

// Replacing two backslashes by one until none are left ends every run of
// backslashes as a single one.
std::string collapseBackslashRuns(const std::string& s) {
    std::string out;
    out.reserve(s.size());
    for (char c : s)
        if (c != '\\' || out.empty() || out.back() != '\\')
            out += c;
    return out;
}

bool isBlank(char c) {
    return c == ' ' || c == '\t';
}

std::string trimBlanks(const std::string& s) {
    std::size_t begin = 0, end = s.size();
    while (begin < end && isBlank(s[begin]))
        ++begin;
    while (end > begin && isBlank(s[end - 1]))
        --end;
    return s.substr(begin, end - begin);
}

} // namespace

std::string unescapeIniValue(std::string value) {
    const std::string marker(1, '\x01');
    value = replaceAll(value, "\\\\r", marker);
    value = replaceAll(value, "\\r", "\r");
    value = replaceAll(value, marker, "\\\\r");
    value = replaceAll(value, "\\\\n", marker);
    value = replaceAll(value, "\\n", "\n");
    value = replaceAll(value, marker, "\\\\n");
    value = replaceAll(value, "\\\\t", marker);
    value = replaceAll(value, "\\t", "\t");
    value = replaceAll(value, marker, "\\\\t");
    return collapseBackslashRuns(value);
}

bool IniFile::parseLine(std::string line, IniSection*& current) {
    std::size_t start = 0;
    while (start < line.size() && isBlank(line[start]))
        ++start;
    if (start < line.size())
        line.erase(0, start);

    if (line[0] == ';' || line[0] == '#')
        return true;

    if (line[0] == '[') {
        std::size_t close = line.rfind(']');
        if (close == std::string::npos || close == 0)
            return false;
        std::string name = line.substr(1, close - 1);
        if (name.empty())
            return false;
        auto& slot = sections_[name];
        if (!slot)
            slot = std::make_unique<IniSection>(name);
        current = slot.get();
        return true;
    }

    std::size_t eq = line.find('=');
    if (eq == std::string::npos)
        return true;
    if (!current)
        return false;
    return current->set(trimBlanks(line.substr(0, eq)), unescapeIniValue(line.substr(eq + 1)));
}

bool IniFile::loadText(const std::string& text) {
    sections_.clear();
    IniSection* current = nullptr;
    std::size_t pos = 0;
    while (pos < text.size()) {
        std::size_t end = text.find('\n', pos);
        std::size_t next = end == std::string::npos ? text.size() : end + 1;
        if (end == std::string::npos)
            end = text.size();
        std::size_t lineEnd = end;
        if (end != text.size() && lineEnd > pos && text[lineEnd - 1] == '\r')
            --lineEnd;
        std::string line = text.substr(pos, lineEnd - pos);
        pos = next;
        if (line.empty())
            continue;
        if (!parseLine(std::move(line), current))
            return false;
    }
    return true;
}

bool IniFile::load(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in)
        return false;
    std::ostringstream content;
    content << in.rdbuf();
    if (in.bad())
        return false;
    return loadText(content.str());
}

IniSection* IniFile::section(const std::string& name) {
    auto it = sections_.find(name);
    return it == sections_.end() ? nullptr : it->second.get();
}
