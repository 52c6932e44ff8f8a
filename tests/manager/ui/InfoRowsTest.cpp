#include "InfoRows.h"
#include "SlotTestSupport.h"
#include "Translator.h"

#include <filesystem>
#include <fstream>

#include <unistd.h>

namespace {

using Rows = std::vector<std::pair<std::string, std::string>>;

Rows pairs(const std::vector<InfoRow>& rows) {
    Rows out;
    for (const InfoRow& row : rows)
        out.emplace_back(row.field, row.value);
    return out;
}

class InfoRowsTest : public SlotTest {
protected:
    SlotEntry& entryFor(CK_SLOT_ID id, const FakeSlot& slot) {
        addSlots({{id, slot}});
        EXPECT_TRUE(manager.initialize());
        SlotEntry* entry = manager.findSlot(id);
        EXPECT_NE(entry, nullptr);
        return *entry;
    }
};

TEST(FlagTextTest, NamesFollowTheFixedOrderWithSeparators) {
    EXPECT_EQ(flagText(0x0000040D, tokenFlagNames()),
              "[0x0000040D] CKF_RNG | CKF_LOGIN_REQUIRED | CKF_USER_PIN_INITIALIZED | "
              "CKF_TOKEN_INITIALIZED");
    EXPECT_EQ(flagText(CKF_USER_PIN_LOCKED | CKF_SO_PIN_TO_BE_CHANGED, tokenFlagNames()),
              "[0x00840000] CKF_USER_PIN_LOCKED | CKF_SO_PIN_TO_BE_CHANGED");
    EXPECT_EQ(flagText(7, slotFlagNames()),
              "[0x00000007] CKF_TOKEN_PRESENT | CKF_REMOVABLE_DEVICE | CKF_HW_SLOT");
    EXPECT_EQ(flagText(CKF_HW_SLOT, slotFlagNames()), "[0x00000004] CKF_HW_SLOT");
}

TEST(FlagTextTest, UnknownBitsShowOnlyInTheNumber) {
    EXPECT_EQ(flagText(0, tokenFlagNames()), "[0x00000000]");
    // 0x10 and 0x80 have no name in the token list; slot names stop at 0x4.
    EXPECT_EQ(flagText(0x90, tokenFlagNames()), "[0x00000090]");
    EXPECT_EQ(flagText(0x18, slotFlagNames()), "[0x00000018]");
    EXPECT_EQ(flagText(0xFFFFFFFF, slotFlagNames()),
              "[0xFFFFFFFF] CKF_TOKEN_PRESENT | CKF_REMOVABLE_DEVICE | CKF_HW_SLOT");
}

TEST(FlagTextTest, EveryTokenFlagHasItsOwnBitInAscendingOrder) {
    CK_FLAGS all = 0;
    CK_FLAGS previous = 0;
    for (const FlagName& name : tokenFlagNames()) {
        EXPECT_GT(name.flag, previous) << name.name;
        EXPECT_EQ(name.flag & (name.flag - 1), 0u) << name.name;
        all |= name.flag;
        previous = name.flag;
    }
    EXPECT_EQ(tokenFlagNames().size(), 18u);
    EXPECT_EQ(all, 0x00FF0F6Fu);
}

TEST(NumberTextTest, CountersPrintAsSigned32BitNumbers) {
    EXPECT_EQ(numberText(0), "0");
    EXPECT_EQ(numberText(32000), "32000");
    EXPECT_EQ(numberText(0xFFFFFFFFul), "-1");
    EXPECT_EQ(numberText(CK_UNAVAILABLE_INFORMATION), "-1");
}

TEST_F(InfoRowsTest, SlotDetailsGiveFiveRowsWithVersionRule) {
    FakeSlot slot = tokenSlot("Reader A");
    slot.hardwareVersion = {2, 3};
    slot.firmwareVersion = {2, 10};
    SlotEntry& entry = entryFor(4, slot);
    EXPECT_EQ(
        pairs(slotDetailRows(entry)),
        (Rows{{"Description", "Reader A"},
              {"Manufacturer", "Slot Maker"},
              {"Flags", "[0x00000007] CKF_TOKEN_PRESENT | CKF_REMOVABLE_DEVICE | CKF_HW_SLOT"},
              {"Hardware Version", "2.03"},
              {"Firmware Version", "2.10"}}));
}

TEST_F(InfoRowsTest, TokenDetailsGiveSixteenRowsEachFromItsOwnField) {
    FakeSlot slot = tokenSlot();
    slot.tokenFlags = 0x40D;
    // CK_TOKEN_INFO order: max sessions, sessions, max r/w, r/w, max PIN,
    // min PIN, public total, public free, private total, private free. All
    // distinct so a row reading the wrong counter shows.
    CK_ULONG numbers[10] = {11, 12, 13, 14, 15, 16, 17, 18, 19, 0xFFFFFFFF};
    std::copy(std::begin(numbers), std::end(numbers), slot.numbers);
    slot.tokenHardwareVersion = {2, 3};
    slot.tokenFirmwareVersion = {4, 10};
    SlotEntry& entry = entryFor(1, slot);
    EXPECT_EQ(
        pairs(tokenDetailRows(entry)),
        (Rows{{"Token Name", "ABCDEFG"},
              {"Manufacturer", "Slot Maker"},
              {"Model", "Model X"},
              {"Serial number", "123456789012    "},
              {"Flags", "[0x0000040D] CKF_RNG | CKF_LOGIN_REQUIRED | CKF_USER_PIN_INITIALIZED | "
                        "CKF_TOKEN_INITIALIZED"},
              {"Max session number", "11"},
              {"Max R/W session number", "13"},
              {"Max PIN Length", "15"},
              {"Min PIN Length", "16"},
              {"Public space", "17"},
              {"Free public space", "18"},
              {"Private space", "19"},
              {"Free private space", "-1"},
              {"Hardware Version", "2.03"},
              {"Firmware Version", "4.10"},
              {"Token Timer", "2024010112000000"}}));
}

TEST_F(InfoRowsTest, BlankTimerAndUnrecognizedOrMissingTokens) {
    FakeSlot blankTimer = tokenSlot("Timerless");
    blankTimer.utcTime = "";
    FakeSlot unrecognized = tokenSlot("Broken");
    unrecognized.tokenInfoResult = CKR_TOKEN_NOT_RECOGNIZED;
    addSlots({{1, blankTimer}, {2, unrecognized}, {3, emptySlot("Empty")}});
    ASSERT_TRUE(manager.initialize());

    std::vector<InfoRow> timerRows = tokenDetailRows(*manager.findSlot(1));
    ASSERT_EQ(timerRows.size(), 16u);
    EXPECT_EQ(timerRows[15].value, "<No built-in timer>");

    SlotEntry& broken = *manager.findSlot(2);
    EXPECT_EQ(slotStatusText(broken), "Token is inserted but cannot be recognized");
    std::vector<InfoRow> brokenRows = tokenDetailRows(broken);
    ASSERT_EQ(brokenRows.size(), 16u);
    EXPECT_EQ(brokenRows[0].value, "<Card not recognized>");

    SlotEntry& empty = *manager.findSlot(3);
    EXPECT_EQ(slotStatusText(empty), "<Card not found>");
    EXPECT_TRUE(tokenDetailRows(empty).empty());
    EXPECT_EQ(slotDetailRows(empty).size(), 5u);
}

TEST_F(InfoRowsTest, SlotListHasEverySlotInAscendingOrder) {
    FakeSlot broken = tokenSlot("Broken");
    broken.tokenInfoResult = CKR_DEVICE_ERROR;
    addSlots({{9, emptySlot("Nine")}, {2, tokenSlot("Two")}, {5, broken}});
    ASSERT_TRUE(manager.initialize());
    std::vector<SlotListRow> rows = slotListRows(manager);
    ASSERT_EQ(rows.size(), 3u);
    EXPECT_EQ(rows[0].slotId, 2u);
    EXPECT_EQ(rows[0].description, "Two");
    EXPECT_EQ(rows[0].status, "Token is inserted and ready to use");
    EXPECT_EQ(rows[0].manufacturer, "Slot Maker");
    EXPECT_EQ(rows[1].slotId, 5u);
    EXPECT_EQ(rows[1].status, "Token is inserted but cannot be recognized");
    EXPECT_EQ(rows[2].slotId, 9u);
    EXPECT_EQ(rows[2].status, "<Card not found>");
}

TEST(InfoColumnsTest, DefaultTitlesAndWidths) {
    std::vector<InfoColumn> slots = slotListColumns();
    ASSERT_EQ(slots.size(), 3u);
    EXPECT_EQ(slots[0].title, "Description");
    EXPECT_EQ(slots[0].width, 125);
    EXPECT_EQ(slots[1].title, "Card Status");
    EXPECT_EQ(slots[1].width, 150);
    EXPECT_EQ(slots[2].title, "Manufacturer");
    EXPECT_EQ(slots[2].width, 175);
    std::vector<InfoColumn> details = detailColumns();
    ASSERT_EQ(details.size(), 2u);
    EXPECT_EQ(details[0].title, "Field");
    EXPECT_EQ(details[0].width, 80);
    EXPECT_EQ(details[1].title, "Value");
    EXPECT_EQ(details[1].width, 400);
}

// Texts come from the language file; flag names never do.
class TranslatedRowsTest : public InfoRowsTest {
protected:
    void SetUp() override {
        InfoRowsTest::SetUp();
        dir_ = std::filesystem::temp_directory_path() /
               ("korvan-info-rows-" + std::to_string(::getpid()));
        std::filesystem::create_directories(dir_);
        std::ofstream(dir_ / "test.lng")
            << "[settings]\nCodePage=2052\nLanguage=Test\n[strings]\n"
               "10100=Beschreibung\n10101=Kartenstatus\n10010=Feld\n10011=Wert\n"
               "10105=<Keine Karte>\n10109=Merkmale\n10128=<Ohne Uhr>\n"
               "CKF_TOKEN_PRESENT=wrong\n";
        ASSERT_TRUE(Translator::instance().loadFile((dir_ / "test.lng").string()));
    }
    void TearDown() override {
        // Back to the built-in texts for the tests that follow.
        Translator::instance().loadFile((dir_ / "absent.lng").string());
        std::filesystem::remove_all(dir_);
        InfoRowsTest::TearDown();
    }
    std::filesystem::path dir_;
};

TEST_F(TranslatedRowsTest, HeadersFieldsAndStatusTextsAreTranslated) {
    FakeSlot slot = tokenSlot("Reader");
    slot.utcTime = "";
    addSlots({{1, slot}, {2, emptySlot("Empty")}});
    ASSERT_TRUE(manager.initialize());

    std::vector<InfoColumn> columns = slotListColumns();
    EXPECT_EQ(columns[0].title, "Beschreibung");
    EXPECT_EQ(columns[1].title, "Kartenstatus");
    EXPECT_EQ(columns[2].title, "Manufacturer"); // no entry: the default stays
    EXPECT_EQ(detailColumns()[0].title, "Feld");
    EXPECT_EQ(detailColumns()[1].title, "Wert");

    EXPECT_EQ(slotListRows(manager)[1].status, "<Keine Karte>");
    std::vector<InfoRow> slotRows = slotDetailRows(*manager.findSlot(1));
    EXPECT_EQ(slotRows[2].field, "Merkmale");
    EXPECT_EQ(slotRows[2].value,
              "[0x00000007] CKF_TOKEN_PRESENT | CKF_REMOVABLE_DEVICE | CKF_HW_SLOT");
    EXPECT_EQ(tokenDetailRows(*manager.findSlot(1))[15].value, "<Ohne Uhr>");
}

} // namespace
