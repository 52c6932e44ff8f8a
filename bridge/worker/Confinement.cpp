#include "bridge/worker/Confinement.h"

#include "bridge/policy/StateFiles.h"
#include "bridge/policy/TokenGrants.h"
#include "providers/token/LibraryChoice.h"
#include "platform/Registry.h"
#include "softtoken/store/Config.h"
#include "softtoken/store/Files.h"
#include "platform/UniqueFd.h"

#include <seccomp.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <cerrno>
#include <climits>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <set>
#include <string_view>
#include <vector>

#include <dirent.h>
#include <elf.h>
#include <fcntl.h>
#include <link.h>
#include <linux/landlock.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

// Newer than the kernel headers Debian 12 ships; the kernel that runs may know them.
#ifndef LANDLOCK_ACCESS_FS_TRUNCATE
#define LANDLOCK_ACCESS_FS_TRUNCATE (1ULL << 14)
#endif
#ifndef LANDLOCK_ACCESS_FS_IOCTL_DEV
#define LANDLOCK_ACCESS_FS_IOCTL_DEV (1ULL << 15)
#endif
#ifndef LANDLOCK_ACCESS_NET_BIND_TCP
#define LANDLOCK_ACCESS_NET_BIND_TCP (1ULL << 0)
#define LANDLOCK_ACCESS_NET_CONNECT_TCP (1ULL << 1)
#endif
#ifndef LANDLOCK_SCOPE_SIGNAL
#define LANDLOCK_SCOPE_SIGNAL (1ULL << 1)
#endif

namespace bridge::worker {

namespace {

using Access = std::uint64_t;

// The ruleset attributes of the newest ABI known here; older kernels are given a prefix.
struct RulesetAttributes {
    Access handledFs = 0;
    Access handledNet = 0;
    Access scoped = 0;
};

constexpr Access kRead = LANDLOCK_ACCESS_FS_READ_FILE | LANDLOCK_ACCESS_FS_READ_DIR;
constexpr Access kExecute = LANDLOCK_ACCESS_FS_EXECUTE;
constexpr Access kWrite = LANDLOCK_ACCESS_FS_WRITE_FILE | LANDLOCK_ACCESS_FS_REMOVE_DIR |
                          LANDLOCK_ACCESS_FS_REMOVE_FILE | LANDLOCK_ACCESS_FS_MAKE_DIR |
                          LANDLOCK_ACCESS_FS_MAKE_REG | LANDLOCK_ACCESS_FS_MAKE_SOCK |
                          LANDLOCK_ACCESS_FS_MAKE_FIFO | LANDLOCK_ACCESS_FS_MAKE_SYM |
                          LANDLOCK_ACCESS_FS_REFER | LANDLOCK_ACCESS_FS_TRUNCATE;
// The rights a rule on a file (not a folder) may carry.
constexpr Access kFileRights = LANDLOCK_ACCESS_FS_EXECUTE | LANDLOCK_ACCESS_FS_WRITE_FILE |
                               LANDLOCK_ACCESS_FS_READ_FILE | LANDLOCK_ACCESS_FS_TRUNCATE |
                               LANDLOCK_ACCESS_FS_IOCTL_DEV;
// A pinentry wrapper exec'ing a wrapper exec'ing ... is not followed further.
constexpr int kMaxInterpreterDepth = 4;

using Fd = platform::UniqueFd;

std::string variable(const char* name) {
    const char* value = std::getenv(name);
    return value != nullptr ? value : "";
}

// An absolute folder from the environment, else `fallback` below the home folder.
std::string userFolder(const char* name, const std::string& home, const char* fallback) {
    const std::string value = variable(name);
    if (!value.empty() && value.front() == '/')
        return value;
    return home.empty() ? std::string() : home + "/" + fallback;
}

std::vector<std::string> splitPath(const std::string& text) {
    std::vector<std::string> parts;
    std::size_t start = 0;
    while (start <= text.size()) {
        std::size_t end = text.find(':', start);
        if (end == std::string::npos)
            end = text.size();
        if (end > start && text[start] == '/')
            parts.push_back(text.substr(start, end - start));
        start = end + 1;
    }
    return parts;
}

std::optional<std::string> resolved(const std::string& path) {
    char buffer[PATH_MAX];
    if (path.empty() || ::realpath(path.c_str(), buffer) == nullptr)
        return std::nullopt;
    return std::string(buffer);
}

bool within(const std::string& inner, const std::string& outer) {
    return inner == outer || (inner.size() > outer.size() && inner.compare(0, outer.size(), outer) == 0 &&
                              (outer == "/" || inner[outer.size()] == '/'));
}

// The file's first bytes, for the "#!" line or the ELF header.
std::string head(const std::string& path, std::size_t size) {
    const Fd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK));
    std::string bytes(size, '\0');
    if (fd.get() < 0)
        return {};
    const ssize_t got = ::pread(fd.get(), bytes.data(), size, 0);
    bytes.resize(got > 0 ? static_cast<std::size_t>(got) : 0);
    return bytes;
}

