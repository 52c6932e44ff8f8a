// The ANSI code page and the conversions between it (or UTF-8) and UTF-16.
//
// Windows takes the ANSI code page from the system locale; here the locale names the language
// (LC_ALL, then LC_CTYPE, then LANG) and the language gives the code page Windows uses for it.
// The Linux locale's own character set plays no part: a Chinese system signs "中文" as its GBK
// bytes even under zh_CN.UTF-8, as the servers that check the signatures expect.
//
// The ANSI pages are converted with glibc iconv's CPxxxx tables, which are Windows' tables;
// Windows' best-fit mappings (a character the page lacks written as a look-alike) are not
// reproduced: such a character becomes the default character.
#include <windows.h>

#include "platform/Language.h"
#include "platform/win/CodePages.h"

#include <iconv.h>

#include <algorithm>
#include <array>
#include <bit>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <map>
#include <memory>
#include <mutex>
#include <new>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>

namespace {

constexpr const char* kUtf16Name =
    std::endian::native == std::endian::little ? "UTF-16LE" : "UTF-16BE";
constexpr char16_t kReplacement = 0xFFFD;

struct AnsiChoice {
    UINT codePage;
    LANGID systemLangId;
};

std::mutex choiceMutex;
std::optional<AnsiChoice> cachedChoice;

bool isAnsiCodePage(UINT codePage) {
    switch (codePage) {
    case 874:
    case 932:
    case 936:
    case 949:
    case 950:
    case 1250:
    case 1251:
    case 1252:
    case 1253:
    case 1254:
    case 1255:
    case 1256:
    case 1257:
    case 1258:
        return true;
    default:
        return false;
    }
}

bool isDoubleByteCodePage(UINT codePage) {
    return codePage == 932 || codePage == 936 || codePage == 949 || codePage == 950;
}

// The Windows ANSI code page of a language id: by primary language, and for Chinese by
// territory (Simplified for the mainland and Singapore, Traditional elsewhere).
UINT codePageForLangId(LANGID langId) {
    switch (langId & 0x3FF) {
    case 0x04: // Chinese
        return langId == 2052 || langId == 4100 ? 936 : 950;
    case 0x11: // Japanese
        return 932;
    case 0x12: // Korean
        return 949;
    case 0x02: // Bulgarian
    case 0x19: // Russian
    case 0x22: // Ukrainian
    case 0x23: // Belarusian
    case 0x2F: // Macedonian
        return 1251;
    case 0x05: // Czech
    case 0x0E: // Hungarian
    case 0x15: // Polish
    case 0x18: // Romanian
    case 0x1A: // Croatian
    case 0x1B: // Slovak
    case 0x1C: // Albanian
    case 0x24: // Slovenian
        return 1250;
    case 0x08: // Greek
        return 1253;
    case 0x1F: // Turkish
        return 1254;
    case 0x0D: // Hebrew
        return 1255;
    case 0x01: // Arabic
    case 0x20: // Urdu
    case 0x29: // Persian
        return 1256;
    case 0x25: // Estonian
    case 0x26: // Latvian
    case 0x27: // Lithuanian
        return 1257;
    case 0x2A: // Vietnamese
        return 1258;
    case 0x1E: // Thai
        return 874;
    default:
        return 1252;
    }
}

std::string_view systemLocaleName() {
    for (const char* variable : {"LC_ALL", "LC_CTYPE", "LANG"}) {
        const char* value = std::getenv(variable);
        if (value != nullptr && *value != '\0')
            return value;
    }
    return {};
}

// A code page number in decimal, nothing else; nullopt for other text.
std::optional<UINT> parseCodePage(const char* text) {
    if (text == nullptr || *text == '\0' || std::strlen(text) > 5)
        return std::nullopt;
    UINT value = 0;
    for (const char* p = text; *p != '\0'; ++p) {
        if (*p < '0' || *p > '9')
            return std::nullopt;
        value = value * 10 + static_cast<UINT>(*p - '0');
    }
    return value;
}

AnsiChoice currentChoice() {
    std::lock_guard lock(choiceMutex);
    if (!cachedChoice) {
        AnsiChoice choice;
        choice.systemLangId = platform::langIdForLocaleName(systemLocaleName());
        choice.codePage = codePageForLangId(choice.systemLangId);
        // An override naming a page we cannot convert is ignored rather than breaking every
        // conversion of the process.
        const auto forced = parseCodePage(std::getenv("KORVAN_ANSI_CODEPAGE"));
        if (forced && (isAnsiCodePage(*forced) || *forced == CP_UTF8))
            choice.codePage = *forced;
        cachedChoice = choice;
    }
    return *cachedChoice;
}

// The page a caller's CodePage argument stands for; 0 when it is not one we convert.
UINT effectiveCodePage(UINT codePage) {
    if (codePage == CP_ACP || codePage == CP_THREAD_ACP)
        return currentChoice().codePage;
    if (codePage == CP_UTF8 || isAnsiCodePage(codePage))
        return codePage;
    return 0;
}

class Iconv {
public:
    Iconv(const char* to, const char* from) : cd_(iconv_open(to, from)) {}
    ~Iconv() {
        if (valid())
            iconv_close(cd_);
    }
    Iconv(const Iconv&) = delete;
    Iconv& operator=(const Iconv&) = delete;

