// The certificate-family flows over the scripted CryptoAPI: status codes, the no-value paths,
// the scan's marker, drop and stop rules, the fixed-size rules and the base family's modes.
#include "ScriptedCrypto.h"

#include "controls/CertFlows.h"
#include "controls/TextCodecs.h"

#include "platform/win/CodePages.h"

#include <QLoggingCategory>
#include <QString>

#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <functional>

using namespace certflows;
using scripted::Container;
using scripted::world;

namespace {

const std::string kDefault = "";

Container container(const std::string& name, const std::string& displayName, BYTE keyTag = 0x01) {
    Container c;
    c.name = name;
    c.displayName = displayName;
    c.serial = {0x01, 0x02, 0xA3};
    c.publicKey = {0x30, 0x0D, keyTag, 0xFE};
    return c;
}

std::u16string u16(const std::string& ascii) {
    return std::u16string(ascii.begin(), ascii.end());
}

// Runs the scripted choice: what the dialog saw, and what it answers.
class ScriptedDialog : public CertChoiceDialog {
public:
    std::function<void(CertFamilyState&)> answer;
    int runs = 0;
    LONG chosenIndexSeen = -2;
    bool confirmedSeen = true;
    void run(CertFamilyState& state) override {
        ++runs;
        chosenIndexSeen = state.chosenIndex;
        confirmedSeen = state.dialogConfirmed;
        if (answer)
            answer(state);
    }
};

void confirm(CertFamilyState& state, LONG index) {
    state.chosenIndex = index;
    state.dialogConfirmed = true;
}

class CertFlowsTest : public ::testing::Test {
protected:
    void SetUp() override {
        scripted::resetWorld();
        world().providers[kDefault];
        world().providers[kSkyraProvider];
        world().providers[kMeridiaProvider];
        for (FamilyConfig* config : {&base_, &ex_, &md_, &m32_})
            config->dialog = &dialog_;
        CertFamily::initialise(base_, baseState_);
        CertFamily::initialise(ex_, exState_);
        CertFamily::initialise(md_, mdState_);
        CertFamily::initialise(m32_, m32State_);
    }
    void TearDown() override { EXPECT_EQ(world().liveHandles, 0) << "a member left a handle open"; }

    scripted::Provider& skyra() { return world().providers[kSkyraProvider]; }
    scripted::Provider& meridia() { return world().providers[kMeridiaProvider]; }

    FamilyConfig base_ = baseFamilyConfig();
    FamilyConfig ex_ = exFamilyConfig();
    FamilyConfig md_ = mdFamilyConfig();
    FamilyConfig m32_ = meridia32Config();
    CertFamilyState baseState_, exState_, mdState_, m32State_;
    CertificateContentTexts contents_;
    ScriptedDialog dialog_;
    CertFamily base{base_, baseState_};
    CertFamily ex{ex_, exState_};
    CertFamily md{md_, mdState_};
    CertFamily m32{m32_, m32State_, &contents_};
};

void expectStatus(const StatusResult& result, LONG value) {
    ASSERT_TRUE(result.value.has_value());
    EXPECT_EQ(*result.value, value);
    EXPECT_EQ(result.hr, value == 0 ? S_OK : S_FALSE);
}

void expectText(const TextResult& result, const std::string& text) {
    EXPECT_EQ(result.hr, S_OK);
    ASSERT_TRUE(result.value.has_value());
    EXPECT_EQ(*result.value, u16(text));
}

void expectNoValue(const TextResult& result) {
    EXPECT_EQ(result.hr, S_FALSE);
    EXPECT_FALSE(result.value.has_value());
}

} // namespace

