// korvanng-tool over SoftHSM2, a module without the vendor table, named with
// --module: the slot list, login, PKCS#12 import, listing, export, inspect,
// delete and the initialization through the standard calls.

#include "CertFixtures.h"
#include "ProcessRun.h"
#include "SoftHsmStore.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <map>
#include <sstream>
#include <string>
#include <vector>

namespace {

namespace fs = std::filesystem;
using Result = ProcessResult;

std::vector<std::string> split(const std::string& text, char separator) {
    std::vector<std::string> parts;
    std::stringstream stream(text);
    std::string part;
    while (std::getline(stream, part, separator))
        parts.push_back(part);
    return parts;
}

class SoftHsmToolTest : public ::testing::Test {
protected:
    void SetUp() override {
        fs::create_directories(dir_ / "registry");
        environment_["SOFTHSM2_CONF"] = store_.config();
        environment_["KORVAN_REGISTRY_DIR"] = (dir_ / "registry").string();
        environment_["LC_ALL"] = "C.UTF-8";
        environment_["KORVAN_TOKEN_LIBRARY"] = "";
    }
    std::string file(const std::string& name) const { return (dir_ / name).string(); }

    Result tool(std::vector<std::string> arguments, const std::string& input = "") {
        arguments.insert(arguments.begin(), {"--module", SOFTHSM2_MODULE});
        return RunProcess(dir_, KORVANNG_TOOL, arguments, environment_, input);
    }

    std::vector<std::string> slotIds() {
        Result listed = tool({"slots", "--tab"});
        EXPECT_EQ(listed.exitCode, 0) << listed.err;
        std::vector<std::string> ids;
        std::vector<std::string> lines = split(listed.out, '\n');
        for (size_t i = 1; i < lines.size(); ++i)
            ids.push_back(split(lines[i], '\t').at(0));
        return ids;
    }

    // The slot whose token shows `label`; empty when none does.
    std::string slotWithLabel(const std::string& label) {
        for (const std::string& id : slotIds()) {
            Result info = tool({"token-info", "--slot", id});
            if (info.exitCode == 0 && info.out.find(label) != std::string::npos)
                return id;
        }
        return {};
    }

    // Initializes the store's empty token: SO PIN 11223344, user PIN 1234.
    std::string initializedSlot() {
        std::vector<std::string> ids = slotIds();
        EXPECT_EQ(ids.size(), 1u);
        Result init = tool({"init-token", "--slot", ids.at(0), "--label", "Any module",
                            "--pin-stdin"},
                           "11223344\n1234\n");
        EXPECT_EQ(init.exitCode, 0) << init.err;
        std::string slot = slotWithLabel("Any module");
        EXPECT_FALSE(slot.empty());
        return slot;
    }

