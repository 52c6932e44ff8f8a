// SignResult of the 64-bit control through the bridge (HTTP on loopback, the worker, IDispatch
// there) against the same call through IDispatch in this process, over one software token.
// Rounds alternate so both sides see the same disk and cache state; the ratio is of the total
// times. Target: at most 1.2.
#include "SignBench.h"

#include <httplib.h>
#include <nlohmann/json.hpp>

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <optional>
#include <regex>
#include <string>
#include <vector>

extern char** environ;

using control_host::Control;
using control_host::TokenStore;

namespace {

constexpr const char* kContainer = "B0000000-0000-0000-0000-0000000000B2";
constexpr const char* kOrigin = "http://127.0.0.1:9";

// korvan-bridge --port 0 as a child; ended and reaped when the object goes.
class BridgeProcess {
public:
    BridgeProcess(const std::string& program, const std::string& logPath) {
        int out[2];
        if (pipe(out) != 0)
            return;
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_adddup2(&actions, out[1], 1);
        // The bridge and its worker log every call; keep that out of the figures.
        posix_spawn_file_actions_addopen(&actions, 2, logPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        posix_spawn_file_actions_addclose(&actions, out[0]);
        std::vector<std::string> args = {program, "--port", "0"};
        std::vector<char*> argv;
        for (std::string& a : args)
            argv.push_back(a.data());
        argv.push_back(nullptr);
        if (posix_spawn(&pid_, program.c_str(), &actions, nullptr, argv.data(), environ) != 0)
            pid_ = -1;
        posix_spawn_file_actions_destroy(&actions);
        close(out[1]);
        output_ = fdopen(out[0], "r");
        if (pid_ <= 0 || output_ == nullptr)
            return;
        const std::regex listening(R"(listening on http://127\.0\.0\.1:(\d+))");
        char line[512];
        for (int lines = 0; lines < 100 && fgets(line, sizeof line, output_) != nullptr; ++lines) {
            std::cmatch found;
            if (std::regex_search(line, found, listening)) {
                port_ = std::atoi(found[1].str().c_str());
                break;
            }
        }
    }
    BridgeProcess(const BridgeProcess&) = delete;
    BridgeProcess& operator=(const BridgeProcess&) = delete;
    ~BridgeProcess() {
        if (pid_ > 0) {
            kill(pid_, SIGTERM);
            waitpid(pid_, nullptr, 0);
        }
        if (output_ != nullptr)
            fclose(output_);
    }
    int port() const { return port_; }

private:
    pid_t pid_ = -1;
    FILE* output_ = nullptr;
    int port_ = 0;
};

// One wire message to the bridge, as a page sends it.
httplib::Result send(httplib::Client& client, const nlohmann::json& message) {
    const httplib::Headers headers = {{"Origin", kOrigin}};
    return client.Post("/korvan/v1/call", headers, message.dump(), "text/plain;charset=UTF-8");
}

// The answer to `message` when it is 200 and ok.
std::optional<nlohmann::json> post(httplib::Client& client, const nlohmann::json& message) {
    auto answer = send(client, message);
    if (!answer || answer->status != 200)
        return std::nullopt;
    nlohmann::json body = nlohmann::json::parse(answer->body, nullptr, false);
    if (body.is_discarded() || !body.value("ok", false))
        return std::nullopt;
    return body;
}

// True when the bridge answered that the object's worker is gone.
bool released(httplib::Client& client, const nlohmann::json& message) {
    auto answer = send(client, message);
    return answer && answer->status == 410;
}

std::optional<long> status(const std::optional<nlohmann::json>& answer) {
    if (!answer || !answer->contains("value") || (*answer)["value"].size() != 2 ||
        !(*answer)["value"][1].is_number())
        return std::nullopt;
    return (*answer)["value"][1].get<long>();
}

} // namespace

int main(int argc, char** argv) {
    const char* program = "bridge_sign_bench";
    const sign_bench::Rounds rounds = sign_bench::roundsFrom(argc, argv);
    if (!sign_bench::prepareToken(program, kContainer))
        return 1;
    TokenStore& store = TokenStore::instance();
    // The bridge gives its workers a fresh environment: the scripted pinentry's settings travel
    // in a wrapper. The bridge keeps its own state in the store's folder.
    const std::string wrapper = store.root() + "/pinentry";
    std::ofstream(wrapper) << "#!/bin/sh\nPINENTRY_SCRIPT_MODE=pin PINENTRY_SCRIPT_PIN="
                           << TokenStore::userPin << " exec '" << CONTROL_HOST_PINENTRY << "'\n";
    chmod(wrapper.c_str(), 0700);
    setenv("KORVAN_PINENTRY", wrapper.c_str(), 1);
    // A confined worker executes only the pinentry: name what the wrapper runs.
    setenv("KORVAN_PINENTRY_EXEC", CONTROL_HOST_PINENTRY, 1);
    for (const char* folder : {"/runtime", "/config", "/data"}) {
        const std::string path = std::string(store.root()).append(folder);
        mkdir(path.c_str(), 0700);
    }
    setenv("XDG_RUNTIME_DIR", std::string(store.root()).append("/runtime").c_str(), 1);
    setenv("XDG_CONFIG_HOME", std::string(store.root()).append("/config").c_str(), 1);
    setenv("XDG_DATA_HOME", std::string(store.root()).append("/data").c_str(), 1);
    setenv("KORVAN_BRIDGE_ALLOW", kOrigin, 1);
    setenv("QT_QPA_PLATFORM", "offscreen", 1);

    const std::string log = store.root() + "/bridge.log";
    BridgeProcess bridge(BRIDGE_PROGRAM, log);
    if (bridge.port() == 0) {
        fprintf(stderr, "bridge_sign_bench: korvan-bridge did not start (%s)\n", log.c_str());
        return 1;
    }
    httplib::Client client("127.0.0.1", bridge.port());
    client.set_keep_alive(true);
    // Headers and body leave in separate writes; without this the body would wait for the
    // server's delayed acknowledgement.
    client.set_tcp_nodelay(true);
    client.set_read_timeout(60, 0);
    const auto created = post(client, {{"v", 1}, {"op", "create"}, {"progId", "QXMeridiaControl.SGN"}});
    if (!created || !(*created)["object"].is_string()) {
        fprintf(stderr, "bridge_sign_bench: the bridge did not create the control\n");
        return 1;
    }
    const std::string object = (*created)["object"];
    auto remote = [&](const char* member, nlohmann::json args = nlohmann::json::array()) {
        return status(post(client, {{"v", 1}, {"op", "call"}, {"object", object}, {"member", member},
                                    {"args", std::move(args)}}));
    };

    control_host::ComApartment apartment;
    Control control = sign_bench::onlineControl();
    if (!control || remote("IsOnline") != 0 || remote("SetCertResult") != 0) {
        fprintf(stderr, "bridge_sign_bench: the control did not go online\n");
        return 1;
    }
    const DISPID signResult = control.idOf("SignResult");
    const std::string text = "benchmark text to sign";
    const std::vector<control_host::Arg> arguments = {text.c_str()};
    const nlohmann::json wireArguments = nlohmann::json::array({nlohmann::json::array({"s", text})});

    // The bridge's own share: a member that does almost nothing, through the bridge and in process.
    const DISPID getHash = control.idOf("GetHash");
    const auto light = sign_bench::timeAlternating(
        program, {rounds.rounds, rounds.perRound * 10},
        [&] { return post(client, {{"v", 1}, {"op", "call"}, {"object", object}, {"member", "GetHash"},
                                   {"args", nlohmann::json::array()}})
                         .has_value(); },
        [&] { return SUCCEEDED(control.invoke(getHash).hr); });
    if (!light)
        return 1;
    const double calls = rounds.signatures() * 10.0;
    printf("GetHash through the bridge: %.1f us a call; in process: %.1f us\n",
           std::chrono::duration<double, std::micro>(light->first).count() / calls,
           std::chrono::duration<double, std::micro>(light->second).count() / calls);
    // The HTTP round trip alone: a call on an object of a worker that never was, which the bridge
    // refuses as released without reaching a worker. What is left of GetHash is the worker hop.
    const nlohmann::json orphan = {{"v", 1}, {"op", "call"}, {"object", "999999.1"}, {"member", "GetHash"},
                                   {"args", nlohmann::json::array()}};
    const auto floor = sign_bench::timeAlternating(
        program, {rounds.rounds, rounds.perRound * 10},
        [&] { return released(client, orphan); },
        [&] { return SUCCEEDED(control.invoke(getHash).hr); });
    if (!floor)
        return 1;
    printf("A call the bridge refuses without a worker: %.1f us\n",
           std::chrono::duration<double, std::micro>(floor->first).count() / calls);
    const auto timing = sign_bench::timeAlternating(
        program, rounds, [&] { return remote("SignResult", wireArguments) == 0; },
        [&] { return control.invoke(signResult, arguments).status() == 0; });
    if (!timing)
        return 1;
    sign_bench::report(*timing, rounds, "SignResult through the bridge:           ",
                       "SignResult through IDispatch in process: ", "ratio (bridge / in process): ",
                       " (target <= 1.2)");
    return 0;
}
