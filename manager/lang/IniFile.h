#pragma once

// Language files: INI-style text with sections, byte-exact keys and escaped values.

#include <map>
#include <memory>
#include <string>

// Returned by IniSection::get for a missing key; a file value equal to it counts as absent too.
extern const char* const NoValueMarker;

class IniSection {
public:
    explicit IniSection(std::string name) : name_(std::move(name)) {}

    const std::string& name() const { return name_; }
    // False when the key already exists (the value is not replaced).
    bool set(const std::string& key, const std::string& value);
    std::string get(const std::string& key) const;
    std::size_t size() const { return entries_.size(); }

private:
    std::string name_;
    std::map<std::string, std::string> entries_; // byte order, case-sensitive
};

class IniFile {
public:
    // Replaces the sections by those of the file. When the file cannot be
    // opened the earlier sections stay; when a line is rejected the sections
    // read so far stay in memory and the result is false.
    bool load(const std::string& path);
    bool loadText(const std::string& text);

    IniSection* section(const std::string& name);
    std::size_t sectionCount() const { return sections_.size(); }

private:
    bool parseLine(std::string line, IniSection*& current);

    std::map<std::string, std::unique_ptr<IniSection>> sections_;
};

// Turns \r, \n and \t in a language file value into control characters; a
// doubled backslash keeps the letter literal and every run of backslashes
// ends as one.
std::string unescapeIniValue(std::string value);
