#include "providers/token/PrivateInstance.h"

#include "platform/UniqueFd.h"

#include <dlfcn.h>
#include <fcntl.h>
#include <link.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace providers::token {
namespace {

bool copyAll(int from, int to, long long size) {
    char buffer[64 * 1024];
    long long copied = 0;
    while (copied < size) {
        const ssize_t n = read(from, buffer, sizeof buffer);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return false;
        for (ssize_t written = 0; written < n;) {
            const ssize_t w = write(to, buffer + written, static_cast<std::size_t>(n - written));
            if (w < 0 && errno == EINTR)
                continue;
            if (w <= 0)
                return false;
            written += w;
        }
        copied += n;
    }
    return copied == size;
}

} // namespace

std::string modulePathFor(const std::string& name) {
    if (name.empty())
        return {};
    if (name.find('/') != std::string::npos)
        return name;
    // Only to learn the path: this instance is closed again without being initialised.
    void* probe = dlopen(name.c_str(), RTLD_LAZY | RTLD_LOCAL);
    if (!probe)
        return {};
    std::string path;
    link_map* map = nullptr;
    if (dlinfo(probe, RTLD_DI_LINKMAP, &map) == 0 && map && map->l_name)
        path = map->l_name;
    dlclose(probe);
    return path;
}

void* loadPrivateInstance(const std::string& path, std::string& error) {
    platform::UniqueFd source(open(path.c_str(), O_RDONLY | O_CLOEXEC));
    if (source.get() < 0) {
        error = "cannot open " + path + ": " + std::strerror(errno);
        return nullptr;
    }
    struct stat info {};
    if (fstat(source.get(), &info) != 0 || !S_ISREG(info.st_mode)) {
        error = path + " is not a regular file";
        return nullptr;
    }
    if (info.st_size <= 0 || info.st_size > maximumModuleBytes) {
        error = path + " is empty or larger than a module can be";
        return nullptr;
    }
    // Kept open for the life of the process: a later load of another copy through the same
    // descriptor number would otherwise be taken for this one by name.
    platform::UniqueFd copy(memfd_create("korvan-token-module", MFD_CLOEXEC));
    if (copy.get() < 0) {
        error = std::string("cannot make the module's copy: ") + std::strerror(errno);
        return nullptr;
    }
    if (!copyAll(source.get(), copy.get(), info.st_size)) {
        error = "cannot copy " + path;
        return nullptr;
    }
    const std::string copyPath = "/proc/self/fd/" + std::to_string(copy.get());
    void* module = dlopen(copyPath.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (!module) {
        const char* why = dlerror();
        error = path + " does not load: " + (why ? why : "unknown");
        return nullptr;
    }
    copy.release();
    return module;
}

} // namespace providers::token
