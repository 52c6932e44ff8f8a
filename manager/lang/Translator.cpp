#include "Translator.h"

#include "platform/Language.h"
#include "platform/ProgramPath.h"

#include <cstdlib>

namespace {

Translator::Environment platformEnvironment() {
    return {[] { return platform::programPath(); },
            [] { return std::uint32_t(platform::userDefaultLangId()); }};
}

std::string withSlashes(std::string path) {
    for (char& c : path)
        if (c == '\\')
            c = '/';
    return path;
}

} // namespace

Translator& Translator::instance() {
    static Translator translator;
    return translator;
}

Translator::Translator() : Translator(platformEnvironment()) {}

Translator::Translator(Environment environment) : environment_(std::move(environment)) {}

void Translator::reset() {
    fileLoaded_ = false;
    current_ = nullptr;
    languageId_ = 1033;
    languageName_ = "English";
    useDefaults_ = true;
}

bool Translator::initialize() {
    current_ = nullptr;
    useDefaults_ = true;
    loadAttempted_ = true;

    if (directory_.empty() || stem_.empty()) {
        std::string path = environment_.programPath ? environment_.programPath() : std::string();
        std::size_t slash = path.rfind('/');
        if (path.empty() || slash == std::string::npos)
            return false;
        if (directory_.empty())
            directory_ = path.substr(0, slash);
        if (stem_.empty()) {
            std::string file = path.substr(slash + 1);
            std::size_t dot = file.rfind('.');
            stem_ = dot == std::string::npos ? file : file.substr(0, dot);
        }
    }
    if (directory_.empty() || stem_.empty())
        return false;

    if (languageId_ == kLanguageIdUnset)
        languageId_ = environment_.userDefaultLangId ? environment_.userDefaultLangId() : 1033;
    return loadLanguage(stem_, languageId_);
}

std::string Translator::languageFilePath(const std::string& stem, std::uint32_t languageId) const {
    std::string path = directory_;
    if (path.back() != '/')
        path += '/';
    return path + withSlashes(stem) + "_" + std::to_string(languageId) + ".lng";
}

bool Translator::loadLanguage(const std::string& stem, std::uint32_t languageId) {
    reset();
    if (directory_.empty())
        return false;
    return loadFile(languageFilePath(stem, languageId));
}

bool Translator::loadFile(const std::string& path) {
    reset();
    if (!ini_.load(path))
        return false;
    if (readSettings()) {
        useDefaults_ = false;
        fileLoaded_ = true;
        return true;
    }
    reset();
    return false;
}

bool Translator::readSettings() {
    current_ = ini_.section("settings");
    if (!current_)
        return false;

    // Reading the settings goes through the getters, which answer only for a loaded file.
    fileLoaded_ = true;
    long codePage = number("CodePage", -1);
    std::string language = text("Language", NoValueMarker);
    std::string fontFace = text("FontFace", "Tahoma");
    long fontHeight = number("FontHeight", -1);
    fileLoaded_ = false;

    if (static_cast<std::uint32_t>(codePage) == 0xFFFFFFFFu)
        return false;
    languageId_ = static_cast<std::uint32_t>(codePage);
    if (language == NoValueMarker)
        return false;
    languageName_ = language;
    fontFace_ = fontFace;
    fontHeight_ = static_cast<std::uint32_t>(fontHeight) == 0xFFFFFFFFu
                      ? 8
                      : static_cast<std::uint32_t>(fontHeight);

    current_ = ini_.section("strings");
    return current_ != nullptr;
}

std::string Translator::text(const std::string& key, const std::string& defaultText) const {
    if (!fileLoaded_ || !current_)
        return defaultText;
    std::string value = current_->get(key);
    return value == NoValueMarker ? defaultText : value;
}

long Translator::number(const std::string& key, long defaultValue) const {
    std::string value = text(key, NoValueMarker);
    if (value == NoValueMarker)
        return defaultValue;
    return std::atol(value.c_str());
}

std::string Translator::translate(int id, const char* defaultText) {
    if (!fileLoaded_ && !loadAttempted_)
        initialize();
    if (useDefaults_)
        return defaultText;
    return text(std::to_string(id), defaultText);
}

std::string translate(int id, const char* defaultText) {
    return Translator::instance().translate(id, defaultText);
}
