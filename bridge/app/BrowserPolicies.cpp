#include "bridge/app/BrowserPolicies.h"

#include "platform/UniqueFd.h"

#include <nlohmann/json.hpp>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <filesystem>

namespace bridge::app {

namespace {

// "scheme://host[:port]" -> host, a bracketed IPv6 address kept with its brackets.
std::string hostOf(const std::string& origin) {
    const std::size_t start = origin.find("://");
    if (start == std::string::npos)
        return {};
    const std::string rest = origin.substr(start + 3);
    if (!rest.empty() && rest.front() == '[')
        return rest.substr(0, rest.find(']') + 1);
    return rest.substr(0, rest.find(':'));
}

bool writeNew(const std::string& path, const std::string& text, std::string& error) {
    // O_EXCL: an administrator's file, or a link planted in its place, is never written through.
    const platform::UniqueFd fd(::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW, 0644));
    if (fd.get() < 0) {
        error = "cannot create " + path + ": " + std::strerror(errno);
        return false;
    }
    ::fchmod(fd.get(), 0644); // whatever the umask: the browsers run as every user
    std::size_t done = 0;
    while (done < text.size()) {
        const ssize_t wrote = ::write(fd.get(), text.data() + done, text.size() - done);
        if (wrote < 0 && errno == EINTR)
            continue;
        if (wrote <= 0) {
            error = "cannot write " + path + ": " + std::strerror(errno);
            ::unlink(path.c_str());
            return false;
        }
        done += static_cast<std::size_t>(wrote);
    }
    return true;
}

} // namespace

std::string chromiumPolicy(const std::vector<std::string>& origins) {
    const nlohmann::json policy = {{"LoopbackNetworkAllowedForUrls", origins}};
    return policy.dump(2).append("\n");
}

std::string firefoxPolicy(const std::vector<std::string>& origins) {
    std::vector<std::string> hosts;
    for (const std::string& origin : origins) {
        std::string host = hostOf(origin);
        if (!host.empty() && std::find(hosts.begin(), hosts.end(), host) == hosts.end())
            hosts.push_back(std::move(host));
    }
    const nlohmann::json policy = {{"policies", {{"LocalNetworkAccess", {{"SkipDomains", hosts}}}}}};
    return policy.dump(2).append("\n");
}

bool writeBrowserPolicies(const std::string& dir, const std::vector<std::string>& origins,
                          std::vector<std::string>& written, std::string& error) {
    if (origins.empty()) {
        error = "no origin is pre-approved (KORVAN_BRIDGE_ALLOW, --allow, or allow lines of bridge.conf)";
        return false;
    }
    const std::string chromium = dir + "/" + kChromiumPolicyFile;
    const std::string firefox = dir + "/" + kFirefoxPolicyFile;
    for (const std::string& path : {chromium, firefox}) {
        std::error_code ignored;
        if (std::filesystem::symlink_status(path, ignored).type() != std::filesystem::file_type::not_found) {
            error = path + " exists already; nothing was written (merge the policies by hand, or write them to "
                           "an empty folder and compare)";
            return false;
        }
    }
    for (const std::string& path : {chromium, firefox}) {
        std::error_code failed;
        std::filesystem::create_directories(std::filesystem::path(path).parent_path(), failed);
        if (failed) {
            error = "cannot make the folder of " + path + ": " + failed.message();
            return false;
        }
    }
    if (!writeNew(chromium, chromiumPolicy(origins), error))
        return false;
    if (!writeNew(firefox, firefoxPolicy(origins), error)) {
        ::unlink(chromium.c_str());
        return false;
    }
    written = {chromium, firefox};
    return true;
}

} // namespace bridge::app