    SoftHsmStore store_{"korvan-anymodule"};
    const fs::path& dir_ = store_.dir;
    std::map<std::string, std::string> environment_;
};

TEST_F(SoftHsmToolTest, InitializesTheEmptyTokenAndLogsIn) {
    std::string slot = initializedSlot();
    ASSERT_FALSE(slot.empty());
    EXPECT_EQ(tool({"login", "--slot", slot, "--pin-stdin"}, "1234\n").exitCode, 0);
    EXPECT_EQ(tool({"login", "--slot", slot, "--pin-stdin"}, "9999\n").exitCode, 5);
    // The module has made a new empty token beside it.
    EXPECT_EQ(slotIds().size(), 2u);
}

TEST_F(SoftHsmToolTest, ImportListExportInspectAndDelete) {
    std::string slot = initializedSlot();
    ASSERT_FALSE(slot.empty());
    certs::EvpPkeyPtr key = fixtures::rsaKey(2048);
    certs::X509Ptr certificate = fixtures::selfSigned("Alice", key.get());
    fixtures::writeFile(file("alice.p12"), fixtures::makePkcs12(key.get(), certificate.get()));

    Result imported = tool({"import", "--slot", slot, file("alice.p12"), "--pin-stdin",
                            "--password-stdin"},
                           "1234\nsecret\n");
    ASSERT_EQ(imported.exitCode, 0) << imported.err;

    Result listed = tool({"list-objects", "--slot", slot, "--login", "--pin-stdin"}, "1234\n");
    ASSERT_EQ(listed.exitCode, 0) << listed.err;
    std::string certificateHandle;
    std::string containerId;
    size_t objects = 0;
    for (const std::string& line : split(listed.out, '\n')) {
        std::vector<std::string> cells = split(line, '\t');
        if (!line.empty() && line[0] != '\t' && cells.size() > 1)
            containerId = cells[1];
        if (!line.empty() && line[0] == '\t' && cells.size() >= 3) {
            ++objects;
            if (line.find("ertificate") != std::string::npos)
                certificateHandle = cells[2];
        }
    }
    EXPECT_GE(objects, 2u) << listed.out;
    ASSERT_FALSE(certificateHandle.empty()) << listed.out;

    Result exported = tool({"export", "--slot", slot, "--object", certificateHandle, "--out",
                            file("out.cer")});
    ASSERT_EQ(exported.exitCode, 0) << exported.err;
    EXPECT_EQ(fixtures::readFile(file("out.cer")), EncodeCertificateDer(certificate.get()));

    Result inspected = tool({"inspect", "--slot", slot, "--object", certificateHandle, "--login",
                             "--pin-stdin"},
                            "1234\n");
    EXPECT_EQ(inspected.exitCode, 0) << inspected.err;
    EXPECT_NE(inspected.out.find("Alice"), std::string::npos) << inspected.out;

    // Without the vendor table the container name is kept in CKA_ID, so the
    // container is named as with the table and can be deleted by that name.
    EXPECT_EQ(containerId.size(), 36u) << listed.out;
    Result deleted = tool({"delete", "--slot", slot, "--object", certificateHandle,
                           "--pin-stdin", "--yes"},
                          "1234\n");
    EXPECT_EQ(deleted.exitCode, 0) << deleted.err;
    Result after = tool({"list-objects", "--slot", slot, "--login", "--pin-stdin"}, "1234\n");
    EXPECT_EQ(after.exitCode, 0) << after.err;
    EXPECT_EQ(after.out.find("ertificate"), std::string::npos) << after.out;
    ASSERT_NE(after.out.find(containerId), std::string::npos) << after.out;
    Result keys = tool({"delete", "--slot", slot, "--container", containerId, "--pin-stdin",
                        "--yes"},
                       "1234\n");
    EXPECT_EQ(keys.exitCode, 0) << keys.err;
    Result empty = tool({"list-objects", "--slot", slot, "--login", "--pin-stdin"}, "1234\n");
    EXPECT_EQ(empty.exitCode, 0) << empty.err;
    EXPECT_EQ(empty.out, "") << empty.out;
}

TEST_F(SoftHsmToolTest, ReinitializationNeedsTheCurrentSoPinAndCanChangeIt) {
    std::string slot = initializedSlot();
    ASSERT_FALSE(slot.empty());

    // A wrong SO PIN changes nothing.
    Result refused = tool({"init-token", "--slot", slot, "--label", "Other", "--pin-stdin", "--yes"},
                          "00000000\n5678\n");
    EXPECT_EQ(refused.exitCode, 5) << refused.err;
    EXPECT_EQ(tool({"login", "--slot", slot, "--pin-stdin"}, "1234\n").exitCode, 0);

    Result again = tool({"init-token", "--slot", slot, "--label", "Second", "--pin-stdin", "--yes"},
                        "11223344\n5678\n55667788\n");
    ASSERT_EQ(again.exitCode, 0) << again.err;
    std::string moved = slotWithLabel("Second");
    ASSERT_FALSE(moved.empty());
    EXPECT_EQ(tool({"login", "--slot", moved, "--pin-stdin"}, "5678\n").exitCode, 0);
    EXPECT_EQ(tool({"login", "--slot", moved, "--pin-stdin"}, "1234\n").exitCode, 5);
    // The new SO PIN took: the old one no longer initializes.
    EXPECT_EQ(tool({"init-token", "--slot", moved, "--label", "Third", "--pin-stdin", "--yes"},
                   "11223344\n5678\n")
                  .exitCode,
              5);
    EXPECT_EQ(tool({"init-token", "--slot", moved, "--label", "Third", "--pin-stdin", "--yes"},
                   "55667788\n5678\n")
                  .exitCode,
              0);
}

TEST_F(SoftHsmToolTest, VendorOnlySettingsAndRenameAreRefused) {
    std::string slot = initializedSlot();
    ASSERT_FALSE(slot.empty());
    Result retries = tool({"init-token", "--slot", slot, "--so-retries", "3", "--pin-stdin"},
                          "11223344\n1234\n");
    EXPECT_EQ(retries.exitCode, 6);
    EXPECT_NE(retries.err.find("cannot set retry limits"), std::string::npos) << retries.err;
    EXPECT_NE(tool({"rename", "--slot", slot, "--label", "New"}).exitCode, 0);
    EXPECT_FALSE(slotWithLabel("Any module").empty());

    Result missing = RunProcess(dir_, KORVANNG_TOOL, {"--module", file("nothing.so"), "slots"},
                         environment_, "");
    EXPECT_EQ(missing.exitCode, 2);
}

} // namespace