    bool valid() const { return cd_ != reinterpret_cast<iconv_t>(-1); }
    iconv_t get() const { return cd_; }

private:
    iconv_t cd_;
};

std::string iconvName(UINT codePage) {
    return "CP" + std::to_string(codePage);
}

bool isHighSurrogate(char16_t c) {
    return c >= 0xD800 && c <= 0xDBFF;
}
bool isLowSurrogate(char16_t c) {
    return c >= 0xDC00 && c <= 0xDFFF;
}

enum class Result { Ok, NoTranslation, Unsupported };

// ---- UTF-8 ----

void appendCodePoint(std::u16string& out, std::uint32_t cp) {
    if (cp >= 0x10000) {
        cp -= 0x10000;
        out.push_back(static_cast<char16_t>(0xD800 + (cp >> 10)));
        out.push_back(static_cast<char16_t>(0xDC00 + (cp & 0x3FF)));
    } else {
        out.push_back(static_cast<char16_t>(cp));
    }
}

// Decodes one UTF-8 sequence at in[0..]; the length consumed (the maximal ill-formed prefix for
// a bad sequence, at least 1) and the code point, or nullopt when ill-formed.
std::optional<std::uint32_t> decodeUtf8(const unsigned char* in, size_t left, size_t& used) {
    used = 1;
    const unsigned char lead = in[0];
    if (lead < 0x80)
        return lead;
    size_t length;
    std::uint32_t cp;
    unsigned char low = 0x80, high = 0xBF; // the valid range of the second byte
    if (lead >= 0xC2 && lead <= 0xDF) {
        length = 2;
        cp = lead & 0x1F;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
        length = 3;
        cp = lead & 0x0F;
        if (lead == 0xE0)
            low = 0xA0; // overlong
        if (lead == 0xED)
            high = 0x9F; // surrogates
    } else if (lead >= 0xF0 && lead <= 0xF4) {
        length = 4;
        cp = lead & 0x07;
        if (lead == 0xF0)
            low = 0x90; // overlong
        if (lead == 0xF4)
            high = 0x8F; // above U+10FFFF
    } else {
        return std::nullopt;
    }
    for (size_t i = 1; i < length; ++i) {
        if (i >= left)
            return std::nullopt;
        const unsigned char b = in[i];
        const unsigned char lo = i == 1 ? low : 0x80;
        const unsigned char hi = i == 1 ? high : 0xBF;
        if (b < lo || b > hi)
            return std::nullopt;
        cp = (cp << 6) | (b & 0x3F);
        used = i + 1;
    }
    used = length;
    return cp;
}

Result utf8ToUtf16(const char* input, size_t size, bool strict, std::u16string& out) {
    const auto* in = reinterpret_cast<const unsigned char*>(input);
    out.reserve(size);
    for (size_t pos = 0; pos < size;) {
        size_t used = 1;
        const auto cp = decodeUtf8(in + pos, size - pos, used);
        if (!cp) {
            if (strict)
                return Result::NoTranslation;
            out.push_back(kReplacement);
        } else {
            appendCodePoint(out, *cp);
        }
        pos += used;
    }
    return Result::Ok;
}

Result utf16ToUtf8(const char16_t* in, size_t size, bool strict, std::string& out) {
    out.reserve(size * 3);
    for (size_t pos = 0; pos < size; ++pos) {
        std::uint32_t cp = in[pos];
        if (isHighSurrogate(in[pos]) && pos + 1 < size && isLowSurrogate(in[pos + 1])) {
            cp = 0x10000 + ((cp - 0xD800) << 10) + (in[pos + 1] - 0xDC00u);
            ++pos;
        } else if (isHighSurrogate(in[pos]) || isLowSurrogate(in[pos])) {
            if (strict)
                return Result::NoTranslation;
            cp = kReplacement;
        }
        if (cp < 0x80) {
            out.push_back(static_cast<char>(cp));
        } else if (cp < 0x800) {
            out.push_back(static_cast<char>(0xC0 | (cp >> 6)));
            out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
        } else if (cp < 0x10000) {
            out.push_back(static_cast<char>(0xE0 | (cp >> 12)));
            out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
            out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
        } else {
            out.push_back(static_cast<char>(0xF0 | (cp >> 18)));
            out.push_back(static_cast<char>(0x80 | ((cp >> 12) & 0x3F)));
            out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
            out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
        }
    }
    return Result::Ok;
}

// ---- Streams through iconv ----

// Runs iconv over the whole input, appending to out; onBad is called at each position iconv
// cannot convert (EILSEQ, or EINVAL for a sequence cut short by the end of the input) and
// returns how many input bytes to skip, or 0 to stop with NoTranslation.
template <typename Out, typename OnBad>
Result runIconv(const Iconv& converter, const char* input, size_t size, Out& out, OnBad onBad) {
    using Unit = typename Out::value_type;
    char* in = const_cast<char*>(input); // iconv's signature; it does not write the input
    size_t inLeft = size;
    Unit buffer[512];
    bool flushed = false;
    while (true) {
        char* outPtr = reinterpret_cast<char*>(buffer);
        size_t outLeft = sizeof buffer;
        size_t rc;
        if (inLeft > 0) {
            rc = iconv(converter.get(), &in, &inLeft, &outPtr, &outLeft);
        } else {
            // Stateful tables (CP1258) may still hold a character.
            rc = iconv(converter.get(), nullptr, nullptr, &outPtr, &outLeft);
            flushed = true;
        }
        const int error = rc == static_cast<size_t>(-1) ? errno : 0;
        out.append(buffer, (sizeof buffer - outLeft) / sizeof(Unit));
        if (error == EILSEQ || error == EINVAL) {
            const size_t skip = onBad(in, inLeft);
            if (skip == 0)
                return Result::NoTranslation;
            in += std::min(skip, inLeft);
            inLeft -= std::min(skip, inLeft);
            continue;
        }
        if (error != 0 && error != E2BIG)
            return Result::NoTranslation;
        if (flushed && error == 0)
            return Result::Ok;
    }
}

// ---- Single-byte pages through tables read once from iconv ----

// Each byte is read from iconv on its own, so that glibc's CP1258 does not compose a letter
// with the accent after it (nor decompose a letter the page lacks): Windows converts these
// pages byte for byte.
struct SingleByteTable {
    std::array<char16_t, 256> toWide{};
    std::array<bool, 256> defined{};
    std::unordered_map<char16_t, char> toByte;
};

std::unique_ptr<SingleByteTable> readSingleByteTable(UINT codePage) {
    const Iconv converter(kUtf16Name, iconvName(codePage).c_str());
    if (!converter.valid())
        return nullptr;
    auto table = std::make_unique<SingleByteTable>();
    for (unsigned value = 0; value < 256; ++value) {
        iconv(converter.get(), nullptr, nullptr, nullptr, nullptr); // a fresh state
        char byte = static_cast<char>(value);
        char* in = &byte;
        size_t inLeft = 1;
        char16_t units[4];
        char* out = reinterpret_cast<char*>(units);
        size_t outLeft = sizeof units;
        const bool converted =
            iconv(converter.get(), &in, &inLeft, &out, &outLeft) != static_cast<size_t>(-1) &&
            iconv(converter.get(), nullptr, nullptr, &out, &outLeft) != static_cast<size_t>(-1);
        const size_t produced = (sizeof units - outLeft) / sizeof(char16_t);
        if (converted && produced == 1) {
            table->toWide[value] = units[0];
            table->defined[value] = true;
        } else if (codePage >= 1250 && codePage <= 1258 && value >= 0x80 && value <= 0x9F) {
            // Windows' 125x tables give the bytes they leave open the C1 control of the same
            // value, both ways; glibc rejects them.
            table->toWide[value] = static_cast<char16_t>(value);
            table->defined[value] = true;
        }
        if (table->defined[value])
            table->toByte.emplace(table->toWide[value], byte);
    }
    return table;
}

const SingleByteTable* singleByteTable(UINT codePage) {
    static std::mutex mutex;
    static std::map<UINT, std::unique_ptr<SingleByteTable>> tables;
    std::lock_guard lock(mutex);
    auto found = tables.find(codePage);
    if (found == tables.end())
        found = tables.emplace(codePage, readSingleByteTable(codePage)).first;
    return found->second.get();
}

Result singleByteToUtf16(const SingleByteTable& table, const char* input, size_t size, bool strict,
                         std::u16string& out) {
    out.reserve(size);
    for (size_t i = 0; i < size; ++i) {
        const auto byte = static_cast<unsigned char>(input[i]);
        if (table.defined[byte])
            out.push_back(table.toWide[byte]);
        else if (strict)
            return Result::NoTranslation;
        else
            out.push_back(kReplacement);
    }
    return Result::Ok;
}

void utf16ToSingleByte(const SingleByteTable& table, const char16_t* input, size_t size,
                       std::string_view defaultChar, bool& usedDefault, std::string& out) {
    out.reserve(size);
    for (size_t i = 0; i < size; ++i) {
        const auto found = table.toByte.find(input[i]);
        if (found != table.toByte.end()) {
            out.push_back(found->second);
            continue;
        }
        out.append(defaultChar);
        usedDefault = true;
        // A surrogate pair is one character the page lacks.
        if (isHighSurrogate(input[i]) && i + 1 < size && isLowSurrogate(input[i + 1]))
            ++i;
    }
}

// ---- Double-byte pages through iconv ----

Result ansiToUtf16(UINT codePage, const char* input, size_t size, bool strict,
                   std::u16string& out) {
    if (!isDoubleByteCodePage(codePage)) {
        const SingleByteTable* table = singleByteTable(codePage);
        if (table == nullptr)
            return Result::Unsupported;
        return singleByteToUtf16(*table, input, size, strict, out);
    }
    const Iconv converter(kUtf16Name, iconvName(codePage).c_str());
    if (!converter.valid())
        return Result::Unsupported;
    out.reserve(size);
    return runIconv(converter, input, size, out, [&](const char*, size_t) -> size_t {
        if (strict)
            return 0;
        // One byte at a time, so that an ASCII byte after a broken lead byte survives.
        out.push_back(kReplacement);
        return 1;
    });
}

Result utf16ToAnsi(UINT codePage, const char16_t* input, size_t size, std::string_view defaultChar,
                   bool& usedDefault, std::string& out) {
    if (!isDoubleByteCodePage(codePage)) {
        const SingleByteTable* table = singleByteTable(codePage);
        if (table == nullptr)
            return Result::Unsupported;
        utf16ToSingleByte(*table, input, size, defaultChar, usedDefault, out);
        return Result::Ok;
    }
    const Iconv converter(iconvName(codePage).c_str(), kUtf16Name);
    if (!converter.valid())
        return Result::Unsupported;
    out.reserve(size);
    const char* base = reinterpret_cast<const char*>(input);
    return runIconv(
        converter, base, size * sizeof(char16_t), out, [&](const char* at, size_t left) -> size_t {
            const size_t index = static_cast<size_t>(at - base) / sizeof(char16_t);
            const size_t units = left / sizeof(char16_t);
            if (units == 0)
                return left; // an odd byte cannot happen; skip it anyway
            const char16_t c = input[index];
            out.append(defaultChar);
            usedDefault = true;
            // A valid pair is one character the page lacks; a lone surrogate is
            // one unit.
            const bool pair = isHighSurrogate(c) && units > 1 && isLowSurrogate(input[index + 1]);
            return (pair ? 2 : 1) * sizeof(char16_t);
        });
}

// The default character as the caller gave it: one character of the page (two bytes for a
// double-byte lead byte), "?" when none is given.
std::string_view defaultCharacter(UINT codePage, LPCCH lpDefaultChar) {
    if (lpDefaultChar == nullptr || lpDefaultChar[0] == '\0')
        return "?";
    const auto lead = static_cast<unsigned char>(lpDefaultChar[0]);
    if (isDoubleByteCodePage(codePage) && lead >= 0x81 && lpDefaultChar[1] != '\0')
        return std::string_view(lpDefaultChar, 2);
    return std::string_view(lpDefaultChar, 1);
}

// Copies a finished conversion out with Windows' conventions: a zero output size asks for the
// length; a buffer too small fails with ERROR_INSUFFICIENT_BUFFER and is left alone.
template <typename Unit>
int deliver(const std::basic_string<Unit>& converted, Unit* output, int outputSize) {
    if (converted.size() > static_cast<size_t>(INT_MAX)) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return 0;
    }
    const int length = static_cast<int>(converted.size());
    if (outputSize == 0)
        return length;
    if (outputSize < length) {
        SetLastError(ERROR_INSUFFICIENT_BUFFER);
        return 0;
    }
    std::copy(converted.begin(), converted.end(), output);
    return length;
}