// The loader an ELF program names (PT_INTERP); empty for a static one or a file that is no ELF.
std::string elfInterpreter(const std::string& path) {
    const Fd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK));
    Elf64_Ehdr header{};
    if (fd.get() < 0 || ::pread(fd.get(), &header, sizeof header, 0) != static_cast<ssize_t>(sizeof header) ||
        std::memcmp(header.e_ident, ELFMAG, SELFMAG) != 0 || header.e_ident[EI_CLASS] != ELFCLASS64 ||
        header.e_phentsize != sizeof(Elf64_Phdr) || header.e_phnum > 256)
        return {};
    for (unsigned i = 0; i < header.e_phnum; ++i) {
        Elf64_Phdr segment{};
        const off_t at = static_cast<off_t>(header.e_phoff + i * sizeof segment);
        if (::pread(fd.get(), &segment, sizeof segment, at) != static_cast<ssize_t>(sizeof segment))
            return {};
        if (segment.p_type != PT_INTERP)
            continue;
        if (segment.p_filesz < 2 || segment.p_filesz > PATH_MAX)
            return {};
        std::string interpreter(segment.p_filesz, '\0');
        if (::pread(fd.get(), interpreter.data(), interpreter.size(), static_cast<off_t>(segment.p_offset)) !=
            static_cast<ssize_t>(interpreter.size()))
            return {};
        interpreter.resize(std::strlen(interpreter.c_str()));
        return interpreter;
    }
    return {};
}

// The program, resolved through links, with the interpreters and loaders execve() opens for it.
void addExecutable(const std::string& path, int depth, std::vector<std::string>& programs) {
    const auto real = resolved(path);
    if (!real || depth > kMaxInterpreterDepth)
        return;
    programs.push_back(*real);
    const std::string start = head(*real, 256);
    if (start.starts_with("#!")) {
        const std::size_t begin = start.find_first_not_of(" \t", 2);
        const std::size_t end = begin == std::string::npos ? begin : start.find_first_of(" \t\n", begin);
        if (begin != std::string::npos && end != std::string::npos)
            addExecutable(start.substr(begin, end - begin), depth + 1, programs);
        return;
    }
    if (const std::string loader = elfInterpreter(*real); !loader.empty())
        addExecutable(loader, depth + 1, programs);
}

// The pinentry as the token providers find it.
std::string pinentryPath() {
    const std::string name = variable("KORVAN_PINENTRY").empty() ? "pinentry" : variable("KORVAN_PINENTRY");
    if (name.find('/') != std::string::npos)
        return name;
    std::string path = variable("PATH");
    for (const std::string& folder : splitPath(path.empty() ? "/usr/local/bin:/usr/bin:/bin" : path)) {
        const std::string candidate = folder + "/" + name;
        if (::access(candidate.c_str(), X_OK) == 0)
            return candidate;
    }
    return {};
}

struct Rule {
    std::string path;
    Access access;
};