TEST_F(CertFlowsTest, IsOnlineStatusesAndResetRules) {
    world().providers.erase(kSkyraProvider);
    expectStatus(base.isOnline(), kStatusProviderAbsent);
    expectStatus(ex.isOnline(), kStatusProviderAbsent);

    meridia().pinRefused = true;
    expectStatus(md.isOnline(), kStatusPinRefused);
    EXPECT_FALSE(mdState_.online);
    meridia().pinRefused = false;
    expectStatus(md.isOnline(), kStatusOk);

    // md_ resets only on success: a later refused PIN step leaves the family online and its
    // chosen index as it was.
    mdState_.chosenIndex = 3;
    meridia().pinRefused = true;
    expectStatus(md.isOnline(), kStatusPinRefused);
    EXPECT_TRUE(mdState_.online);
    meridia().pinRefused = false;
    expectStatus(md.isOnline(), kStatusOk);
    EXPECT_EQ(mdState_.chosenIndex, 3);

    // The base family resets first, so a failing call leaves it offline with no choice.
    world().providers[kSkyraProvider].containers = {container("c1", "Alice")};
    expectStatus(base.isOnline(), kStatusOk);
    expectStatus(base.setCertResult(), kStatusOk);
    EXPECT_EQ(baseState_.chosenIndex, 0);
    skyra().pinRefused = true;
    expectStatus(base.isOnline(), kStatusPinRefused);
    EXPECT_FALSE(baseState_.online);
    EXPECT_FALSE(baseState_.certificateChosen);
    EXPECT_EQ(baseState_.chosenIndex, -1);
    EXPECT_EQ(baseState_.containerCount, 0u);
}

namespace {
std::vector<std::string> debugLines;
void collectDebugLine(QtMsgType, const QMessageLogContext&, const QString& text) {
    debugLines.push_back(text.toStdString());
}
} // namespace

TEST_F(CertFlowsTest, OnlyExAndMdWriteTheDebugLine) {
    QLoggingCategory::setFilterRules(QStringLiteral("korvan.debug=true"));
    const QtMessageHandler previous = qInstallMessageHandler(collectDebugLine);
    debugLines.clear();
    base.isOnline();
    EXPECT_TRUE(debugLines.empty());
    ex.isOnline();
    md.isOnline();
    qInstallMessageHandler(previous);
    QLoggingCategory::setFilterRules(QString());
    EXPECT_EQ(debugLines, (std::vector<std::string>{"OOOKKK", "OOOKKK"}));
}

TEST_F(CertFlowsTest, HashIsMd5OfTheAnsiTextAndIsOnlineForgetsIt) {
    expectNoValue(md.getHash());
    expectStatus(md.hashResult(std::nullopt), kStatusPrecondition);
    ASSERT_EQ(md.isOnline().value, kStatusOk);
    expectStatus(md.hashResult(std::nullopt), kStatusOk);
    expectText(md.getHash(), "D41D8CD98F00B204E9800998ECF8427E");
    expectStatus(md.hashResult(std::u16string_view(u"abc")), kStatusOk);
    expectText(md.getHash(), "900150983CD24FB0D6963F7D28E17F72");
    // The text is hashed in the ANSI code page: "中" is D6 D0 under 936, E4 B8 AD under 65001.
    for (const auto& [page, digest] : {std::pair{"936", "5301DA37E5FFCA1823A5CEF67488D4BF"},
                                       std::pair{"65001", "AED1DFBC31703955E64806B799B67645"}}) {
        setenv("KORVAN_ANSI_CODEPAGE", page, 1);
        korvanResetAnsiCodePage();
        expectStatus(md.hashResult(std::u16string_view(u"中")), kStatusOk);
        expectText(md.getHash(), digest);
    }
    unsetenv("KORVAN_ANSI_CODEPAGE");
    korvanResetAnsiCodePage();
    ASSERT_EQ(md.isOnline().value, kStatusOk);
    expectNoValue(md.getHash());
    // Neither Skyra nor Meridia opens the default container: 3, and the old text is gone.
    expectStatus(md.hashResult(std::u16string_view(u"abc")), kStatusOk);
    world().providers.erase(kSkyraProvider);
    world().providers.erase(kMeridiaProvider);
    expectStatus(md.hashResult(std::u16string_view(u"abc")), kStatusPrecondition);
    EXPECT_STREQ(mdState_.hashText, "");
}