int fail(DWORD error) {
    SetLastError(error);
    return 0;
}

} // namespace

extern "C" void korvanResetAnsiCodePage() {
    std::lock_guard lock(choiceMutex);
    cachedChoice.reset();
}

// The pages this layer converts: the ANSI pages and UTF-8.
extern "C" BOOL WINAPI IsValidCodePage(UINT codePage) {
    return codePage == CP_UTF8 || isAnsiCodePage(codePage) ? TRUE : FALSE;
}

extern "C" UINT WINAPI GetACP() {
    return currentChoice().codePage;
}

extern "C" LANGID WINAPI GetUserDefaultLangID() {
    return platform::userDefaultLangId();
}

// The system locale is the one the ANSI code page comes from.
extern "C" LANGID WINAPI GetSystemDefaultLangID() {
    return currentChoice().systemLangId;
}

extern "C" int WINAPI MultiByteToWideChar(UINT CodePage, DWORD dwFlags, LPCCH lpMultiByteStr,
                                          int cbMultiByte, LPWSTR lpWideCharStr, int cchWideChar) {
    if (lpMultiByteStr == nullptr || cbMultiByte == 0 || cbMultiByte < -1 || cchWideChar < 0 ||
        (cchWideChar > 0 && lpWideCharStr == nullptr) ||
        static_cast<const void*>(lpMultiByteStr) == static_cast<const void*>(lpWideCharStr))
        return fail(ERROR_INVALID_PARAMETER);
    const UINT codePage = effectiveCodePage(CodePage);
    if (codePage == 0)
        return fail(ERROR_INVALID_PARAMETER);
    const DWORD allowed = codePage == CP_UTF8 ? MB_ERR_INVALID_CHARS
                                              : MB_PRECOMPOSED | MB_COMPOSITE | MB_USEGLYPHCHARS |
                                                    MB_ERR_INVALID_CHARS;
    if ((dwFlags & ~allowed) != 0 ||
        ((dwFlags & MB_PRECOMPOSED) != 0 && (dwFlags & MB_COMPOSITE) != 0))
        return fail(ERROR_INVALID_FLAGS);
    const bool strict = (dwFlags & MB_ERR_INVALID_CHARS) != 0;
    // -1: the input ends at its zero, which is converted too.
    const size_t size =
        cbMultiByte == -1 ? std::strlen(lpMultiByteStr) + 1 : static_cast<size_t>(cbMultiByte);
    try {
        std::u16string converted;
        const Result result = codePage == CP_UTF8
                                  ? utf8ToUtf16(lpMultiByteStr, size, strict, converted)
                                  : ansiToUtf16(codePage, lpMultiByteStr, size, strict, converted);
        if (result == Result::NoTranslation)
            return fail(ERROR_NO_UNICODE_TRANSLATION);
        if (result == Result::Unsupported)
            return fail(ERROR_INVALID_PARAMETER);
        return deliver(converted, lpWideCharStr, cchWideChar);
    } catch (const std::bad_alloc&) {
        return fail(ERROR_NOT_ENOUGH_MEMORY);
    }
}

