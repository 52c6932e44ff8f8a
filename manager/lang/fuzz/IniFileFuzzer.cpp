// Fuzzed bytes as a language file: read from disk by IniFile::load and from
// memory by IniFile::loadText (both must agree), then through Translator the
// way the manager reads it. Checks the unescaping rules on every value.

#include "IniFile.h"
#include "Translator.h"

#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>

namespace {

// One scratch folder per fuzzing process, removed at exit.
const std::string& scratchDir() {
    static const std::string dir = [] {
        char pattern[] = "/tmp/lang_fuzz.XXXXXX";
        const char* made = mkdtemp(pattern);
        if (made == nullptr)
            std::abort();
        std::string path = made;
        static std::string removeAtExit;
        removeAtExit = path;
        std::atexit([] {
            std::remove((removeAtExit + "/fuzz_7.lng").c_str());
            rmdir(removeAtExit.c_str());
        });
        return path;
    }();
    return dir;
}

void check(bool condition, const char* what) {
    if (!condition) {
        std::fprintf(stderr, "lang_fuzz_inifile: %s\n", what);
        std::abort();
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string text(reinterpret_cast<const char*>(data), size);
    const std::string path = scratchDir() + "/fuzz_7.lng";
    {
        std::ofstream out(path, std::ios::binary | std::ios::trunc);
        out.write(text.data(), std::streamsize(text.size()));
    }

    IniFile fromDisk;
    IniFile fromMemory;
    bool loaded = fromDisk.load(path);
    check(loaded == fromMemory.loadText(text), "load and loadText disagree");
    check(fromDisk.sectionCount() == fromMemory.sectionCount(), "section counts differ");

    // Every value as the parser stores it obeys the unescaping rules.
    std::string unescaped = unescapeIniValue(text);
    check(unescaped.find("\\\\") == std::string::npos, "a doubled backslash survived");
    if (text.find('\x01') == std::string::npos) {
        check(unescaped.size() <= text.size(), "unescaping made a value longer");
        check(unescaped.find('\x01') == std::string::npos, "the working marker leaked");
    }

    Translator translator(Translator::Environment{[] { return scratchDir() + "/manager"; },
                                                  [] { return std::uint32_t(7); }});
    translator.setStem("fuzz");
    translator.initialize();
    check(translator.loadAttempted(), "no load attempted");
    if (!translator.fileLoaded()) {
        check(translator.usesDefaults(), "a rejected file is in use");
        check(translator.translate(10000, "default") == "default", "rejected file answered");
        return 0;
    }
    check(loaded, "translator accepted a file the parser rejected");
    check(!translator.usesDefaults(), "an accepted file is not used");
    for (int id : {0, 1, 128, 10000, -1, 65535})
        (void)translator.translate(id, "default");
    std::string missing = translator.translate(2147483647, NoValueMarker);
    (void)missing;
    return 0;
}
