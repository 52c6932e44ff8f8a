// Start-up time and idle load of KorvanNgMgr, measured on the real program.
//
//   manager_bench --manager PATH --probe PATH --module PATH --pin PIN
//                 [--objects N] [--runs N] [--idle-seconds S]
//
// The token store is the one MERIDIA_TOKEN_CONF names (scripts/run-manager-bench.sh
// makes it: two readers, one token). The token is first filled up to N token
// objects through the module. Then the manager is started offscreen --runs
// times with the probe preloaded (see ShownProbe.cpp): the time from just
// before the process is spawned to the main window first drawn; the median is
// reported. Finally one manager is left idle for --idle-seconds and its CPU
// time is read from /proc/<pid>/stat.
// Exit status: 0 targets met, 2 the measurement failed, 3 a target was missed.

#include <p11-kit/pkcs11.h>

#include <dlfcn.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

extern char** environ;

namespace {

constexpr double kStartTargetMs = 300.0;
constexpr double kIdleTargetPercent = 1.0;

struct Options {
    std::string manager, probe, module, pin;
    int objects = 200;
    int runs = 15;
    double idleSeconds = 10.0;
};

long long monotonicNanoseconds() {
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return now.tv_sec * 1000000000LL + now.tv_nsec;
}

void check(CK_RV rv, const char* what) {
    if (rv != CKR_OK) {
        char text[96];
        std::snprintf(text, sizeof text, "%s failed: 0x%08lX", what,
                      static_cast<unsigned long>(rv));
        throw std::runtime_error(text);
    }
}

// Tops the first token up to `wanted` public token data objects.
int fillToken(const Options& options) {
    void* library = dlopen(options.module.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (!library)
        throw std::runtime_error(std::string("cannot load the module: ") + dlerror());
    auto getList = reinterpret_cast<CK_C_GetFunctionList>(dlsym(library, "C_GetFunctionList"));
    CK_FUNCTION_LIST* p11 = nullptr;
    if (!getList || getList(&p11) != CKR_OK)
        throw std::runtime_error("the module has no function list");
    check(p11->C_Initialize(nullptr), "C_Initialize");
    int total = 0;
    try {
        CK_SLOT_ID slots[32];
        CK_ULONG count = 32;
        check(p11->C_GetSlotList(CK_TRUE, slots, &count), "C_GetSlotList");
        if (count == 0)
            throw std::runtime_error("no token in any reader");
        CK_SESSION_HANDLE session = CK_INVALID_HANDLE;
        check(p11->C_OpenSession(slots[0], CKF_SERIAL_SESSION | CKF_RW_SESSION, nullptr, nullptr,
                                 &session),
              "C_OpenSession");
        check(p11->C_Login(session, CKU_USER,
                           reinterpret_cast<CK_UTF8CHAR*>(const_cast<char*>(options.pin.c_str())),
                           options.pin.size()),
              "C_Login");
        CK_BBOOL yes = CK_TRUE;
        CK_ATTRIBUTE onToken{CKA_TOKEN, &yes, sizeof yes};
        check(p11->C_FindObjectsInit(session, &onToken, 1), "C_FindObjectsInit");
        CK_OBJECT_HANDLE handles[64];
        for (CK_ULONG found = 0;
             p11->C_FindObjects(session, handles, 64, &found) == CKR_OK && found > 0;)
            total += int(found);
        p11->C_FindObjectsFinal(session);
        for (; total < options.objects; ++total) {
            CK_OBJECT_CLASS dataClass = CKO_DATA;
            CK_BBOOL no = CK_FALSE;
            std::string label = "bench data " + std::to_string(total);
            unsigned char value[32];
            std::memset(value, total & 0xFF, sizeof value);
            CK_ATTRIBUTE tmpl[] = {
                {CKA_CLASS, &dataClass, sizeof dataClass},
                {CKA_TOKEN, &yes, sizeof yes},
                {CKA_PRIVATE, &no, sizeof no},
                {CKA_LABEL, label.data(), label.size()},
                {CKA_VALUE, value, sizeof value},
            };
            CK_OBJECT_HANDLE object = CK_INVALID_HANDLE;
            check(p11->C_CreateObject(session, tmpl, sizeof tmpl / sizeof tmpl[0], &object),
                  "C_CreateObject");
        }
        p11->C_CloseSession(session);
    } catch (...) {
        p11->C_Finalize(nullptr);
        throw;
    }
    p11->C_Finalize(nullptr);
    dlclose(library);
    return total;
}

class Manager {
public:
    Manager(const Options& options, bool quitWhenShown) {
        int fds[2];
        if (pipe2(fds, O_CLOEXEC) != 0)
            throw std::runtime_error("pipe failed");
        readFd_ = fds[0];
        std::vector<std::string> env;
        for (char** e = environ; *e; ++e) {
            std::string entry = *e;
            for (const char* name : {"LD_PRELOAD=", "KORVAN_BENCH_", "QT_QPA_PLATFORM="})
                if (entry.rfind(name, 0) == 0)
                    entry.clear();
            if (!entry.empty())
                env.push_back(entry);
        }
        env.push_back("LD_PRELOAD=" + options.probe);
        env.push_back("KORVAN_BENCH_FD=3");
        env.push_back(std::string("KORVAN_BENCH_QUIT=") + (quitWhenShown ? "1" : "0"));
        env.push_back("QT_QPA_PLATFORM=offscreen");
        std::vector<char*> envp;
        for (std::string& entry : env)
            envp.push_back(entry.data());
        envp.push_back(nullptr);

        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_adddup2(&actions, fds[1], 3);
        posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
        std::string program = options.manager;
        char* argv[] = {program.data(), nullptr};
        start_ = monotonicNanoseconds();
        int error = posix_spawn(&pid_, program.c_str(), &actions, nullptr, argv, envp.data());
        posix_spawn_file_actions_destroy(&actions);
        close(fds[1]);
        if (error != 0)
            throw std::runtime_error("cannot start " + program + ": " + std::strerror(error));
    }
    ~Manager() {
        if (pid_ > 0) {
            kill(pid_, SIGTERM);
            waitpid(pid_, nullptr, 0);
        }
        close(readFd_);
    }
    Manager(const Manager&) = delete;
    Manager& operator=(const Manager&) = delete;

    // Milliseconds from spawn to the window drawn.
    double waitShown() {
        std::string buffer;
        pollfd poller{readFd_, POLLIN, 0};
        while (buffer.find('\n') == std::string::npos) {
            if (poll(&poller, 1, 30000) <= 0)
                throw std::runtime_error("the main window was not shown within 30 s");
            char chunk[128];
            ssize_t n = read(readFd_, chunk, sizeof chunk);
            if (n <= 0)
                throw std::runtime_error("the manager ended before showing its window");
            buffer.append(chunk, std::size_t(n));
        }
        long long shown = 0;
        if (std::sscanf(buffer.c_str(), "shown %lld", &shown) != 1)
            throw std::runtime_error("unexpected probe output: " + buffer);
        return double(shown - start_) / 1e6;
    }

    int waitExit() {
        int status = 0;
        waitpid(pid_, &status, 0);
        pid_ = -1;
        return status;
    }

    // CPU time of all its threads so far, in seconds: the scheduler's
    // nanosecond counts (schedstat), else user plus system ticks (stat).
    double cpuSeconds() const {
        std::string base = "/proc/" + std::to_string(pid_);
        std::error_code error;
        double total = 0;
        bool counted = false;
        for (const auto& task : std::filesystem::directory_iterator(base + "/task", error)) {
            std::ifstream in(task.path() / "schedstat");
            unsigned long long onCpu = 0;
            if (in >> onCpu) {
                total += double(onCpu) / 1e9;
                counted = true;
            }
        }
        if (counted)
            return total;
        std::ifstream in(base + "/stat");
        std::string stat((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
        std::size_t close = stat.rfind(')');
        if (close == std::string::npos)
            throw std::runtime_error("cannot read the manager's CPU time");
        std::istringstream fields(stat.substr(close + 2));
        std::string field;
        unsigned long long utime = 0, stime = 0;
        // After the name: state is field 3; utime and stime are fields 14 and 15.
        for (int i = 3; i <= 15 && fields >> field; ++i) {
            if (i == 14)
                utime = std::stoull(field);
            if (i == 15)
                stime = std::stoull(field);
        }
        return double(utime + stime) / double(sysconf(_SC_CLK_TCK));
    }

private:
    pid_t pid_ = -1;
    int readFd_ = -1;
    long long start_ = 0;
};

Options parse(int argc, char** argv) {
    Options options;
    for (int i = 1; i < argc; ++i) {
        std::string arg = argv[i];
        if (i + 1 >= argc)
            throw std::invalid_argument("missing value after " + arg);
        std::string value = argv[++i];
        if (arg == "--manager")
            options.manager = value;
        else if (arg == "--probe")
            options.probe = value;
        else if (arg == "--module")
            options.module = value;
        else if (arg == "--pin")
            options.pin = value;
        else if (arg == "--objects")
            options.objects = std::stoi(value);
        else if (arg == "--runs")
            options.runs = std::max(1, std::stoi(value));
        else if (arg == "--idle-seconds")
            options.idleSeconds = std::max(1.0, std::stod(value));
        else
            throw std::invalid_argument("unknown option " + arg);
    }
    if (options.manager.empty() || options.probe.empty() || options.module.empty() ||
        options.pin.empty())
        throw std::invalid_argument("--manager, --probe, --module and --pin are required");
    return options;
}

} // namespace

int main(int argc, char** argv) {
    Options options;
    try {
        options = parse(argc, argv);
    } catch (const std::exception& e) {
        std::fprintf(stderr, "manager_bench: %s\n", e.what());
        return 1;
    }
    try {
        int objects = fillToken(options);

        // One run first to warm the file cache; it is not counted.
        { Manager(options, true).waitShown(); }
        std::vector<double> times;
        for (int i = 0; i < options.runs; ++i) {
            Manager manager(options, true);
            times.push_back(manager.waitShown());
            int status = manager.waitExit();
            if (!WIFEXITED(status) || WEXITSTATUS(status) != 0)
                throw std::runtime_error("the manager did not exit cleanly");
        }
        std::sort(times.begin(), times.end());
        double median = times.size() % 2
                            ? times[times.size() / 2]
                            : (times[times.size() / 2 - 1] + times[times.size() / 2]) / 2;

        Manager idle(options, false);
        idle.waitShown();
        // Let start-up work (fonts, first paints) finish before counting.
        std::this_thread::sleep_for(std::chrono::seconds(2));
        double before = idle.cpuSeconds();
        long long from = monotonicNanoseconds();
        std::this_thread::sleep_for(std::chrono::duration<double>(options.idleSeconds));
        double used = idle.cpuSeconds() - before;
        double wall = double(monotonicNanoseconds() - from) / 1e9;
        double percent = 100.0 * used / wall;

        bool startOk = median < kStartTargetMs;
        bool idleOk = percent < kIdleTargetPercent;
        std::printf("KorvanNgMgr, offscreen, two readers, one token with %d token objects\n\n",
                    objects);
        auto row = [](const std::string& measure, const std::string& result,
                      const std::string& target, const char* verdict) {
            std::printf("%-44s %16s %10s  %s\n", measure.c_str(), result.c_str(), target.c_str(),
                        verdict);
        };
        auto format = [](const char* pattern, double a, double b = 0) {
            char text[64];
            std::snprintf(text, sizeof text, pattern, a, b);
            return std::string(text);
        };
        row("measure", "result", "target", "");
        row("start to main window drawn, median of " + std::to_string(options.runs),
            format("%.1f ms", median), format("%.0f ms", kStartTargetMs),
            startOk ? "ok" : "MISSED");
        row("  fastest / slowest", format("%.1f / %.1f ms", times.front(), times.back()), "", "");
        row("idle CPU over " + std::to_string(int(wall + 0.5)) + " s, share of one core",
            format("%.3f %%", percent), format("%.1f %%", kIdleTargetPercent),
            idleOk ? "ok" : "MISSED");
        return startOk && idleOk ? 0 : 3;
    } catch (const std::exception& e) {
        std::fprintf(stderr, "manager_bench: %s\n", e.what());
        return 2;
    }
}
