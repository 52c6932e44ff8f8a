#include "CertDetails.h"
#include "CertFixtures.h"
#include "ContainerModel.h"
#include "FakeSlotLibrary.h"
#include "ImportFlow.h"
#include "SlotManager.h"
#include "TokenLibrary.h"

#include <gtest/gtest.h>

#include <regex>

namespace {

TEST(ContainerNameTest, NeedsTheVendorTableAndMakesFreshGuidTexts) {
    FakeSlotLibrary::reset();
    TokenLibrary library;
    EXPECT_EQ(MakeContainerName(library).rv, static_cast<CK_RV>(CKR_GENERAL_ERROR));
    library.bindTables(&FakeSlotLibrary::current().functions, nullptr);
    ContainerNameResult unbound = MakeContainerName(library);
    EXPECT_EQ(unbound.rv, static_cast<CK_RV>(CKR_GENERAL_ERROR));
    EXPECT_TRUE(unbound.name.empty());

    library.bindTables(&FakeSlotLibrary::current().functions, &FakeSlotLibrary::current().aux);
    ContainerNameResult first = MakeContainerName(library);
    ContainerNameResult second = MakeContainerName(library);
    EXPECT_EQ(first.rv, static_cast<CK_RV>(CKR_OK));
    EXPECT_TRUE(std::regex_match(
        first.name, std::regex("[0-9A-F]{8}-[0-9A-F]{4}-[0-9A-F]{4}-[0-9A-F]{4}-[0-9A-F]{12}")))
        << first.name;
    EXPECT_NE(first.name, second.name);
}

TEST(ImportFlowTest, UnboundLibraryOrMissingSlotLeavesTheDialogOpenSilently) {
    FakeSlotLibrary::reset();
    TokenLibrary unbound;
    SlotManager slots(unbound);
    ImportRequest request;
    request.slotId = 1;
    request.path = "/nonexistent.pfx";
    ImportFlowOutcome outcome = RunCertificateImport(unbound, slots, request, {});
    EXPECT_EQ(outcome.end, ImportDialogEnd::StayOpen);
    EXPECT_EQ(outcome.messageId, 0);
    EXPECT_FALSE(outcome.ran);

    TokenLibrary bound;
    bound.bindTables(&FakeSlotLibrary::current().functions, &FakeSlotLibrary::current().aux);
    SlotManager empty(bound);
    outcome = RunCertificateImport(bound, empty, request, {});
    EXPECT_EQ(outcome.end, ImportDialogEnd::StayOpen);
    EXPECT_EQ(outcome.messageId, 0);
}

TEST(ImportFlowTest, ExtensionsChooseTheImporterAndThePasswordField) {
    EXPECT_EQ(ImportKindForPath("/a/b.P7B"), ImportKind::Pkcs7);
    EXPECT_EQ(ImportKindForPath("/a/b.Cer"), ImportKind::Certificate);
    EXPECT_EQ(ImportKindForPath("/a/b.pfx"), ImportKind::Pkcs12);
    EXPECT_EQ(ImportKindForPath("/a/b.txt"), ImportKind::Pkcs12);
    EXPECT_EQ(ImportKindForPath("/a.cer/b"), ImportKind::Pkcs12);
    EXPECT_FALSE(PasswordNeededForPath("x.CER"));
    EXPECT_FALSE(PasswordNeededForPath("x.p7b"));
    EXPECT_TRUE(PasswordNeededForPath("x.p12"));
    ASSERT_EQ(ImportFileFilters().size(), 4u);
    EXPECT_STREQ(ImportFileFilters()[1].pattern, "*p7b");
}

TEST(ImportResultTest, MessagesOfEveryResult) {
    const std::tuple<CK_ULONG, int, const char*> table[] = {
        {1, 5025, "Wrong password!"},
        {2, 5026, "Not enough space!"},
        {3, 5027, "File not found!"},
        {4, 5030, "Not supported certificate!"},
        {5, 5015, "Unkown error!"},
        {6, 5020, "Token is removed!"},
        {7, 5031, "Only support 1024-bit RSA key pair!"},
        {8, 5032, "Not supported certificate!"},
        {179, 5034, "Invalid session handle due to other operation."},
        {CKR_DEVICE_ERROR, 5015, "Unkown error!"},
    };
    for (auto [code, id, text] : table) {
        ImportResult result = importResultFromRv(code);
        EXPECT_EQ(importResultMessage(result).id, id) << code;
        EXPECT_EQ(importResultText(result), text) << code;
    }
    EXPECT_EQ(importResultMessage(ImportResult::Success).id, 0);
    EXPECT_EQ(importResultExitCode(ImportResult::SessionInvalid), 179);
    EXPECT_EQ(importResultExitCode(importResultFromRv(CKR_DEVICE_ERROR)), 5);
}

TEST(CertificateLabelTest, FirstOfCommonNameUnitOrganizationAndMail) {
    certs::EvpPkeyPtr key = fixtures::rsaKey();
    fixtures::CertRecipe ca;
    ca.subject = {"", "", "Test CA", ""};
    certs::X509Ptr issuer = fixtures::makeCertificate(ca, key.get(), key.get());
    const std::pair<fixtures::Name, const char*> cases[] = {
        {{"Alice", "Unit", "Org", "a@example.org"}, "Alice's Test CA ID"},
        {{"", "Unit", "Org", "a@example.org"}, "Unit's Test CA ID"},
        {{"", "", "Org", "a@example.org"}, "Org's Test CA ID"},
        {{"", "", "", "a@example.org"}, "a@example.org's Test CA ID"},
    };
    for (const auto& [name, label] : cases) {
        fixtures::CertRecipe recipe;
        recipe.subject = name;
        certs::X509Ptr certificate =
            fixtures::makeCertificate(recipe, key.get(), key.get(), issuer.get());
        EXPECT_EQ(MakeCertificateLabel(certificate.get()), label);
    }
}

TEST(CertificateDetailsTest, NamesValidityKeyFingerprintsAndExtensions) {
    certs::EvpPkeyPtr key = fixtures::rsaKey();
    fixtures::CertRecipe recipe;
    recipe.subject = {"Alice", "", "Example", ""};
    recipe.serial = 0x1234;
    certs::X509Ptr certificate = fixtures::makeCertificate(recipe, key.get(), key.get());
    Bytes der = EncodeCertificateDer(certificate.get());

    CertificateDetails details;
    ASSERT_TRUE(DescribeCertificate(der, details));
    EXPECT_EQ(details.version, "V3");
    EXPECT_EQ(details.subject, "CN=Alice,O=Example");
    EXPECT_EQ(details.issuer, details.subject);
    EXPECT_EQ(details.serialNumber, "12 34");
    EXPECT_EQ(details.publicKeyAlgorithm, "RSA");
    EXPECT_EQ(details.publicKeyBits, 2048);
    EXPECT_EQ(details.signatureAlgorithm, "sha256WithRSAEncryption");
    EXPECT_TRUE(
        std::regex_match(details.notAfter, std::regex(R"(\d{4}-\d\d-\d\d \d\d:\d\d:\d\d UTC)")))
        << details.notAfter;

    unsigned char digest[32];
    unsigned int length = 0;
    EVP_Digest(der.data(), der.size(), digest, &length, EVP_sha256(), nullptr);
    char first[4];
    std::snprintf(first, sizeof first, "%02X:", digest[0]);
    EXPECT_EQ(details.sha256Fingerprint.size(), 32u * 3 - 1);
    EXPECT_EQ(details.sha256Fingerprint.substr(0, 3), first);
    EXPECT_EQ(details.sha1Fingerprint.size(), 20u * 3 - 1);

    ASSERT_EQ(details.extensions.size(), 3u);
    EXPECT_EQ(details.extensions[0].oid, "2.5.29.19");
    EXPECT_EQ(details.extensions[0].name, "X509v3 Basic Constraints");
    EXPECT_TRUE(details.extensions[0].critical);
    EXPECT_EQ(details.extensions[0].value, "CA:FALSE");
    EXPECT_EQ(details.extensions[1].value, "Digital Signature, Key Encipherment");
    EXPECT_FALSE(details.extensions[2].critical);

    EXPECT_FALSE(DescribeCertificate(Bytes{0x30, 0x03, 0x02, 0x01, 0x00}, details));
}

TEST(ContainerRulesTest, ButtonsFollowSelectionAndCanModify) {
    TokenObjectInfo certificate{1, CKO_CERTIFICATE, "A", {}, {}};
    TokenObjectInfo privateKey{2, CKO_PRIVATE_KEY, "A", {}, {}};
    ContainerTree tree;
    tree.roots.push_back({&certificate,
                          "label",
                          {{&certificate, "Certificate", TreeImage::CertificateValid},
                           {&privateKey, "PrivateKey", TreeImage::PrivateKey}}});
    auto states = [&](int root, int child, bool canModify) {
        ButtonStates s = ButtonStatesFor(tree, TreeSelection{root, child}, canModify);
        return std::make_tuple(s.importEnabled, s.exportEnabled, s.viewEnabled, s.deleteEnabled);
    };
    EXPECT_EQ(states(-1, -1, true), std::make_tuple(true, false, false, false));
    EXPECT_EQ(states(0, -1, true), std::make_tuple(true, false, false, true));
    EXPECT_EQ(states(0, 0, true), std::make_tuple(true, true, true, true));
    EXPECT_EQ(states(0, 1, true), std::make_tuple(true, false, true, true));
    EXPECT_EQ(states(0, 1, false), std::make_tuple(false, false, true, false));
    EXPECT_EQ(states(3, -1, true), std::make_tuple(true, false, false, false));

    ButtonStates off;
    EXPECT_TRUE(TabLeavesView(FocusControl::Tree, off));
    EXPECT_TRUE(TabLeavesView(FocusControl::View, off));
    EXPECT_TRUE(TabLeavesView(FocusControl::Delete, off));
    ButtonStates some;
    some.viewEnabled = some.deleteEnabled = true;
    EXPECT_FALSE(TabLeavesView(FocusControl::Tree, some));
    EXPECT_FALSE(TabLeavesView(FocusControl::View, some));
    EXPECT_FALSE(TabLeavesView(FocusControl::Import, off));
}

} // namespace