// The token stores of both token modules, made if missing (as the token would make them).
bool tokenStores(std::vector<Rule>& rules, std::string& error) {
    const std::string home = variable("HOME");
    std::vector<std::string> guarded = {policy::state::folder(), platform::registryFolder()};
    if (!home.empty())
        guarded.push_back(home);
    for (const auto& [envVar, module] : {std::pair{"MERIDIA_TOKEN_CONF", "meridiaCsp11_2001"},
                                         std::pair{"SKYRA_TOKEN_CONF", "qx11skyra"}}) {
        std::string why;
        const auto config = softtoken::store::Config::load(envVar, module, &why);
        if (!config) {
            // The token reports the same fault when it is used; the worker has no store then.
            std::fprintf(stderr, "korvan-bridge-worker: no token store for %s: %s\n", module, why.c_str());
            continue;
        }
        if (!softtoken::store::files::ensureDir(config->storeDir)) {
            std::fprintf(stderr, "korvan-bridge-worker: cannot use the token store %s\n", config->storeDir.c_str());
            continue;
        }
        const std::string store = resolved(config->storeDir).value_or(config->storeDir);
        for (const std::string& kept : guarded) {
            if (within(resolved(kept).value_or(kept), store)) {
                error = "the token store " + store + " holds " + kept + ", which workers must not write";
                return false;
            }
        }
        rules.push_back({store, kRead | kWrite});
        // The configuration itself, named by the variable or at the token's default place.
        const std::string named = variable(envVar);
        rules.push_back({!named.empty() ? named
                                        : userFolder("XDG_CONFIG_HOME", home, ".config") + "/korvanng/" + module + ".conf",
                         LANDLOCK_ACCESS_FS_READ_FILE});
    }
    return true;
}

// What bridge.conf grants a token module beyond the token stores: folders it writes (its tokens,
// its state). The grants were checked when the bridge started; they are read and checked again
// here, as the files may have changed since. Said once each, so that the log shows the fence.
bool grantedFolders(std::vector<Rule>& rules, std::string& error) {
    policy::TokenGrants grants;
    if (!policy::readTokenGrants(policy::kMachineBridgeConfigPath, policy::bridgeConfigPath(),
                                 policy::guardedFolders(variable("HOME")), grants, error))
        return false;
    for (const std::string& name : grants.variables)
        std::fprintf(stderr, "korvan-bridge-worker: bridge.conf grants the token module the variable %s\n",
                     name.c_str());
    for (const std::string& path : grants.paths) {
        std::fprintf(stderr, "korvan-bridge-worker: bridge.conf grants the token module read-write beneath %s\n",
                     path.c_str());
        rules.push_back({resolved(path).value_or(path), kRead | kWrite});
    }
    return true;
}

// The configured token library of each provider, wherever it lies: the provider reads its file
// into memory before loading it. A bare file name is found by the loader among the system's
// folders, which are readable anyway.
void tokenLibraries(std::vector<Rule>& rules) {
    for (const char* word : {"meridia", "skyra"}) {
        const providers::token::ProductLibrary* product = providers::token::productLibraryFor(word);
        if (product == nullptr)
            continue;
        const std::string library = providers::token::configuredTokenLibrary(product->providerName);
        if (library.starts_with('/'))
            rules.push_back({resolved(library).value_or(library), LANDLOCK_ACCESS_FS_READ_FILE});
    }
}