extern "C" int WINAPI WideCharToMultiByte(UINT CodePage, DWORD dwFlags, LPCWCH lpWideCharStr,
                                          int cchWideChar, LPSTR lpMultiByteStr, int cbMultiByte,
                                          LPCCH lpDefaultChar, LPBOOL lpUsedDefaultChar) {
    if (lpWideCharStr == nullptr || cchWideChar == 0 || cchWideChar < -1 || cbMultiByte < 0 ||
        (cbMultiByte > 0 && lpMultiByteStr == nullptr) ||
        static_cast<const void*>(lpWideCharStr) == static_cast<const void*>(lpMultiByteStr))
        return fail(ERROR_INVALID_PARAMETER);
    const UINT codePage = effectiveCodePage(CodePage);
    if (codePage == 0)
        return fail(ERROR_INVALID_PARAMETER);
    if (codePage == CP_UTF8) {
        // UTF-8 represents every character: it takes no default character.
        if (lpDefaultChar != nullptr || lpUsedDefaultChar != nullptr)
            return fail(ERROR_INVALID_PARAMETER);
        if ((dwFlags & ~WC_ERR_INVALID_CHARS) != 0)
            return fail(ERROR_INVALID_FLAGS);
    } else {
        const DWORD allowed =
            WC_COMPOSITECHECK | WC_DISCARDNS | WC_SEPCHARS | WC_DEFAULTCHAR | WC_NO_BEST_FIT_CHARS;
        if ((dwFlags & ~allowed) != 0)
            return fail(ERROR_INVALID_FLAGS);
    }
    const size_t size = cchWideChar == -1 ? std::char_traits<char16_t>::length(lpWideCharStr) + 1
                                          : static_cast<size_t>(cchWideChar);
    try {
        std::string converted;
        bool usedDefault = false;
        const Result result =
            codePage == CP_UTF8
                ? utf16ToUtf8(lpWideCharStr, size, (dwFlags & WC_ERR_INVALID_CHARS) != 0, converted)
                : utf16ToAnsi(codePage, lpWideCharStr, size,
                              defaultCharacter(codePage, lpDefaultChar), usedDefault, converted);
        if (result == Result::NoTranslation)
            return fail(ERROR_NO_UNICODE_TRANSLATION);
        if (result == Result::Unsupported)
            return fail(ERROR_INVALID_PARAMETER);
        if (lpUsedDefaultChar != nullptr)
            *lpUsedDefaultChar = usedDefault ? TRUE : FALSE;
        return deliver(converted, lpMultiByteStr, cbMultiByte);
    } catch (const std::bad_alloc&) {
        return fail(ERROR_NOT_ENOUGH_MEMORY);
    }
}
