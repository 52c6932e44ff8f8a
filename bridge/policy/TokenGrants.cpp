#include "bridge/policy/TokenGrants.h"
#include "bridge/policy/ConfigLines.h"

#include "bridge/policy/StateFiles.h"
#include "platform/AsciiCase.h"
#include "platform/Registry.h"

#include <algorithm>
#include <array>
#include <climits>
#include <cstdlib>
#include <fstream>
#include <optional>

namespace bridge::policy {

namespace {

constexpr std::size_t kMaxConfigBytes = 64 * 1024;
constexpr std::size_t kMaxGrants = 32;
constexpr std::size_t kMaxName = 128;

// Set for the worker by the bridge or by the worker itself: a grant must not override them.
constexpr std::array<std::string_view, 3> kOwnNames = {"PATH", "TMPDIR", "XDG_RUNTIME_DIR"};

// Empty when the name may be granted, else why not.
std::string refusedName(std::string_view name) {
    const bool shaped = !name.empty() && name.size() <= kMaxName && !(name.front() >= '0' && name.front() <= '9') &&
                        std::all_of(name.begin(), name.end(), [](char c) {
                            return (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '_';
                        });
    if (!shaped)
        return "expected a variable name of A-Z, 0-9 and _";
    if (name.starts_with("LD_"))
        return "the dynamic loader's variables are never passed on";
    if (name.starts_with("KORVAN_") || std::find(kOwnNames.begin(), kOwnNames.end(), name) != kOwnNames.end())
        return "the bridge sets this variable itself";
    return {};
}

// "/a//b/" as "/a/b"; nullopt for a relative path or one with "." or ".." in it.
std::optional<std::string> normalized(std::string_view path) {
    if (path.empty() || path.front() != '/' || path.size() >= PATH_MAX || path.find('\0') != std::string_view::npos)
        return std::nullopt;
    std::string out;
    std::size_t start = 0;
    while (start < path.size()) {
        std::size_t end = path.find('/', start);
        if (end == std::string_view::npos)
            end = path.size();
        const std::string_view part = path.substr(start, end - start);
        if (part == "." || part == "..")
            return std::nullopt;
        if (!part.empty())
            out.append("/").append(part);
        start = end + 1;
    }
    return out.empty() ? "/" : out;
}

bool within(const std::string& inner, const std::string& outer) {
    return inner == outer || outer == "/" ||
           (inner.size() > outer.size() && inner.compare(0, outer.size(), outer) == 0 && inner[outer.size()] == '/');
}

// The path with the links of its longest existing part resolved: a folder not made yet may lie
// beneath a link into a guarded one.
std::string real(const std::string& path) {
    std::string existing = path;
    std::string rest;
    char buffer[PATH_MAX];
    for (int depth = 0; depth < 256 && !existing.empty(); ++depth) {
        if (::realpath(existing.c_str(), buffer) != nullptr)
            return (std::string(buffer) == "/" ? std::string() : std::string(buffer)) + rest;
        const std::size_t slash = existing.rfind('/');
        rest = existing.substr(slash) + rest;
        existing.resize(slash);
    }
    return path;
}

// Empty when the folder may be granted, else why not; checked as written and as resolved.
std::string refusedPath(const std::string& path, const GuardedFolders& guarded) {
    if (path == "/")
        return "the whole file system cannot be granted";
    for (const std::string& candidate : {path, real(path)}) {
        for (const std::string& kept : guarded.inside) {
            for (const std::string& folder : {kept, real(kept)}) {
                if (!folder.empty() && (within(candidate, folder) || within(folder, candidate)))
                    return "it holds or lies within " + folder + ", which workers must not write";
            }
        }
        for (const std::string& folder : {guarded.home, real(guarded.home)}) {
            if (!folder.empty() && within(folder, candidate))
                return "it holds the home folder " + folder;
        }
    }
    return {};
}

bool readFile(const std::string& path, std::string& text) {
    std::ifstream file(path, std::ios::binary);
    if (!file)
        return false;
    text.assign(kMaxConfigBytes, '\0');
    file.read(text.data(), static_cast<std::streamsize>(text.size()));
    text.resize(static_cast<std::size_t>(file.gcount()));
    return true;
}

} // namespace

bool tokenGrantKey(std::string_view key) {
    return platform::sameAsciiNoCase(key, "token-env") || platform::sameAsciiNoCase(key, "token-path");
}

GuardedFolders guardedFolders(const std::string& home) {
    return {{state::folder(), platform::registryFolder()}, home};
}

bool addTokenGrants(std::string_view text, const std::string& source, const GuardedFolders& guarded,
                    TokenGrants& grants, std::string& error) {
    for (const auto& [number, key, value] : configSettings(text)) {
        if (!tokenGrantKey(key))
            continue;
        const std::string where = source + " line " + std::to_string(number) + ": " + std::string(key) + " \"" +
                                  std::string(value.substr(0, 80)) + "\": ";
        const bool isPath = platform::sameAsciiNoCase(key, "token-path");
        std::vector<std::string>& list = isPath ? grants.paths : grants.variables;
        std::string granted(value);
        std::string why;
        if (isPath) {
            const auto path = normalized(value);
            if (!path)
                why = "expected an absolute path without . or ..";
            else if (why = refusedPath(*path, guarded); why.empty())
                granted = *path;
        } else {
            why = refusedName(value);
        }
        if (why.empty() && list.size() >= kMaxGrants && std::find(list.begin(), list.end(), granted) == list.end())
            why = "more than " + std::to_string(kMaxGrants) + " grants of this kind";
        if (!why.empty()) {
            error = where + why;
            return false;
        }
        if (std::find(list.begin(), list.end(), granted) == list.end())
            list.push_back(std::move(granted));
    }
    return true;
}

bool readTokenGrants(const std::string& machineConfig, const std::string& userConfig,
                     const GuardedFolders& guarded, TokenGrants& grants, std::string& error) {
    for (const std::string& path : {machineConfig, userConfig}) {
        std::string text;
        if (!path.empty() && readFile(path, text) && !addTokenGrants(text, path, guarded, grants, error))
            return false;
    }
    return true;
}

} // namespace bridge::policy