// A 0700 folder of the worker's own: under XDG_RUNTIME_DIR when that is the user's, else in the
// temporary folder. A process started before confinement removes it once the worker is gone,
// however it ends: the worker itself cannot remove a folder from the parent.
std::optional<std::string> runtimeFolder(std::string& error) {
    std::string parent = variable("XDG_RUNTIME_DIR");
    struct stat info {};
    if (parent.empty() || parent.front() != '/' || ::stat(parent.c_str(), &info) != 0 || !S_ISDIR(info.st_mode) ||
        info.st_uid != ::geteuid() || (info.st_mode & 077) != 0)
        parent = variable("TMPDIR").empty() || variable("TMPDIR").front() != '/' ? "/tmp" : variable("TMPDIR");
    std::string pattern = parent + "/korvanng-worker-XXXXXX";
    if (::mkdtemp(pattern.data()) == nullptr) {
        error = "cannot make a runtime folder in " + parent + ": " + std::strerror(errno);
        return std::nullopt;
    }
    int pipeFds[2];
    if (::pipe2(pipeFds, O_CLOEXEC) != 0) {
        error = std::string("cannot start the runtime folder's cleaner: ") + std::strerror(errno);
        ::rmdir(pattern.c_str());
        return std::nullopt;
    }
    // Everything the cleaner needs is made before fork(): after it, only async-signal-safe calls.
    std::string rm = "/bin/rm";
    std::string flags = "-rf";
    std::string dashes = "--";
    char* argv[] = {rm.data(), flags.data(), dashes.data(), pattern.data(), nullptr};
    char* envp[] = {nullptr};
    const pid_t child = ::fork();
    if (child == 0) {
        ::setsid();
        if (::fork() != 0)
            ::_exit(0); // the grandchild is nobody's child but init's
        ::dup2(pipeFds[0], STDIN_FILENO); // the worker's own pipes must not be held open here
        ::syscall(SYS_close_range, 1u, ~0u, 0u);
        char byte = 0;
        while (::read(STDIN_FILENO, &byte, 1) != 0 && errno == EINTR) {
        }
        ::execve(argv[0], argv, envp);
        ::_exit(127);
    }
    ::close(pipeFds[0]);
    if (child < 0) {
        error = std::string("cannot start the runtime folder's cleaner: ") + std::strerror(errno);
        ::close(pipeFds[1]);
        ::rmdir(pattern.c_str());
        return std::nullopt;
    }
    while (::waitpid(child, nullptr, 0) < 0 && errno == EINTR) {
    }
    // pipeFds[1] stays open, close-on-exec, for the worker's life: its end is the cleaner's cue.
    // A Wayland display named relative to the old runtime folder is still found by a pinentry.
    if (const std::string wayland = variable("WAYLAND_DISPLAY");
        !wayland.empty() && wayland.front() != '/' && parent == variable("XDG_RUNTIME_DIR"))
        ::setenv("WAYLAND_DISPLAY", (parent + "/" + wayland).c_str(), 1);
    ::setenv("XDG_RUNTIME_DIR", pattern.c_str(), 1);
    ::setenv("TMPDIR", pattern.c_str(), 1);
    return pattern;
}

// The folders of the libraries loaded so far: an installation outside /usr keeps the platform
// layer and the controls in one module folder, which the worker's own libraries come from.
std::vector<std::string> loadedLibraryFolders() {
    constexpr std::size_t kMaxFolders = 64;
    std::set<std::string> folders;
    dl_iterate_phdr(
        [](dl_phdr_info* info, std::size_t, void* data) {
            auto& found = *static_cast<std::set<std::string>*>(data);
            const std::string_view name = info->dlpi_name != nullptr ? info->dlpi_name : "";
            if (found.size() < kMaxFolders && name.starts_with('/') && name.rfind('/') > 0)
                found.emplace(name.substr(0, name.rfind('/')));
            return 0;
        },
        &folders);
    return {folders.begin(), folders.end()};
}

std::vector<Rule> readRules() {
    const std::string home = variable("HOME");
    std::vector<Rule> rules;
    for (const char* system : {"/usr", "/lib", "/lib64", "/lib32", "/libx32", "/bin", "/sbin", "/etc",
                               "/var/cache/fontconfig", "/sys/devices/system/cpu", "/proc/self"})
        rules.push_back({system, kRead});
    for (const char* device : {"/dev/urandom", "/dev/random", "/dev/zero"})
        rules.push_back({device, LANDLOCK_ACCESS_FS_READ_FILE});
    rules.push_back({"/dev/null", LANDLOCK_ACCESS_FS_READ_FILE | LANDLOCK_ACCESS_FS_WRITE_FILE});
    // Fonts and font settings of the user.
    const std::string data = userFolder("XDG_DATA_HOME", home, ".local/share");
    const std::string config = userFolder("XDG_CONFIG_HOME", home, ".config");
    const std::string cache = userFolder("XDG_CACHE_HOME", home, ".cache");
    for (const std::string& fonts : {home.empty() ? "" : home + "/.fonts", data + "/fonts", config + "/fontconfig",
                                     cache + "/fontconfig"})
        rules.push_back({fonts, kRead});
    const std::string xauthority = variable("XAUTHORITY");
    rules.push_back({!xauthority.empty() ? xauthority : home + "/.Xauthority", LANDLOCK_ACCESS_FS_READ_FILE});
    rules.push_back({platform::registryFolder(), kRead});
    // Locale data built elsewhere, the worker's own folder (its modules beside it in a source
    // tree) and libraries a source-tree set-up points the loader at.
    std::vector<std::string> extra = splitPath(variable("LOCPATH"));
    for (const std::string& library : splitPath(variable("LD_LIBRARY_PATH")))
        extra.push_back(library);
    if (const auto self = resolved("/proc/self/exe"))
        extra.push_back(self->substr(0, self->rfind('/')));
    for (std::string& folder : loadedLibraryFolders())
        extra.push_back(std::move(folder));
    for (const std::string& folder : extra)
        rules.push_back({folder, kRead});
    return rules;
}

