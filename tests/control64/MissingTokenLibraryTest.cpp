// A token library that cannot be loaded: the token queries write no value and say so on standard
// output. The libraries sit beside this test program in the shared bin folder, which other tests
// use at the same time, so the test runs a copy of itself from a folder without them instead:
// the program-folder lookup misses there, and the bare name is on no library path. The control
// module is still registered by its absolute path.
#include "ControlFixture.h"

#include <cstdlib>
#include <filesystem>

namespace control64_test {
namespace {

namespace fs = std::filesystem;

using MissingTokenLibraryTest = ControlTest;

constexpr const char* kChildFlag = "CONTROL64_MISSING_LIBRARY_CHILD";

const char* const kQueryMembers[] = {"md_GetTokenSerial", "md_RefreshToken",
                                     "GetTokenSerial_Ex", "RefreshToken_Ex",
                                     "QX_GetTokenSerial", "QX_RefreshToken"};

size_t occurrences(const std::string& text, const std::string& word) {
    size_t count = 0;
    for (size_t at = text.find(word); at != std::string::npos; at = text.find(word, at + 1))
        ++count;
    return count;
}

TEST_F(MissingTokenLibraryTest, QueriesWriteNoValueAndReportTheLoadError) {
    if (std::getenv(kChildFlag) != nullptr) {
        // The copy in the folder without the token libraries.
        const fs::path here = fs::read_symlink("/proc/self/exe").parent_path();
        ASSERT_FALSE(fs::exists(here / "libqx11skyra.so"));
        ASSERT_FALSE(fs::exists(here / "libmeridiaCsp11_2001.so"));
        Control control = create();
        ASSERT_TRUE(control);
        for (const char* member : kQueryMembers) {
            const CallResult result = control.call(member);
            EXPECT_EQ(result.hr, S_OK) << member;
            EXPECT_FALSE(result.hasValue()) << member << " wrote " << describe(result);
        }
        return;
    }

    const fs::path program = fs::read_symlink("/proc/self/exe");
    // Without the libraries beside the real program this test would prove nothing.
    ASSERT_TRUE(fs::exists(program.parent_path() / "libqx11skyra.so"));
    ASSERT_TRUE(fs::exists(program.parent_path() / "libmeridiaCsp11_2001.so"));

    std::string folderTemplate = (fs::temp_directory_path() / "control64-nolib-XXXXXX").string();
    ASSERT_NE(mkdtemp(folderTemplate.data()), nullptr);
    const fs::path folder = folderTemplate;
    const fs::path copy = folder / program.filename();
    fs::copy_file(program, copy);

    const ::testing::TestInfo* self = ::testing::UnitTest::GetInstance()->current_test_info();
    const std::string filter = std::string(self->test_suite_name()) + "." + self->name();
    const control_host::ToolRun run = control_host::runCommand(
        std::string("env -u LD_LIBRARY_PATH ") + kChildFlag + "=1 '" + copy.string() +
        "' --gtest_filter=" + filter);
    fs::remove_all(folder);

    EXPECT_EQ(run.exitCode, 0) << run.output;
    EXPECT_NE(run.output.find("[  PASSED  ] 1 test."), std::string::npos) << run.output;
    EXPECT_EQ(occurrences(run.output, "Load Library Error!"), std::size(kQueryMembers))
        << run.output;
}

} // namespace
} // namespace control64_test