TEST_F(CertFlowsTest, ScanFailuresReportTheirStatus) {
    skyra().containers = {container("c1", "Alice")};
    expectStatus(base.setCertResult(), kStatusPrecondition); // not online
    ASSERT_EQ(base.isOnline().value, kStatusOk);

    skyra().pinRefused = true;
    expectStatus(base.setCertResult(), kStatusPinRefused);
    skyra().pinRefused = false;
    skyra().signTestRefused = true;
    expectStatus(base.setCertResult(), kStatusFailed);
    skyra().signTestRefused = false;
    skyra().enumerationRefused = true;
    expectStatus(base.setCertResult(), kStatusFailed);
    skyra().enumerationRefused = false;

    skyra().containers = {container("c1", "Alice"), container("c2", "Bob")};
    skyra().containers[1].refuseOpen = true;
    expectStatus(base.setCertResult(), kStatusPrecondition);
    EXPECT_STREQ(baseState_.certificateNames[0], "Alice"); // what was read so far stays
    skyra().containers[1].refuseOpen = false;
    skyra().containers[1].validDer = false;
    expectStatus(base.setCertResult(), kStatusFailed);

    // The default container has no key at all: the signature test fails.
    skyra().containers.clear();
    expectStatus(base.setCertResult(), kStatusFailed);
}

TEST_F(CertFlowsTest, MarkerFiltersJudgeTheTrimmedNameCaseSensitively) {
    skyra().containers = {container("c1", "Plain"), container("c2", "Marked_TQB \t "),
                          container("c3", "Mixed_TqB"), container("c4", "low_tqb_x")};
    ASSERT_EQ(ex.isOnline().value, kStatusOk);
    ASSERT_EQ(base.isOnline().value, kStatusOk);

    // Base: "Plain" and "Mixed_TqB" qualify: two, so the dialog runs.
    dialog_.answer = [](CertFamilyState& s) { confirm(s, 2); };
    expectStatus(base.setCertResult(), kStatusOk);
    EXPECT_EQ(dialog_.runs, 1);
    EXPECT_FALSE(dialog_.confirmedSeen);
    expectText(base.getCertName(), "Mixed_TqB");

    // _Ex: the trailing blanks do not hide "_TQB"; "_tqb" anywhere counts.
    dialog_.answer = [](CertFamilyState& s) { confirm(s, 3); };
    expectStatus(ex.setCertResult(), kStatusOk);
    EXPECT_EQ(dialog_.runs, 2);
    expectText(ex.getCertName(), "low_tqb_x");

    // One marked certificate only: _Ex takes it without a dialog, base finds none (-1, empty
    // texts with S_OK, and SignResult answers S_FALSE without a status).
    skyra().containers = {container("c2", "Marked_TQB  ")};
    ASSERT_EQ(ex.isOnline().value, kStatusOk);
    expectStatus(ex.setCertResult(), kStatusOk);
    EXPECT_EQ(exState_.chosenIndex, 0);
    expectText(ex.getCertName(), "Marked_TQB  ");
    ASSERT_EQ(base.isOnline().value, kStatusOk);
    expectStatus(base.setCertResult(), kStatusOk);
    EXPECT_EQ(baseState_.chosenIndex, -1);
    expectText(base.getCertName(), "");
    expectText(base.getCertSerial(), "");
    expectText(base.getKeyModule(), "");
    const StatusResult sign = base.signResult(std::u16string_view(u"x"));
    EXPECT_EQ(sign.hr, S_FALSE);
    EXPECT_FALSE(sign.value.has_value());
    EXPECT_EQ(dialog_.runs, 2);
}

TEST_F(CertFlowsTest, ContainerWithoutCertificateIsDroppedOrStopsTheScan) {
    std::vector<Container> containers = {container("c1", "Alice"), container("nocert", ""), container("c3", "Carol")};
    containers[1].hasCertificate = false;
    skyra().containers = containers;
    meridia().containers = containers;
    dialog_.answer = [](CertFamilyState& s) { confirm(s, 1); };

    ASSERT_EQ(base.isOnline().value, kStatusOk);
    expectStatus(base.setCertResult(), kStatusOk);
    EXPECT_EQ(baseState_.containerCount, 2u);
    EXPECT_STREQ(baseState_.containerNames[1], "c3");
    EXPECT_STREQ(baseState_.containerNames[2], "");
    expectText(base.getCertName(), "Carol");

    world().providers.erase(kSkyraProvider);
    ASSERT_EQ(md.isOnline().value, kStatusOk);
    expectStatus(md.setCertResult(), kStatusFailed);
    expectNoValue(md.getCertName());
}

