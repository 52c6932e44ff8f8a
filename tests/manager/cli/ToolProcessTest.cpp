// korvanng-tool as its users run it: a separate process, its exit code and
// both output streams.

#include "ProcessRun.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include <unistd.h>

namespace fs = std::filesystem;

namespace {

using Result = ProcessResult;

std::vector<std::string> lines(const std::string& text) {
    std::vector<std::string> out;
    std::stringstream stream(text);
    for (std::string line; std::getline(stream, line);)
        out.push_back(line);
    return out;
}

// Each test gets a folder with its own copy of the tool (so the library
// beside it is the test's choice), a registry folder and a token store.
class ToolProcessTest : public ::testing::Test {
protected:
    void SetUp() override {
        dir_ = fs::temp_directory_path() /
               ("korvan-tool-" + std::to_string(::getpid()) + "-" +
                ::testing::UnitTest::GetInstance()->current_test_info()->name());
        fs::remove_all(dir_);
        fs::create_directories(bin());
        fs::create_directories(dir_ / "registry");
        fs::copy_file(KORVANNG_TOOL, tool());
        environment_["KORVAN_REGISTRY_DIR"] = (dir_ / "registry").string();
        environment_["LC_ALL"] = "C.UTF-8";
    }
    void TearDown() override { fs::remove_all(dir_); }

    fs::path bin() const { return dir_ / "bin"; }
    fs::path tool() const { return bin() / "korvanng-tool"; }
    void installLibrary(const char* module) {
        fs::create_symlink(module, bin() / "libmeridiaCsp11_2001.so");
    }
    void writeLanguageFile(std::uint32_t id, const std::string& strings) {
        fs::create_directories(bin() / "lang");
        std::ofstream(bin() / "lang" / ("vtmgr_meridia_" + std::to_string(id) + ".lng"))
            << "[settings]\nCodePage=" << id << "\nLanguage=Test\n[strings]\n"
            << strings;
    }
    void writeRegistryLanguage(const std::string& value) {
        std::ofstream(dir_ / "registry" / "HKEY_LOCAL_MACHINE.json")
            << "{\"Software\": {}, \"Software\\\\Vaultora\": {},"
               " \"Software\\\\Vaultora\\\\meridia_Korvan2001\": {\"LanguageId\": \""
            << value << "\"}}";
    }

    Result run(const std::string& program, const std::vector<std::string>& arguments) {
        return RunProcess(dir_, program, arguments, environment_);
    }
    Result runTool(const std::vector<std::string>& arguments) {
        return run(tool().string(), arguments);
    }

    fs::path dir_;
    std::map<std::string, std::string> environment_;
};

TEST_F(ToolProcessTest, HelpListsCommandsAndExitCodes) {
    Result help = runTool({"--help"});
    EXPECT_EQ(help.exitCode, 0);
    EXPECT_NE(help.out.find("slots [--tab]"), std::string::npos);
    EXPECT_NE(help.out.find("token-info --slot N"), std::string::npos);
    EXPECT_NE(help.out.find("4  no such slot"), std::string::npos);
    EXPECT_NE(help.out.find("Object handles (HANDLE)"), std::string::npos);
    EXPECT_EQ(help.err, "");
}

// No library sits beside this copy, so exit 1 also shows that usage is
// checked before anything is loaded.
TEST_F(ToolProcessTest, BadUsageExitsWithOne) {
    const std::vector<std::vector<std::string>> cases = {
        {},
        {"bogus"},
        {"--bogus", "slots"},
        {"slots", "--bogus"},
        {"token-info"},
        {"token-info", "--slot"},
        {"token-info", "--slot", "x1"},
        {"token-info", "--slot=-1"},
        {"token-info", "--slot", "99999999999999999999999"},
        {"--lang", "abc", "slots"},
        {"--lang", "0", "slots"},
        {"slots", "--lang"},
    };
    for (const auto& arguments : cases) {
        std::string shown;
        for (const std::string& word : arguments)
            shown += word + " ";
        Result result = runTool(arguments);
        EXPECT_EQ(result.exitCode, 1) << shown;
        EXPECT_NE(result.err, "") << shown;
        EXPECT_EQ(result.err.find("Initialize"), std::string::npos) << shown;
    }
}

TEST_F(ToolProcessTest, MissingLibraryExitsWithTwo) {
    for (const auto& arguments :
         std::vector<std::vector<std::string>>{{"slots"}, {"token-info", "--slot", "0"}}) {
        Result result = runTool(arguments);
        EXPECT_EQ(result.exitCode, 2);
        EXPECT_EQ(result.err, "Initialize PKCS#11 library failed!\n");
        EXPECT_EQ(result.out, "");
    }
}

TEST_F(ToolProcessTest, FailingSlotListExitsWithThree) {
    installLibrary(SLOT_LIST_FAILS_MODULE);
    Result result = runTool({"slots"});
    EXPECT_EQ(result.exitCode, 3);
    EXPECT_EQ(result.err, "Initialize Korvan manager failed!\n");
    EXPECT_EQ(result.out, "");
}

TEST_F(ToolProcessTest, LanguageComesFromTheOptionThenTheRegistry) {
    writeLanguageFile(2052, "50000=Keine Bibliothek\n");
    writeLanguageFile(1031, "50000=Bibliothek fehlt\n");

    writeRegistryLanguage("2052");
    EXPECT_EQ(runTool({"slots"}).err, "Keine Bibliothek\n");
    EXPECT_EQ(runTool({"--lang", "1031", "slots"}).err, "Bibliothek fehlt\n");
    EXPECT_EQ(runTool({"slots", "--lang=1033"}).err, "Initialize PKCS#11 library failed!\n");

    // A registry value that is not a number counts as absent: the locale
    // (C, so English) decides.
    writeRegistryLanguage("abc");
    EXPECT_EQ(runTool({"slots"}).err, "Initialize PKCS#11 library failed!\n");
}

#if defined(TOKENCTL) && defined(MERIDIA_MODULE)

class ToolTokenTest : public ToolProcessTest {
protected:
    void SetUp() override {
        ToolProcessTest::SetUp();
        installLibrary(MERIDIA_MODULE);
        fs::path conf = dir_ / "meridia.conf";
        std::ofstream(conf) << "store_dir = " << (dir_ / "store").string()
                            << "\nslots = 2\npin_iterations = 1\n";
        environment_["MERIDIA_TOKEN_CONF"] = conf.string();
        Result created = run(TOKENCTL, {"create", "cli", "--label", "CLI token", "--so-pin",
                                        "12345678", "--user-pin", "1234"});
        ASSERT_EQ(created.exitCode, 0) << created.err;
        // tokenctl numbers readers from 0 or, as PKCS#11 shows them, from 1;
        // the first reader is wanted either way.
        Result inserted = run(TOKENCTL, {"insert", "cli", "--slot", "1"});
        if (inserted.exitCode != 0)
            inserted = run(TOKENCTL, {"insert", "cli", "--slot", "0"});
        ASSERT_EQ(inserted.exitCode, 0) << inserted.out << inserted.err;

        // Which slot identifiers the module gives its two readers.
        Result listed = runTool({"slots", "--tab"});
        ASSERT_EQ(listed.exitCode, 0) << listed.err;
        std::vector<std::string> rows = lines(listed.out);
        ASSERT_EQ(rows.size(), 3u) << listed.out;
        tokenSlot_ = rows[1].substr(0, rows[1].find('\t'));
        emptySlot_ = rows[2].substr(0, rows[2].find('\t'));
    }