// landlock_restrict_self() binds the calling thread only (this kernel has no way to bind a whole
// process), and the toolkit has started threads of its own by now (the X event reader): each is
// made to restrict itself from a signal handler, as the C library does for setuid().
std::atomic<int> sharedRuleset{-1};
constexpr int kMaxThreads = 256;
std::array<std::atomic<pid_t>, kMaxThreads> restrictedThreads;
std::atomic<int> restrictedCount{0};
std::atomic<bool> threadFailed{false};

void restrictThisThread(int) {
    const int saved = errno;
    if (::syscall(SYS_prctl, PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0) != 0 ||
        ::syscall(SYS_landlock_restrict_self, sharedRuleset.load(), 0u) != 0)
        threadFailed = true;
    const int slot = restrictedCount.fetch_add(1);
    if (slot < kMaxThreads)
        restrictedThreads[static_cast<std::size_t>(slot)] = static_cast<pid_t>(::syscall(SYS_gettid));
    errno = saved;
}

std::vector<pid_t> threadIds() {
    std::vector<pid_t> ids;
    if (DIR* folder = ::opendir("/proc/self/task")) {
        while (const dirent* entry = ::readdir(folder)) {
            const long id = std::strtol(entry->d_name, nullptr, 10);
            if (id > 0)
                ids.push_back(static_cast<pid_t>(id));
        }
        ::closedir(folder);
    }
    return ids;
}

bool restricted(pid_t thread) {
    const int count = std::min(restrictedCount.load(), kMaxThreads);
    for (int i = 0; i < count; ++i) {
        if (restrictedThreads[static_cast<std::size_t>(i)] == thread)
            return true;
    }
    return false;
}

bool alive(pid_t thread) {
    struct stat info {};
    return ::stat(("/proc/self/task/" + std::to_string(thread)).c_str(), &info) == 0;
}

bool restrictEveryThread(int ruleset, std::string& error) {
    const int signal = SIGRTMIN + 5;
    struct sigaction action {};
    struct sigaction previous {};
    action.sa_handler = restrictThisThread;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    if (::sigaction(signal, &action, &previous) != 0) {
        error = std::string("cannot reach the other threads: ") + std::strerror(errno);
        return false;
    }
    sharedRuleset = ruleset;
    const pid_t self = static_cast<pid_t>(::syscall(SYS_gettid));
    std::set<pid_t> signalled;
    bool fresh = true;
    // Until a look finds no thread not yet restricted: one restricted thread only starts others
    // that are restricted too.
    for (int round = 0; fresh && round < 16 && error.empty(); ++round) {
        fresh = false;
        for (const pid_t thread : threadIds()) {
            if (thread == self || !signalled.insert(thread).second)
                continue;
            fresh = true;
            if (signalled.size() > kMaxThreads) {
                error = "too many threads to confine";
                break;
            }
            ::syscall(SYS_tgkill, ::getpid(), thread, signal);
        }
        // Bounded wait for each to answer; one that ended needs no rules.
        for (const pid_t thread : signalled) {
            for (int wait = 0; wait < 2000 && !restricted(thread) && alive(thread); ++wait) {
                const timespec pause{0, 1'000'000};
                ::nanosleep(&pause, nullptr);
            }
            if (error.empty() && !restricted(thread) && alive(thread))
                error = "thread " + std::to_string(thread) + " did not take the Landlock rules";
        }
    }
    ::sigaction(signal, &previous, nullptr);
    if (error.empty() && threadFailed)
        error = "a thread could not take the Landlock rules";
    if (error.empty() && fresh)
        error = "threads kept appearing while confining";
    if (!error.empty())
        return false;
    if (::syscall(SYS_landlock_restrict_self, ruleset, 0u) != 0) {
        error = std::string("cannot apply Landlock: ") + std::strerror(errno);
        return false;
    }
    return true;
}