TEST_F(CertFlowsTest, MdScanChoosesEntryZeroOrAsksWithIndexZero) {
    // Skyra opens its default container (so the test signature and enumeration run there)
    // but not c1, which Meridia then opens.
    skyra().containers = {container("c1", "Alice")};
    skyra().containers[0].refuseOpen = true;
    meridia().containers = {container("c1", "Alice")};
    ASSERT_EQ(md.isOnline().value, kStatusOk);
    mdState_.chosenIndex = 5;
    expectStatus(md.setCertResult(), kStatusOk);
    expectText(md.getCertName(), "Alice");
    expectText(md.getCertSerial(), "A30201");
    expectText(md.getKeyModule(), "300D01FE");

    skyra().containers.push_back(container("c2", "Bob_tqb"));
    skyra().containers[1].refuseOpen = true;
    meridia().containers.push_back(container("c2", "Bob_tqb"));
    dialog_.answer = [](CertFamilyState& s) { s.chosenIndex = 1; }; // left without confirming
    expectStatus(md.setCertResult(), kStatusFailed);
    EXPECT_EQ(dialog_.chosenIndexSeen, 0);
    expectNoValue(md.getCertName());
    // Skyra first for every container, Meridia when Skyra does not open it.
    EXPECT_EQ(world().acquires.back(), std::string(kMeridiaProvider) + "|c2");
    EXPECT_EQ(world().acquires[world().acquires.size() - 2], std::string(kSkyraProvider) + "|c2");
}

TEST_F(CertFlowsTest, FailedScanLeavesNoStaleChoice) {
    skyra().containers = {container("c1", "Alice")};
    ASSERT_EQ(base.isOnline().value, kStatusOk);
    ASSERT_EQ(base.setCertResult().value, kStatusOk);
    expectText(base.getCertName(), "Alice");
    skyra().containers = {container("c9", "Mallory"), container("bad", "x")};
    skyra().containers[1].validDer = false;
    expectStatus(base.setCertResult(), kStatusFailed);
    expectNoValue(base.getCertName());
    expectNoValue(base.getCertSerial());
    expectNoValue(base.getKeyModule());
    expectStatus(base.signResult(std::u16string_view(u"text")), kStatusPrecondition);
}

TEST_F(CertFlowsTest, SignThenVerifyWithLowerCaseTextsAndEveryRefusal) {
    skyra().containers = {container("c1", "Alice", 0x11)};
    ASSERT_EQ(ex.isOnline().value, kStatusOk);
    ASSERT_EQ(ex.setCertResult().value, kStatusOk); // no marker: -1, but chosen
    ASSERT_EQ(base.isOnline().value, kStatusOk);
    expectStatus(base.signResult(std::u16string_view(u"data")), kStatusPrecondition); // nothing chosen yet
    ASSERT_EQ(base.setCertResult().value, kStatusOk);
    expectNoValue(base.getSignature());
    expectStatus(base.signResult(std::u16string_view(u"data")), kStatusOk);
    const TextResult signature = base.getSignature();
    ASSERT_TRUE(signature.value);
    // Most significant byte first: the stand-in's signature, reversed.
    const Bytes raw = scripted::signatureOf("data", skyra().containers[0].publicKey);
    EXPECT_EQ(*signature.value, u16(hexText(reversed(raw))));

    auto lower = [](std::u16string text) {
        for (auto& c : text)
            if (c >= u'A' && c <= u'F')
                c = static_cast<char16_t>(c - u'A' + u'a');
        return text;
    };
    const std::u16string key = lower(*base.getKeyModule().value);
    const std::u16string sign = lower(*signature.value);
    expectStatus(base.verifyResult(key, std::u16string_view(u"data"), sign), kStatusOk);
    expectStatus(base.verifyResult(key, std::u16string_view(u"date"), sign), kStatusFailed);
    expectStatus(base.verifyResult(std::u16string_view(u"31"), std::u16string_view(u"data"), sign), kStatusFailed);
    expectStatus(base.verifyResult(key, std::nullopt, sign), kStatusPrecondition);
    // Any provider would do for a verification, but the base family only opens Skyra.
    world().providers.erase(kSkyraProvider);
    expectStatus(base.verifyResult(key, std::u16string_view(u"data"), sign), kStatusPrecondition);
}

