// The browser policy files: what each browser is given for the pre-approved origins, and that
// an existing file, the administrator's, is never replaced.
#include "bridge/app/BrowserPolicies.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <sys/stat.h>

#include <filesystem>
#include <fstream>
#include <sstream>

namespace {

using namespace bridge::app;

std::string readAll(const std::string& path) {
    std::ifstream file(path);
    std::stringstream text;
    text << file.rdbuf();
    return text.str();
}

class BrowserPoliciesTest : public ::testing::Test {
protected:
    void SetUp() override {
        dir = (std::filesystem::temp_directory_path() / "korvan-policies-XXXXXX").string();
        ASSERT_NE(::mkdtemp(dir.data()), nullptr);
    }
    void TearDown() override { std::filesystem::remove_all(dir); }
    std::string dir;
    const std::vector<std::string> origins{"https://bank.test", "http://bank.test:8080", "https://[::1]:9000",
                                           "https://gov.test:8443"};
};

TEST_F(BrowserPoliciesTest, WritesBothFilesReadableByAll) {
    std::vector<std::string> written;
    std::string error;
    ASSERT_TRUE(writeBrowserPolicies(dir + "/out", origins, written, error)) << error;
    const std::string chromium = dir + "/out/chromium/korvanng-loopback.json";
    const std::string firefox = dir + "/out/firefox/policies.json";
    EXPECT_EQ(written, (std::vector<std::string>{chromium, firefox}));

    const auto chromiumJson = nlohmann::json::parse(readAll(chromium));
    EXPECT_EQ(chromiumJson, nlohmann::json({{"LoopbackNetworkAllowedForUrls", origins}}));
    const auto firefoxJson = nlohmann::json::parse(readAll(firefox));
    EXPECT_EQ(firefoxJson["policies"]["LocalNetworkAccess"]["SkipDomains"],
              nlohmann::json({"bank.test", "[::1]", "gov.test"}))
        << "hosts once each, without scheme or port";
    for (const std::string& path : written) {
        struct stat status{};
        ASSERT_EQ(::stat(path.c_str(), &status), 0);
        EXPECT_EQ(status.st_mode & 0777, 0644u) << path;
    }
}

TEST_F(BrowserPoliciesTest, RefusesToReplaceAnyFileAndWritesNothing) {
    std::filesystem::create_directories(dir + "/firefox");
    std::ofstream(dir + "/firefox/policies.json") << "{\"policies\": {\"DisableTelemetry\": true}}";
    std::vector<std::string> written;
    std::string error;
    EXPECT_FALSE(writeBrowserPolicies(dir, origins, written, error));
    EXPECT_NE(error.find(dir + "/firefox/policies.json exists already"), std::string::npos) << error;
    EXPECT_EQ(readAll(dir + "/firefox/policies.json"), "{\"policies\": {\"DisableTelemetry\": true}}");
    EXPECT_FALSE(std::filesystem::exists(dir + "/chromium")) << "nothing written beside the refusal";

    // A dangling link in the file's place counts as a file: it is not written through.
    std::filesystem::create_directories(dir + "/second/chromium");
    std::filesystem::create_symlink(dir + "/elsewhere.json", dir + "/second/chromium/korvanng-loopback.json");
    EXPECT_FALSE(writeBrowserPolicies(dir + "/second", origins, written, error));
    EXPECT_FALSE(std::filesystem::exists(dir + "/elsewhere.json"));

    EXPECT_FALSE(writeBrowserPolicies(dir + "/third", {}, written, error));
    EXPECT_NE(error.find("no origin is pre-approved"), std::string::npos);
    EXPECT_TRUE(written.empty());
}

} // namespace