long landlockAbi() {
    return ::syscall(SYS_landlock_create_ruleset, nullptr, 0, LANDLOCK_CREATE_RULESET_VERSION);
}

Access handledFs(long abi) {
    Access access = LANDLOCK_ACCESS_FS_EXECUTE | LANDLOCK_ACCESS_FS_WRITE_FILE | LANDLOCK_ACCESS_FS_READ_FILE |
                    LANDLOCK_ACCESS_FS_READ_DIR | LANDLOCK_ACCESS_FS_REMOVE_DIR | LANDLOCK_ACCESS_FS_REMOVE_FILE |
                    LANDLOCK_ACCESS_FS_MAKE_CHAR | LANDLOCK_ACCESS_FS_MAKE_DIR | LANDLOCK_ACCESS_FS_MAKE_REG |
                    LANDLOCK_ACCESS_FS_MAKE_SOCK | LANDLOCK_ACCESS_FS_MAKE_FIFO | LANDLOCK_ACCESS_FS_MAKE_BLOCK |
                    LANDLOCK_ACCESS_FS_MAKE_SYM;
    if (abi >= 2)
        access |= LANDLOCK_ACCESS_FS_REFER;
    if (abi >= 3)
        access |= LANDLOCK_ACCESS_FS_TRUNCATE;
    if (abi >= 5)
        access |= LANDLOCK_ACCESS_FS_IOCTL_DEV;
    return access;
}

std::string missingAt(long abi) {
    std::string missing;
    const auto add = [&missing](const char* what) { missing.append(missing.empty() ? "" : ", ").append(what); };
    if (abi < 3)
        add("truncating files");
    if (abi < 4)
        add("TCP (seccomp still refuses IP sockets)");
    if (abi < 5)
        add("device ioctls");
    if (abi < 6)
        add("signals to other processes");
    return missing;
}

bool applyLandlock(const std::vector<Rule>& rules, std::string& error) {
    const long abi = landlockAbi();
    if (abi < 0) {
        if (errno == ENOSYS || errno == EOPNOTSUPP) {
            std::fprintf(stderr, "korvan-bridge-worker: this kernel offers no Landlock; only seccomp confines "
                                 "this worker, and its files are not fenced\n");
            return true;
        }
        error = std::string("cannot query Landlock: ") + std::strerror(errno);
        return false;
    }
    if (const std::string missing = missingAt(abi); !missing.empty())
        std::fprintf(stderr, "korvan-bridge-worker: Landlock ABI %ld cannot restrict %s\n", abi, missing.c_str());

    RulesetAttributes attributes;
    attributes.handledFs = handledFs(abi);
    std::size_t size = sizeof attributes.handledFs;
    if (abi >= 4) {
        // No rule allows a port: no TCP connection and no listening at all.
        attributes.handledNet = LANDLOCK_ACCESS_NET_BIND_TCP | LANDLOCK_ACCESS_NET_CONNECT_TCP;
        size += sizeof attributes.handledNet;
    }
    if (abi >= 6) {
        // Abstract UNIX sockets stay open: the display may be reached through one.
        attributes.scoped = LANDLOCK_SCOPE_SIGNAL;
        size += sizeof attributes.scoped;
    }
    const Fd ruleset(static_cast<int>(::syscall(SYS_landlock_create_ruleset, &attributes, size, 0u)));
    if (ruleset.get() < 0) {
        error = std::string("cannot make a Landlock ruleset: ") + std::strerror(errno);
        return false;
    }
    for (const Rule& rule : rules) {
        if (rule.path.empty() || rule.path.front() != '/')
            continue;
        const Fd target(::open(rule.path.c_str(), O_PATH | O_CLOEXEC));
        struct stat info {};
        if (target.get() < 0 || ::fstat(target.get(), &info) != 0)
            continue; // what does not exist needs no access
        landlock_path_beneath_attr beneath{};
        beneath.parent_fd = target.get();
        beneath.allowed_access = rule.access & attributes.handledFs & (S_ISDIR(info.st_mode) ? ~Access{0} : kFileRights);
        if (beneath.allowed_access == 0)
            continue;
        if (::syscall(SYS_landlock_add_rule, ruleset.get(), LANDLOCK_RULE_PATH_BENEATH, &beneath, 0u) != 0) {
            error = "cannot allow " + rule.path + ": " + std::strerror(errno);
            return false;
        }
    }
    return restrictEveryThread(ruleset.get(), error);
}