TEST_F(CertFlowsTest, VerifyProviderChains) {
    ASSERT_EQ(md.isOnline().value, kStatusOk);
    ASSERT_EQ(m32.isOnline().value, kStatusOk);
    const Bytes key = {0x30, 0x01, 0x02};
    const std::u16string keyText = u16(hexText(key));
    const std::u16string sign = u16(hexText(reversed(scripted::signatureOf("m", key))));
    world().providers.erase(kDefault);
    world().acquires.clear();
    expectStatus(md.verifyResult(keyText, std::u16string_view(u"m"), sign), kStatusOk);
    EXPECT_EQ(world().acquires, (std::vector<std::string>{"|-", std::string(kSkyraProvider) + "|-"}));
    // The 32-bit family verifies on the default provider only.
    expectStatus(m32.verifyResult(keyText, std::u16string_view(u"m"), sign), kStatusPrecondition);
}

TEST_F(CertFlowsTest, RandomNumberLengths) {
    expectNoValue(md.genRandomNumber(8)); // not online
    ASSERT_EQ(md.isOnline().value, kStatusOk);
    expectText(md.genRandomNumber(7), "A0A1A2");
    expectText(md.genRandomNumber(1), "");
    expectNoValue(md.genRandomNumber(-1));
    expectNoValue(md.genRandomNumber(65537));
    EXPECT_EQ(md.genRandomNumber(65536).value->size(), 65536u);
    world().providers[kDefault].randomRefused = true;
    expectNoValue(md.genRandomNumber(4));
}

TEST_F(CertFlowsTest, OversizeValuesFailTheScanAndNamesAreCutWhole) {
    // 936: each "中" is two bytes (D6 D0); 30 of them cannot fit 49 bytes, 24 do.
    setenv("KORVAN_ANSI_CODEPAGE", "936", 1);
    korvanResetAnsiCodePage();
    std::string longName = "a";
    for (int i = 0; i < 30; ++i)
        longName += "\xD6\xD0";
    skyra().containers = {container("c1", longName)};
    ASSERT_EQ(base.isOnline().value, kStatusOk);
    ASSERT_EQ(base.setCertResult().value, kStatusOk);
    EXPECT_EQ(std::strlen(baseState_.certificateNames[0]), 1u + 2 * 24);
    const TextResult name = base.getCertName();
    ASSERT_TRUE(name.value);
    EXPECT_EQ(name.value->size(), 25u);
    EXPECT_EQ(name.value->back(), u'中');

    // Data is never cut: a serial of 25 bytes (50 hex characters) or an over-large
    // certificate fails the scan.
    skyra().containers[0].serial.assign(25, 0x42);
    expectStatus(base.setCertResult(), kStatusFailed);
    skyra().containers[0].serial.assign(24, 0x42);
    expectStatus(base.setCertResult(), kStatusOk);
    skyra().containers[0].certificateSize = kCertificateSize + 1;
    expectStatus(base.setCertResult(), kStatusFailed);
    skyra().containers[0].certificateSize = kCertificateSize;
    expectStatus(base.setCertResult(), kStatusOk);
    unsetenv("KORVAN_ANSI_CODEPAGE");
    korvanResetAnsiCodePage();
}

TEST_F(CertFlowsTest, TenContainerLimitAndCertificateContent) {
    for (int i = 0; i < 12; ++i)
        meridia().containers.push_back(container("c" + std::to_string(i), "N" + std::to_string(i)));
    dialog_.answer = [](CertFamilyState& s) { confirm(s, 9); };
    ASSERT_EQ(m32.isOnline().value, kStatusOk);
    expectStatus(m32.setCertResult(), kStatusOk);
    EXPECT_EQ(m32State_.containerCount, 10u);
    expectText(m32.getCertName(), "N9");
    expectText(m32.getCertContent(), hexText(scripted::certificateBytes(meridia().containers[9])));
    // The 32-bit family's IsOnline keeps chosenIndex; its content texts go with the lists.
    ASSERT_EQ(m32.isOnline().value, kStatusOk);
    EXPECT_EQ(m32State_.chosenIndex, 9);
    expectNoValue(m32.getCertContent());
    expectNoValue(md.getCertContent()); // no content texts kept
}

