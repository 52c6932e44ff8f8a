// korvan-regsvr32 [/u] [/s] FILE
//
// Loads FILE and calls its DllRegisterServer (or, with /u, DllUnregisterServer), as regsvr32
// does. Failures are always printed on standard error; /s silences the success line. Exit codes
// follow regsvr32's: 0 success, 1 bad arguments, 3 load failure, 4 missing entry point, 5 the
// entry point failed.
#include <objbase.h>
#include <olectl.h>

#include "platform/AsciiCase.h"
#include "platform/ModuleLoader.h"

#include <cstdio>
#include <cstring>
#include <string>
#include <strings.h>

namespace {

enum ExitCode { kOk = 0, kBadArguments = 1, kLoadFailed = 3, kNoEntryPoint = 4, kEntryFailed = 5 };

void usage() {
    std::fprintf(stderr, "usage: korvan-regsvr32 [/u] [/s] FILE\n"
                         "  /u  unregister (call DllUnregisterServer)\n"
                         "  /s  print nothing on success\n");
}

bool isOption(const char* argument, const char* letter) {
    return (argument[0] == '/' || argument[0] == '-') && platform::sameAsciiNoCase(argument + 1, letter);
}

} // namespace

int main(int argc, char** argv) {
    bool unregister = false;
    bool silent = false;
    const char* file = nullptr;
    for (int i = 1; i < argc; ++i) {
        if (isOption(argv[i], "u")) {
            unregister = true;
        } else if (isOption(argv[i], "s")) {
            silent = true;
        } else if ((argv[i][0] == '/' || argv[i][0] == '-') && argv[i][1] != '\0' && argv[i][2] == '\0') {
            // Options are one letter; a longer word starting with '/' is an absolute path.
            std::fprintf(stderr, "korvan-regsvr32: unknown option %s\n", argv[i]);
            usage();
            return kBadArguments;
        } else if (file == nullptr) {
            file = argv[i];
        } else {
            std::fprintf(stderr, "korvan-regsvr32: more than one file given\n");
            usage();
            return kBadArguments;
        }
    }
    if (file == nullptr) {
        usage();
        return kBadArguments;
    }

    const HRESULT initialized = CoInitialize(nullptr);
    int code = kOk;
    {
        // A bare name would be searched on the library path; a file in the current folder is meant.
        std::string path = file;
        if (path.find('/') == std::string::npos)
            path = "./" + path;
        platform::ModulePtr module(platform::loadModule(path.c_str()));
        const char* entry = unregister ? "DllUnregisterServer" : "DllRegisterServer";
        if (!module) {
            std::fprintf(stderr, "korvan-regsvr32: cannot load %s\n", file);
            code = kLoadFailed;
        } else if (auto* function =
                       reinterpret_cast<HRESULT(STDAPICALLTYPE*)()>(platform::moduleSymbol(module.get(), entry));
                   function == nullptr) {
            std::fprintf(stderr, "korvan-regsvr32: %s does not export %s\n", file, entry);
            code = kNoEntryPoint;
        } else if (const HRESULT result = function(); FAILED(result)) {
            std::fprintf(stderr, "korvan-regsvr32: %s in %s failed with 0x%08X\n", entry, file,
                         static_cast<unsigned>(result));
            code = kEntryFailed;
        } else if (!silent) {
            std::printf("%s in %s succeeded.\n", entry, file);
        }
    }
    if (SUCCEEDED(initialized))
        CoUninitialize();
    return code;
}
