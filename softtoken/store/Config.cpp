#include "softtoken/store/Config.h"

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <fstream>
#include <pwd.h>
#include <set>
#include <sstream>
#include <unistd.h>

namespace softtoken::store {

namespace {

std::string trim(const std::string& s) {
    const auto begin = s.find_first_not_of(" \t\r");
    if (begin == std::string::npos)
        return {};
    const auto end = s.find_last_not_of(" \t\r");
    return s.substr(begin, end - begin + 1);
}

std::string homeDir() {
    if (const char* home = std::getenv("HOME"); home && *home)
        return home;
    if (const passwd* pw = getpwuid(getuid()); pw && pw->pw_dir)
        return pw->pw_dir;
    return {};
}

// $<var>, else ~/<fallback>.
std::string xdgDir(const char* var, const char* fallback) {
    if (const char* dir = std::getenv(var); dir && *dir == '/')
        return dir;
    return homeDir() + "/" + fallback;
}

bool parseNumber(const std::string& text, unsigned long long min, unsigned long long max,
                 unsigned long long& out) {
    if (text.empty() || text[0] < '0' || text[0] > '9')
        return false;
    errno = 0;
    char* end = nullptr;
    const unsigned long long value = std::strtoull(text.c_str(), &end, 10);
    if (errno != 0 || *end != '\0' || value < min || value > max)
        return false;
    out = value;
    return true;
}

bool fail(std::string* error, const std::string& message) {
    if (error)
        *error = message;
    return false;
}

struct NumberKey {
    const char* name;
    unsigned long long min;
    unsigned long long max;
};

constexpr NumberKey kNumberKeys[] = {
    {"slots", 1, 32},
    {"pin_iterations", 1, kMaxPinIterations},
    {"rsa_min_bits", 512, 16384},
    {"rsa_max_bits", 512, 16384},
    {"public_memory", 0, UINT32_MAX},
    {"private_memory", 0, UINT32_MAX},
    {"min_pin_len", 1, kMaxPinLen},
    {"max_pin_len", 1, kMaxPinLen},
    // 0 means the PIN never locks.
    {"max_retries", 0, 255},
};

void assign(Config& config, const std::string& key, unsigned long long value) {
    if (key == "slots")
        config.slotCount = static_cast<unsigned>(value);
    else if (key == "pin_iterations")
        config.pinIterations = static_cast<std::uint32_t>(value);
    else if (key == "rsa_min_bits")
        config.rsaMinBits = static_cast<CK_ULONG>(value);
    else if (key == "rsa_max_bits")
        config.rsaMaxBits = static_cast<CK_ULONG>(value);
    else if (key == "public_memory")
        config.publicMemory = static_cast<std::uint32_t>(value);
    else if (key == "private_memory")
        config.privateMemory = static_cast<std::uint32_t>(value);
    else if (key == "min_pin_len")
        config.minPinLen = static_cast<CK_ULONG>(value);
    else if (key == "max_pin_len")
        config.maxPinLen = static_cast<CK_ULONG>(value);
    else if (key == "max_retries")
        config.maxRetries = static_cast<std::uint8_t>(value);
}

} // namespace

std::optional<Config> Config::parse(const std::string& text, const std::string& defaultStoreDir,
                                    std::string* error) {
    Config config;
    config.storeDir = defaultStoreDir;
    std::set<std::string> seen;
    std::istringstream in(text);
    std::string raw;
    for (int lineNo = 1; std::getline(in, raw); ++lineNo) {
        const std::string line = trim(raw);
        if (line.empty() || line[0] == '#')
            continue;
        const std::string where = "line " + std::to_string(lineNo) + ": ";
        const auto eq = line.find('=');
        if (eq == std::string::npos) {
            fail(error, where + "expected \"key = value\"");
            return std::nullopt;
        }
        const std::string key = trim(line.substr(0, eq));
        const std::string value = trim(line.substr(eq + 1));
        if (!seen.insert(key).second) {
            fail(error, where + "\"" + key + "\" is set twice");
            return std::nullopt;
        }
        if (key == "store_dir") {
            std::string dir = value;
            if (dir == "~" || dir.rfind("~/", 0) == 0)
                dir = homeDir() + dir.substr(1);
            if (dir.empty() || dir[0] != '/') {
                fail(error, where + "store_dir must be an absolute path");
                return std::nullopt;
            }
            while (dir.size() > 1 && dir.back() == '/')
                dir.pop_back();
            config.storeDir = dir;
            continue;
        }
        const NumberKey* known = nullptr;
        for (const auto& k : kNumberKeys)
            if (key == k.name)
                known = &k;
        if (!known) {
            fail(error, where + "unknown key \"" + key + "\"");
            return std::nullopt;
        }
        unsigned long long number = 0;
        if (!parseNumber(value, known->min, known->max, number)) {
            fail(error, where + key + " must be a whole number from " + std::to_string(known->min) +
                            " to " + std::to_string(known->max));
            return std::nullopt;
        }
        assign(config, key, number);
    }
    if (config.rsaMinBits > config.rsaMaxBits) {
        fail(error, "rsa_min_bits is larger than rsa_max_bits");
        return std::nullopt;
    }
    if (config.minPinLen > config.maxPinLen) {
        fail(error, "min_pin_len is larger than max_pin_len");
        return std::nullopt;
    }
    if (config.storeDir.empty()) {
        fail(error, "no store_dir and no home folder to put the store in");
        return std::nullopt;
    }
    return config;
}

std::optional<Config> Config::load(const char* envVar, const char* moduleName, std::string* error) {
    const std::string defaultStore =
        xdgDir("XDG_DATA_HOME", ".local/share") + "/korvanng/" + moduleName;
    std::string path;
    bool mustExist = false;
    if (const char* named = envVar ? std::getenv(envVar) : nullptr; named && *named) {
        path = named;
        mustExist = true;
    } else {
        path = xdgDir("XDG_CONFIG_HOME", ".config") + "/korvanng/" + moduleName + ".conf";
    }
    std::ifstream file(path);
    if (!file) {
        if (mustExist) {
            fail(error, path + ": cannot read the file named by " + envVar);
            return std::nullopt;
        }
        // Present but unreadable is an error: defaults would hide the problem.
        if (::access(path.c_str(), F_OK) == 0) {
            fail(error, path + ": cannot read the file");
            return std::nullopt;
        }
        return parse("", defaultStore, error);
    }
    std::ostringstream text;
    text << file.rdbuf();
    std::string why;
    auto config = parse(text.str(), defaultStore, &why);
    if (!config)
        fail(error, path + ": " + why);
    return config;
}

} // namespace softtoken::store