TEST_F(CertFlowsTest, BaseFamilyModes) {
    BaseMode mode = BaseMode::None;
    static LONG tokens = 0;
    BaseFamily family(base, md, mode, [] { return tokens; });
    expectNoValue(family.getHash());

    // Skyra opens: Direct, even when its PIN step is refused.
    skyra().pinRefused = true;
    expectStatus(family.isOnline(), kStatusPinRefused);
    EXPECT_EQ(mode, BaseMode::Direct);

    // Skyra absent: md_ online and a token present gives Delegated, and members forward.
    world().providers.erase(kSkyraProvider);
    meridia().containers = {container("m1", "Meridian")};
    tokens = 1;
    expectStatus(family.isOnline(), kStatusOk);
    EXPECT_EQ(mode, BaseMode::Delegated);
    DWORD eligible = 0;
    expectStatus(family.setCertResult(eligible), kStatusOk);
    expectText(family.getCertName(), "Meridian");
    EXPECT_TRUE(mdState_.certificateChosen);
    EXPECT_FALSE(baseState_.certificateChosen);

    // No token through the token library, or md_ not online: None, and nothing is written.
    tokens = 0;
    expectStatus(family.isOnline(), kStatusProviderAbsent);
    EXPECT_EQ(mode, BaseMode::None);
    const StatusResult none = family.setCertResult(eligible);
    EXPECT_EQ(none.hr, S_FALSE);
    EXPECT_FALSE(none.value);
    expectNoValue(family.getCertName());
    tokens = 1;
    meridia().pinRefused = true;
    expectStatus(family.isOnline(), kStatusProviderAbsent);
    EXPECT_EQ(mode, BaseMode::None);
}

TEST_F(CertFlowsTest, LongContainerNamesAreReadAgainAndTheScanGoesOn) {
    const std::string name120(120, 'L');
    const std::string name255(255, 'M');
    const std::string name300(300, 'X'); // longer than any provider accepts: read past, skipped
    std::vector<Container> containers = {container(name120, "Oldest"), container("c2", "Second"),
                                          container(name255, "Middle"), container(name300, "Skipped"),
                                          container("c5", "Last")};
    skyra().containers = containers;
    meridia().containers = containers;
    dialog_.answer = [](CertFamilyState& s) { confirm(s, 2); };

    ASSERT_EQ(base.isOnline().value, kStatusOk);
    expectStatus(base.setCertResult(), kStatusOk);
    ASSERT_EQ(baseState_.containerCount, 4u);
    EXPECT_EQ(baseState_.containerNames[0], name120);
    EXPECT_EQ(baseState_.containerNames[2], name255);
    EXPECT_STREQ(baseState_.containerNames[3], "c5");
    expectText(base.getCertName(), "Middle");
    expectStatus(base.signResult(std::u16string_view(u"x")), kStatusOk);
    EXPECT_EQ(world().acquires.back(), std::string(kSkyraProvider) + "|" + name255);

    // The long name as the only container: the first entry is read again, not a failure.
    meridia().containers = {container(name255, "Only")};
    world().providers.erase(kSkyraProvider);
    ASSERT_EQ(md.isOnline().value, kStatusOk);
    expectStatus(md.setCertResult(), kStatusOk);
    expectText(md.getCertName(), "Only");
}

TEST_F(CertFlowsTest, TheScanAsksFromTheCallersEligibleCounter) {
    // Three listed, one qualifying for base: a count of the list would ask the user.
    skyra().containers = {container("c1", "Marked_TQB"), container("c2", "Plain"), container("c3", "Also_tqb")};
    ASSERT_EQ(base.isOnline().value, kStatusOk);
    DWORD eligible = 0;
    expectStatus(base.setCertResult(eligible), kStatusOk);
    EXPECT_EQ(eligible, 1u);
    EXPECT_EQ(dialog_.runs, 0);
    expectText(base.getCertName(), "Plain");

    // The decision is read from the counter the caller holds, not from a count of its own.
    dialog_.answer = [](CertFamilyState& s) { confirm(s, 1); };
    eligible = 1;
    expectStatus(base.setCertResult(eligible), kStatusOk);
    EXPECT_EQ(eligible, 2u);
    EXPECT_EQ(dialog_.runs, 1);
}
