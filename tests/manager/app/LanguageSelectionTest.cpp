#include "LanguageSelection.h"
#include "AppTestSupport.h"
#include "ProductConfig.h"
#include "platform/Registry.h"

namespace {

using platform::RegistryKey;
using platform::RegistryRoot;

class LanguageSelectionTest : public AppTest {
protected:
    void SetUp() override {
        AppTest::SetUp();
        writeLanguageFile("vtmgr_meridia", 2052, "10000=Chinese title\n");
        writeLanguageFile("vtmgr_meridia", 1033, "10000=English title\n");
    }

    void setLanguageId(RegistryRoot root, const std::string& value) {
        auto key = RegistryKey::create(root, productConfig.registryKey);
        ASSERT_TRUE(key);
        ASSERT_TRUE(key->setString("LanguageId", value));
    }

    // The title text in the language start-up selects.
    std::string selectedTitle() {
        auto translator = makeTranslator();
        selectLanguage(*translator, productConfig.registryKey, productConfig.managerLanguageStem);
        return translator->translate(10000, "default");
    }
};

TEST_F(LanguageSelectionTest, MachineValuePicksItsLanguageFile) {
    setLanguageId(RegistryRoot::LocalMachine, "2052");
    EXPECT_EQ(registryLanguageId(productConfig.registryKey), 2052u);
    EXPECT_EQ(selectedTitle(), "Chinese title");
}

TEST_F(LanguageSelectionTest, UserValueIsIgnored) {
    setLanguageId(RegistryRoot::CurrentUser, "2052");
    EXPECT_EQ(registryLanguageId(productConfig.registryKey), 0u);
    EXPECT_EQ(selectedTitle(), "English title");
}

TEST_F(LanguageSelectionTest, ZeroEmptyAndLettersCountAsAbsent) {
    for (const char* value : {"0", "", "abc"}) {
        setLanguageId(RegistryRoot::LocalMachine, value);
        EXPECT_EQ(registryLanguageId(productConfig.registryKey), 0u) << value;
        EXPECT_EQ(selectedTitle(), "English title") << value;
    }
}

TEST_F(LanguageSelectionTest, MissingKeyOrValueFallsBackToTheUsersLanguage) {
    EXPECT_EQ(selectedTitle(), "English title");
    auto key = RegistryKey::create(RegistryRoot::LocalMachine, productConfig.registryKey);
    ASSERT_TRUE(key);
    ASSERT_TRUE(key->setDword("LanguageId", 2052));
    EXPECT_EQ(selectedTitle(), "English title");
}

TEST_F(LanguageSelectionTest, NumberIsReadAsAtolReadsIt) {
    setLanguageId(RegistryRoot::LocalMachine, "2052 (Chinese)");
    EXPECT_EQ(selectedTitle(), "Chinese title");
}

} // namespace
