#pragma once

// The one text lookup: every user-visible text has a numeric id and an
// English default; a language file chosen by language id may replace it.

#include "IniFile.h"

#include <cstdint>
#include <functional>
#include <string>

class Translator {
public:
    static constexpr std::uint32_t kLanguageIdUnset = 0x1FFFFFFF;

    static Translator& instance();

    // Platform hooks, replaceable in tests: the running program's full path
    // and the user's default language id.
    struct Environment {
        std::function<std::string()> programPath;
        std::function<std::uint32_t()> userDefaultLangId;
    };
    Translator();
    explicit Translator(Environment environment);
    virtual ~Translator() = default;
    Translator(const Translator&) = delete;
    Translator& operator=(const Translator&) = delete;

    void setLanguageId(std::uint32_t id) { languageId_ = id; }
    // The stem as the product record holds it, with '\' separators.
    void setStem(const std::string& stem) { stem_ = stem; }
    void setDirectory(const std::string& directory) { directory_ = directory; }

    std::string translate(int id, const char* defaultText);

    bool initialize();
    bool loadLanguage(const std::string& stem, std::uint32_t languageId);
    bool loadFile(const std::string& path);

    // The file that loadLanguage would read.
    std::string languageFilePath(const std::string& stem, std::uint32_t languageId) const;

    bool fileLoaded() const { return fileLoaded_; }
    bool loadAttempted() const { return loadAttempted_; }
    bool usesDefaults() const { return useDefaults_; }
    std::uint32_t languageId() const { return languageId_; }
    const std::string& languageName() const { return languageName_; }
    const std::string& fontFace() const { return fontFace_; }
    std::uint32_t fontHeight() const { return fontHeight_; }

    std::string text(const std::string& key, const std::string& defaultText) const;
    long number(const std::string& key, long defaultValue) const;

private:
    void reset();
    bool readSettings();

    Environment environment_;
    IniFile ini_;
    IniSection* current_ = nullptr;
    bool useDefaults_ = true;
    bool loadAttempted_ = false;
    bool fileLoaded_ = false;
    std::string directory_;
    std::string stem_;
    std::uint32_t languageId_ = kLanguageIdUnset;
    std::string languageName_ = "English";
    std::uint32_t fontHeight_ = 8;
    std::string fontFace_ = "Tahoma";
};

std::string translate(int id, const char* defaultText);