    std::string tokenSlot_;
    std::string emptySlot_;
};

TEST_F(ToolTokenTest, SlotsListsEveryReader) {
    Result result = runTool({"slots", "--tab"});
    ASSERT_EQ(result.exitCode, 0) << result.err;
    std::vector<std::string> rows = lines(result.out);
    ASSERT_EQ(rows.size(), 3u) << result.out;
    EXPECT_EQ(rows[0], "Slot ID\tDescription\tCard Status\tManufacturer");
    EXPECT_EQ(std::stoul(emptySlot_), std::stoul(tokenSlot_) + 1);
    EXPECT_NE(rows[1].find("\tToken is inserted and ready to use\t"), std::string::npos);
    EXPECT_NE(rows[2].find("\t<Card not found>\t"), std::string::npos);

    // Aligned columns: the status column starts at the same place in every row.
    std::vector<std::string> aligned = lines(runTool({"slots"}).out);
    ASSERT_EQ(aligned.size(), 3u);
    size_t column = aligned[0].find("Card Status");
    EXPECT_EQ(aligned[1].find("Token is inserted"), column);
    EXPECT_EQ(aligned[2].find("<Card not found>"), column);
}

TEST_F(ToolTokenTest, TokenInfoShowsBothDetailLists) {
    Result result = runTool({"token-info", "--slot", tokenSlot_});
    ASSERT_EQ(result.exitCode, 0) << result.err;
    std::vector<std::string> rows = lines(result.out);
    // Caption, five slot rows, a blank line, caption, sixteen token rows.
    ASSERT_EQ(rows.size(), 24u) << result.out;
    EXPECT_EQ(rows[0], "Slot detail:");
    EXPECT_EQ(rows[3].rfind("Flags: [0x", 0), 0u);
    EXPECT_NE(rows[3].find("CKF_TOKEN_PRESENT"), std::string::npos);
    EXPECT_EQ(rows[7], "Token detail:");
    EXPECT_EQ(rows[8], "Token Name: CLI token");
    EXPECT_NE(rows[12].find("CKF_TOKEN_INITIALIZED"), std::string::npos);
    EXPECT_EQ(rows[15], "Max PIN Length: 16");
    EXPECT_EQ(rows[16], "Min PIN Length: 4");
    EXPECT_EQ(rows[23], "Token Timer: <No built-in timer>");
}

TEST_F(ToolTokenTest, EmptyOrUnknownSlotExitsWithFour) {
    Result empty = runTool({"token-info", "--slot=" + emptySlot_});
    EXPECT_EQ(empty.exitCode, 4);
    EXPECT_EQ(empty.err, "<Card not found>\n");
    EXPECT_EQ(lines(empty.out).size(), 6u); // the slot details still show

    Result unknown = runTool({"token-info", "--slot", "5"});
    EXPECT_EQ(unknown.exitCode, 4);
    EXPECT_EQ(unknown.err, "No such slot: 5\n");
    EXPECT_EQ(unknown.out, "");
}

TEST_F(ToolTokenTest, HeadersFollowTheLanguageFile) {
    writeLanguageFile(2052, "10100=Beschreibung\n10400=Nr\n");
    Result result = runTool({"--lang", "2052", "slots", "--tab"});
    ASSERT_EQ(result.exitCode, 0) << result.err;
    EXPECT_EQ(lines(result.out).at(0), "Nr\tBeschreibung\tCard Status\tManufacturer");
}

#endif

} // namespace
