// A stand-in for the worker program: speaks the frame protocol and does what the member's name
// says, so the bridge's tests can make a worker answer, sleep, wait for the user or crash.
//   Echo(text)  Sleep(ms)  WaitSleep(ms): sleeps inside a wait for the user  Crash()
//   Note(text): appends to this worker's history and returns it, comma-separated
//   Pid()  Env(name)  DecryByPrikey(...): counted, "PLAIN"  Count(): the DecryByPrikey calls
//   Inherited(): descriptors above stderr, and "default" or "changed" for SIGPIPE's action
//   Garbage(): a frame that is not JSON  BadShape(): {"ok":"yes"}  BadStatus(): an error with 200
// Members named in the bridge's "gate" request are asked about first, by their canonical
// spelling, as the real worker does; "FALSE" when refused. GateTwice(): asks twice,
// GateOther(): asks about a member the bridge never gated.
// Token logins: Sign() "asks for the PIN" (counted by Pins()) unless logged in, and announces the
// login; "logout" ends it. Every logout is appended to $KORVAN_FAKE_LOGOUTS when it is set.
#include "bridge/ipc/Frames.h"
#include "bridge/ipc/Values.h"

#include "platform/AsciiCase.h"

#include <dirent.h>
#include <signal.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

using nlohmann::json;

namespace {

void reply(const json& message) {
    bridge::ipc::writeFrame(STDOUT_FILENO, message.dump());
}

// The bridge's answer to a gate question; false for anything but {"gate":true}.
bool askGate(const std::string& member) {
    reply({{"event", "gate"}, {"member", member}});
    std::string frame;
    if (bridge::ipc::readFrame(STDIN_FILENO, frame, -1) != bridge::ipc::FrameRead::ok)
        return false;
    const json answer = json::parse(frame, nullptr, false);
    return answer.is_object() && answer.value("gate", false);
}

std::string textArg(const json& args) {
    return args.size() > 0 && args[0].size() > 1 && args[0][1].is_string() ? args[0][1].get<std::string>() : "";
}

long numberArg(const json& args) {
    return args.size() > 0 && args[0].size() > 1 && args[0][1].is_number() ? args[0][1].get<long>() : 0;
}

} // namespace

int main() {
    int objects = 0;
    int decrypts = 0;
    int pins = 0;
    bool loggedIn = false;
    std::vector<std::string> gated;
    std::string history;
    std::string frame;
    while (bridge::ipc::readFrame(STDIN_FILENO, frame, -1) == bridge::ipc::FrameRead::ok) {
        const json request = json::parse(frame);
        if (request["op"] == "gate") {
            gated = request["members"].get<std::vector<std::string>>();
            reply({{"ok", true}});
            continue;
        }
        if (request["op"] == "logout") {
            loggedIn = false;
            if (const char* path = std::getenv("KORVAN_FAKE_LOGOUTS"))
                std::ofstream(path, std::ios::app) << getpid() << "\n";
            reply({{"ok", true}});
            continue;
        }
        if (request["op"] == "create") {
            if (request["progId"] != "Fake.Control") {
                reply({{"ok", false}, {"status", 404},
                       {"error", "ProgID not registered: " + request["progId"].get<std::string>()}});
                continue;
            }
            reply({{"ok", true}, {"object", ++objects},
                   {"members", json::array({{{"name", "Echo"}, {"params", {"BSTR"}}}})}});
            continue;
        }
        const std::string member = platform::asciiLowered(request["member"].get<std::string>());
        const json& args = request["args"];
        bool refused = false;
        for (const std::string& name : gated)
            if (platform::sameAsciiNoCase(name, member))
                refused = !askGate(name);
        if (refused) {
            reply({{"ok", true}, {"value", bridge::ipc::textValue("FALSE")}});
            continue;
        }
        if (member == "echo") {
            reply({{"ok", true}, {"value", bridge::ipc::textValue(textArg(args))}});
        } else if (member == "sleep") {
            std::this_thread::sleep_for(std::chrono::milliseconds(numberArg(args)));
            reply({{"ok", true}, {"value", bridge::ipc::numberValue(numberArg(args))}});
        } else if (member == "waitsleep") {
            reply({{"event", "wait"}, {"begins", true}});
            std::this_thread::sleep_for(std::chrono::milliseconds(numberArg(args)));
            reply({{"event", "wait"}, {"begins", false}});
            reply({{"ok", true}, {"value", bridge::ipc::textValue("done")}});
        } else if (member == "crash") {
            _exit(70);
        } else if (member == "note") {
            history += (history.empty() ? "" : ",") + textArg(args);
            reply({{"ok", true}, {"value", bridge::ipc::textValue(history)}});
        } else if (member == "pid") {
            reply({{"ok", true}, {"value", bridge::ipc::numberValue(getpid())}});
        } else if (member == "env") {
            const char* value = std::getenv(textArg(args).c_str());
            if (value)
                reply({{"ok", true}, {"value", bridge::ipc::textValue(value)}});
            else
                reply({{"ok", true}});
        } else if (member == "decrybyprikey") {
            ++decrypts;
            reply({{"ok", true}, {"value", bridge::ipc::textValue("PLAIN")}});
        } else if (member == "inherited") {
            int descriptors = 0;
            if (DIR* folder = opendir("/proc/self/fd")) {
                while (dirent* entry = readdir(folder)) {
                    const int fd = std::atoi(entry->d_name);
                    if (fd > 2 && fd != dirfd(folder))
                        ++descriptors;
                }
                closedir(folder);
            }
            struct sigaction action {};
            sigaction(SIGPIPE, nullptr, &action);
            const std::string pipe = action.sa_handler == SIG_DFL ? "default" : "changed";
            reply({{"ok", true}, {"value", bridge::ipc::textValue(std::to_string(descriptors) + " " + pipe)}});
        } else if (member == "garbage") {
            bridge::ipc::writeFrame(STDOUT_FILENO, "not json");
        } else if (member == "badshape") {
            reply({{"ok", "yes"}});
        } else if (member == "badstatus") {
            reply({{"ok", false}, {"status", 200}, {"error", "fine"}});
        } else if (member == "sign") {
            if (!loggedIn) {
                ++pins;
                loggedIn = true;
                reply({{"event", "login"}, {"ageMs", 0}});
            }
            reply({{"ok", true}, {"value", bridge::ipc::numberValue(pins)}});
        } else if (member == "pins") {
            reply({{"ok", true}, {"value", bridge::ipc::numberValue(pins)}});
        } else if (member == "gatetwice") {
            askGate(gated.empty() ? "" : gated.front());
            askGate(gated.empty() ? "" : gated.front());
            reply({{"ok", true}});
        } else if (member == "gateother") {
            askGate("Echo");
            reply({{"ok", true}});
        } else if (member == "count") {
            reply({{"ok", true}, {"value", bridge::ipc::numberValue(decrypts)}});
        } else {
            reply({{"ok", false}, {"status", 404},
                   {"error", "no such member: " + request["member"].get<std::string>()}});
        }
    }
    return 0;
}
