// The bridge's answers to a fixed set of raw requests, compared with the recorded ones
// (recorded/exchanges.json): status, the headers pages rely on, the JSON body, and whether the
// bridge ended the connection after answering. With KORVAN_RECORD_EXCHANGES=1 the run writes
// what the bridge answers now into the file instead.
#include "tests/bridge/server/BridgeFixture.h"

#include <fstream>
#include <sstream>

using namespace bridge_test;

namespace {

// The headers the README documents; Date, Keep-Alive and the like may differ between servers.
const char* const kComparedHeaders[] = {
    "Content-Type", "Content-Encoding", "Cache-Control", "Vary", "Access-Control-Allow-Origin",
    "Access-Control-Allow-Methods", "Access-Control-Allow-Headers", "Access-Control-Max-Age",
    "Access-Control-Allow-Private-Network", "Access-Control-Allow-Local-Network", "Transfer-Encoding"};

std::string asciiLower(std::string text) {
    for (char& c : text)
        if (c >= 'A' && c <= 'Z')
            c = static_cast<char>(c - 'A' + 'a');
    return text;
}

std::string replaceAll(std::string text, const std::string& from, const std::string& to) {
    for (std::size_t at = text.find(from); at != std::string::npos; at = text.find(from, at + to.size()))
        text.replace(at, from.size(), to);
    return text;
}

// Sends `request` in one write and reads one answer; then whether the bridge closed the
// connection or sent anything more within a short wait.
json exchangeOnce(int port, const std::string& request) {
    const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<uint16_t>(port));
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
        ::close(fd);
        return {{"error", "connect failed"}};
    }
    timeval timeout{5, 0};
    ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout);
    ::send(fd, request.data(), request.size(), MSG_NOSIGNAL);
    std::string text;
    char buffer[65536];
    std::size_t headEnd = std::string::npos;
    std::size_t wanted = std::string::npos;
    while (wanted == std::string::npos || text.size() < wanted) {
        const ssize_t n = ::recv(fd, buffer, sizeof buffer, 0);
        if (n <= 0)
            break;
        text.append(buffer, static_cast<std::size_t>(n));
        if (headEnd == std::string::npos && (headEnd = text.find("\r\n\r\n")) != std::string::npos) {
            const std::string head = asciiLower(text.substr(0, headEnd));
            const std::size_t length = head.find("\r\ncontent-length:");
            const bool noBody = request.rfind("HEAD ", 0) == 0 || length == std::string::npos;
            wanted = headEnd + 4 + (noBody ? 0 : std::stoul(head.substr(length + 17)));
        }
    }
    json answer = json::object();
    if (headEnd == std::string::npos) {
        answer["status"] = 0;
        answer["closed"] = true;
        ::close(fd);
        return answer;
    }
    const std::string head = text.substr(0, headEnd);
    answer["status"] = std::stoi(head.substr(head.find(' ') + 1, 3));
    json headers = json::object();
    std::istringstream lines(head);
    std::string line;
    std::getline(lines, line);
    while (std::getline(lines, line)) {
        if (!line.empty() && line.back() == '\r')
            line.pop_back();
        const std::size_t colon = line.find(':');
        if (colon == std::string::npos)
            continue;
        const std::string name = asciiLower(line.substr(0, colon));
        for (const char* compared : kComparedHeaders)
            if (name == asciiLower(compared))
                headers[compared] = line.substr(line.find_first_not_of(' ', colon + 1));
    }
    answer["headers"] = headers;
    const std::string body = text.substr(headEnd + 4, wanted - headEnd - 4);
    if (body == pageScript())
        answer["body"] = "(the page script)";
    else
        answer["body"] = json::parse(body, nullptr, false).is_discarded() ? json(body) : json::parse(body);

    // Anything after the one answer, or the connection left open.
    std::string more = text.substr(wanted);
    timeval shortWait{0, 300000};
    ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &shortWait, sizeof shortWait);
    const ssize_t n = ::recv(fd, buffer, sizeof buffer, 0);
    if (n > 0)
        more.append(buffer, static_cast<std::size_t>(n));
    answer["closed"] = n == 0 || (n < 0 && errno == ECONNRESET);
    if (!more.empty())
        answer["more"] = more;
    ::close(fd);
    return answer;
}

} // namespace

TEST_F(BridgeTest, AnswersMatchTheRecordedExchanges) {
    ASSERT_TRUE(decisions.remember(kOther, Decision::denied, true));
    user.ask = false;
    start();
    const std::string path = std::string(KORVAN_RECORDED_DIR) + "/exchanges.json";
    std::ifstream in(path);
    ASSERT_TRUE(in) << path;
    json recorded = json::parse(in);
    const bool recording = std::getenv("KORVAN_RECORD_EXCHANGES") != nullptr;
    for (json& entry : recorded) {
        std::string request = entry["request"].get<std::string>();
        request = replaceAll(replaceAll(request, "{host}", host()), "{port}", std::to_string(port));
        const json answer = exchangeOnce(port, request);
        if (recording)
            entry["answer"] = answer;
        else
            EXPECT_EQ(answer.dump(1), entry["answer"].dump(1)) << entry["name"].get<std::string>();
    }
    if (recording)
        std::ofstream(path) << recorded.dump(1) << '\n';
}