class SeccompFilter {
public:
    SeccompFilter() : context_(seccomp_init(SCMP_ACT_ALLOW)) {}
    ~SeccompFilter() { seccomp_release(context_); }
    SeccompFilter(const SeccompFilter&) = delete;
    SeccompFilter& operator=(const SeccompFilter&) = delete;
    scmp_filter_ctx get() const { return context_; }

private:
    scmp_filter_ctx context_;
};

bool applySeccomp(std::string& error) {
    const SeccompFilter filter;
    if (filter.get() == nullptr) {
        error = "cannot make a seccomp filter";
        return false;
    }
    const std::uint32_t refuse = SCMP_ACT_ERRNO(EPERM);
    int rc = 0;
    // The family is an int: only its low 32 bits count, so that high bits cannot slip past.
    for (const int family : {AF_INET, AF_INET6, AF_NETLINK, AF_PACKET}) {
        if (rc == 0)
            rc = seccomp_rule_add(filter.get(), refuse, SCMP_SYS(socket), 1,
                                  SCMP_A0(SCMP_CMP_MASKED_EQ, 0xffffffffULL, static_cast<scmp_datum_t>(family)));
    }
    // io_uring can open sockets without the socket() call.
    for (const int call : {SCMP_SYS(ptrace), SCMP_SYS(process_vm_writev), SCMP_SYS(process_vm_readv),
                           SCMP_SYS(io_uring_setup), SCMP_SYS(io_uring_enter), SCMP_SYS(io_uring_register)}) {
        if (rc == 0)
            rc = seccomp_rule_add(filter.get(), refuse, call, 0);
    }
    // Every thread of the process, not only this one.
    if (rc == 0)
        rc = seccomp_attr_set(filter.get(), SCMP_FLTATR_CTL_TSYNC, 1);
    if (rc == 0)
        rc = seccomp_load(filter.get());
    if (rc != 0) {
        error = std::string("cannot apply the seccomp filter: ") + std::strerror(-rc);
        return false;
    }
    return true;
}

} // namespace

bool confine(std::string& error) {
    std::vector<Rule> rules = readRules();
    if (!tokenStores(rules, error))
        return false;
    if (!grantedFolders(rules, error)) {
        error = "bridge.conf: " + error;
        return false;
    }
    tokenLibraries(rules);
    const auto runtime = runtimeFolder(error);
    if (!runtime)
        return false;
    rules.push_back({*runtime, kRead | kWrite});

    std::vector<std::string> programs;
    if (const std::string pinentry = pinentryPath(); !pinentry.empty())
        addExecutable(pinentry, 0, programs);
    for (const std::string& extra : splitPath(variable("KORVAN_PINENTRY_EXEC")))
        addExecutable(extra, 0, programs);
    for (const std::string& program : programs)
        rules.push_back({program, kExecute | LANDLOCK_ACCESS_FS_READ_FILE});

    if (::prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0) != 0) {
        error = std::string("cannot set no_new_privs: ") + std::strerror(errno);
        return false;
    }
    return applyLandlock(rules, error) && applySeccomp(error);
}

} // namespace bridge::worker
