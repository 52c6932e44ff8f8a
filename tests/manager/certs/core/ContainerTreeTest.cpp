#include "CertViewerSource.h"
#include "CertFileImport.h"
#include "CertFixtures.h"
#include "ContainerModel.h"
#include "ObjectInspector.h"
#include "Pkcs12Import.h"
#include "TokenFixture.h"

#include <filesystem>
#include <map>

namespace {

class ContainerTreeTest : public TokenTest {
protected:
    void SetUp() override {
        TokenTest::SetUp();
        if (!ready_)
            return;
        key = fixtures::rsaKey();
        certificate = fixtures::selfSigned("Alice", key.get());
        fixtures::writeFile(path("alice.pfx"), fixtures::makePkcs12(key.get(), certificate.get()));
    }

    std::string importAlice() {
        ContainerNameResult name = MakeContainerName(library());
        EXPECT_EQ(ImportPkcs12File(fns(), session(), path("alice.pfx"), "secret", {}, name.name,
                                   UsageBoth, nullptr)
                      .result,
                  ImportResult::Success);
        return name.name;
    }

    ContainerTree build() { return BuildContainerTree(fns(), *slot(), std::time(nullptr)); }

    static std::vector<std::string> rootTexts(const ContainerTree& tree) {
        std::vector<std::string> texts;
        for (const auto& root : tree.roots)
            texts.push_back(root.text);
        return texts;
    }
    static std::vector<std::string> childTexts(const ContainerNode& root) {
        std::vector<std::string> texts;
        for (const auto& child : root.children)
            texts.push_back(child.text);
        return texts;
    }

    certs::EvpPkeyPtr key;
    certs::X509Ptr certificate;
};

TEST_F(ContainerTreeTest, CertificatesNameContainersAndOtherObjectsFallUnderTheToken) {
    std::string container = importAlice();
    std::string lower = container;
    for (char& c : lower)
        c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    ASSERT_NE(lower, container);

    certs::EvpPkeyPtr other = fixtures::rsaKey(2048, 1);
    fixtures::CertRecipe expired;
    expired.subject = {"Old", "", "", ""};
    expired.notBeforeDays = -30;
    expired.notAfterDays = -1;
    certs::X509Ptr expiredCertificate =
        fixtures::makeCertificate(expired, other.get(), other.get());
    certs::X509Ptr caseTwin = fixtures::selfSigned("Twin", other.get(), 7);
    putData("note", std::nullopt);
    putCertificate(caseTwin.get(), lower);
    putCertificate(expiredCertificate.get(), std::string("B"));

    ContainerTree tree = build();
    // The twin's name matches Alice's container without regard to case, so it names
    // no container; the exact comparison then gives it a root of its own.
    EXPECT_EQ(rootTexts(tree), (std::vector<std::string>{"Alice's Alice ID", "Old's Old ID",
                                                         "Demo token", "Demo token"}));
    EXPECT_EQ(childTexts(tree.roots[0]),
              (std::vector<std::string>{"Certificate", "PrivateKey", "PublicKey"}));
    EXPECT_EQ(tree.roots[0].children[0].image, TreeImage::CertificateValid);
    EXPECT_EQ(tree.roots[0].children[1].image, TreeImage::PrivateKey);
    EXPECT_EQ(tree.roots[0].children[2].image, TreeImage::PublicKey);
    ASSERT_EQ(tree.roots[1].children.size(), 1u);
    EXPECT_EQ(tree.roots[1].children[0].image, TreeImage::CertificateOutOfDate);
    EXPECT_EQ(childTexts(tree.roots[2]), std::vector<std::string>{"Data"});
    EXPECT_EQ(tree.roots[2].children[0].image, TreeImage::Data);
    EXPECT_EQ(tree.roots[3].record->containerName, lower);
    EXPECT_EQ(tree.knownCertificates.size(), 3u);
    EXPECT_EQ(tree.knownCertificates[0], EncodeCertificateDer(certificate.get()));
    EXPECT_EQ(InitialSelection(tree).root, 0);
}

TEST_F(ContainerTreeTest, UnknownKindsAndUnreadableCertificatesMakeNoItems) {
    importAlice();
    CK_OBJECT_HANDLE secret = putData("pretend secret", std::nullopt);
    CK_OBJECT_HANDLE aliceCertificate = CK_INVALID_HANDLE;
    for (CK_OBJECT_HANDLE handle : objects())
        if (objectClass(handle) == CKO_CERTIFICATE)
            aliceCertificate = handle;
    intercept().onGetAttribute = [&](CK_OBJECT_HANDLE handle, CK_ATTRIBUTE_PTR attributes,
                                     CK_ULONG count) -> std::optional<CK_RV> {
        if (handle == secret && count == 1 && attributes[0].type == CKA_CLASS) {
            if (attributes[0].pValue != nullptr)
                *static_cast<CK_OBJECT_CLASS*>(attributes[0].pValue) = CKO_SECRET_KEY;
            attributes[0].ulValueLen = sizeof(CK_OBJECT_CLASS);
            return CKR_OK;
        }
        if (handle == aliceCertificate && count == 1 && attributes[0].type == CKA_VALUE)
            return CKR_DEVICE_ERROR;
        return std::nullopt;
    };
    ContainerTree tree = build();
    // No container node for the unreadable certificate: its keys hang under the token.
    ASSERT_EQ(rootTexts(tree), std::vector<std::string>{"Demo token"});
    EXPECT_EQ(childTexts(tree.roots[0]), (std::vector<std::string>{"PrivateKey", "PublicKey"}));
    EXPECT_TRUE(tree.knownCertificates.empty());
}

TEST_F(ContainerTreeTest, NoTreeWithoutARecognizedToken) {
    importAlice();
    slot()->tokenRecognized = false;
    EXPECT_TRUE(build().roots.empty());
    slot()->tokenRecognized = true;
    EXPECT_EQ(build().roots.size(), 1u);
}

TEST_F(ContainerTreeTest, DeletingAContainerDestroysEveryChild) {
    importAlice();
    putData("note", std::nullopt);
    ContainerTree tree = build();
    ASSERT_EQ(tree.roots.size(), 2u);

    ScriptedPrompter no({false});
    DeleteOutcome kept = DeleteSelection(fns(), slot(), tree, TreeSelection{0, -1}, no);
    EXPECT_EQ(no.asked, std::vector<int>{1260});
    EXPECT_FALSE(kept.attempted);
    EXPECT_EQ(objects().size(), 4u);

    ScriptedPrompter yes({true});
    DeleteOutcome outcome = DeleteSelection(fns(), slot(), tree, TreeSelection{0, -1}, yes);
    EXPECT_TRUE(outcome.succeeded);
    EXPECT_EQ(outcome.message.id, 1261);
    EXPECT_STREQ(outcome.message.defaultText, "Delete data successfully!");
    EXPECT_EQ(objects().size(), 1u);
    EXPECT_EQ(intercept().destroyed.size(), 3u);
    EXPECT_EQ(rootTexts(tree), std::vector<std::string>{"Demo token"});
    EXPECT_TRUE(tree.knownCertificates.empty());
    EXPECT_EQ(outcome.selection.root, 0);
    EXPECT_EQ(outcome.selection.child, -1);
}

// Deleting a certificate leaves its container without one: the tree after
// the delete is the one a refresh shows, names and order included.
TEST_F(ContainerTreeTest, TheTreeAfterADeleteIsTheTreeOfARefresh) {
    std::string alice = importAlice();
    certs::EvpPkeyPtr otherKey = fixtures::rsaKey(2048, 1);
    putCertificate(fixtures::selfSigned("Bob", otherKey.get()).get(), std::string("BOB"));
    ContainerTree tree = build();
    ASSERT_EQ(rootTexts(tree), (std::vector<std::string>{"Alice's Alice ID", "Bob's Bob ID"}));
    ASSERT_EQ(childTexts(tree.roots[0]),
              (std::vector<std::string>{"Certificate", "PrivateKey", "PublicKey"}));

    ScriptedPrompter yes({true});
    DeleteOutcome outcome = DeleteSelection(fns(), slot(), tree, TreeSelection{0, 0}, yes);
    ASSERT_TRUE(outcome.succeeded);
    auto describe = [](const ContainerTree& t) {
        std::vector<std::string> lines;
        for (const ContainerNode& root : t.roots) {
            lines.push_back(root.text + " | " + root.record->containerName);
            for (const ObjectNode& child : root.children)
                lines.push_back("  " + child.text);
        }
        return lines;
    };
    ContainerTree refreshed = build();
    EXPECT_EQ(describe(tree), describe(refreshed));
    EXPECT_EQ(rootTexts(tree), (std::vector<std::string>{"Bob's Bob ID", "Demo token"}));
    EXPECT_EQ(tree.roots[1].record->containerName, alice);
    EXPECT_EQ(tree.knownCertificates, refreshed.knownCertificates);
    EXPECT_EQ(outcome.selection.root, 0);
    EXPECT_EQ(outcome.selection.child, -1);
}

TEST_F(ContainerTreeTest, DeletingTheLastObjectRemovesItsContainer) {
    putData("note", std::nullopt);
    ContainerTree tree = build();
    ASSERT_EQ(tree.roots.size(), 1u);
    ScriptedPrompter yes({true});
    DeleteOutcome outcome = DeleteSelection(fns(), slot(), tree, TreeSelection{0, 0}, yes);
    EXPECT_TRUE(outcome.succeeded);
    EXPECT_TRUE(tree.roots.empty());
    EXPECT_TRUE(outcome.selection.none());
    EXPECT_FALSE(ButtonStatesFor(tree, outcome.selection, true).deleteEnabled);
    EXPECT_TRUE(objects().empty());
}

TEST_F(ContainerTreeTest, FailedDestroyStopsWithMessageAndKeepsWhatWasDone) {
    importAlice();
    ContainerTree tree = build();
    ASSERT_EQ(tree.roots[0].children.size(), 3u);
    int calls = 0;
    intercept().onDestroy = [&](CK_OBJECT_HANDLE) -> std::optional<CK_RV> {
        if (++calls == 2)
            return CKR_DEVICE_ERROR;
        return std::nullopt;
    };
    ScriptedPrompter yes({true});
    DeleteOutcome outcome = DeleteSelection(fns(), slot(), tree, TreeSelection{0, -1}, yes);
    EXPECT_FALSE(outcome.succeeded);
    EXPECT_EQ(outcome.message.id, 1262);
    EXPECT_STREQ(outcome.message.defaultText, "Delete data failed!");
    EXPECT_EQ(outcome.rv, static_cast<CK_RV>(CKR_DEVICE_ERROR));
    EXPECT_EQ(objects().size(), 2u);
    ASSERT_EQ(tree.roots.size(), 1u);
    EXPECT_EQ(childTexts(tree.roots[0]), (std::vector<std::string>{"PrivateKey", "PublicKey"}));
    // The certificate did go: the duplicate test must not ask about it any more.
    EXPECT_TRUE(tree.knownCertificates.empty());
}

TEST_F(ContainerTreeTest, InspectorRowsOfImportedObjects) {
    importAlice();
    ContainerTree tree = build();
    std::map<CK_OBJECT_CLASS, const TokenObjectInfo*> records;
    for (const auto& child : tree.roots[0].children)
        records[child.record->objectClass] = child.record;

    std::vector<InspectorRow> rows = ReadInspectorRows(fns(), 1, *records[CKO_CERTIFICATE]);
    ASSERT_EQ(rows.size(), 12u);
    EXPECT_EQ(rows[1].name, "CKA_TOKEN");
    EXPECT_EQ(rows[1].value, "TRUE");
    EXPECT_EQ(rows[2].value, "FALSE");
    EXPECT_EQ(rows[10].name, "CKA_VALUE");
    Bytes der = EncodeCertificateDer(certificate.get());
    EXPECT_EQ(rows[10].bytes, der);
    std::string dump = InspectorRowDump(rows[10]);
    EXPECT_EQ(dump.substr(0, 6), "30 82 ");
    EXPECT_EQ(std::count(dump.begin(), dump.end(), '\n'),
              static_cast<long>((der.size() + 15) / 16));
    EXPECT_EQ(rows[11].bytes.size(), 37u);

    rows = ReadInspectorRows(fns(), 1, *records[CKO_PRIVATE_KEY]);
    ASSERT_EQ(rows.size(), 23u);
    EXPECT_EQ(rows[12].name, "CKA_SENSITIVE");
    EXPECT_EQ(rows[12].value, "TRUE");
    EXPECT_EQ(rows[13].value, "TRUE"); // CKA_DECRYPT
    EXPECT_EQ(ReadInspectorRows(fns(), 1, *records[CKO_PUBLIC_KEY]).size(), 18u);

    TokenObjectInfo other{records[CKO_CERTIFICATE]->handle, CKO_SECRET_KEY, {}, {}, {}};
    EXPECT_TRUE(ReadInspectorRows(fns(), 1, other).empty());
    EXPECT_TRUE(ReadInspectorRows(fns(), 99, *records[CKO_CERTIFICATE]).empty());
}

TEST_F(ContainerTreeTest, ObjectsOfOtherToolsShowEveryAttributeTheyHave) {
    CK_OBJECT_HANDLE foreign = putCertificate(certificate.get(), std::nullopt);
    TokenObjectInfo record{foreign, CKO_CERTIFICATE, {}, {}, {}};
    std::vector<InspectorRow> rows = ReadInspectorRows(fns(), 1, record);
    ASSERT_EQ(rows.size(), 12u);
    for (size_t i = 0; i + 1 < rows.size(); ++i)
        EXPECT_TRUE(rows[i].available) << rows[i].name;
    EXPECT_EQ(rows[10].bytes, EncodeCertificateDer(certificate.get()));
    EXPECT_EQ(rows[11].name, "CKA_CONTAINER_NAME");
    EXPECT_FALSE(rows[11].available);
    EXPECT_TRUE(rows[11].bytes.empty());
}

TEST_F(ContainerTreeTest, ExportAndViewerReadTheStoredValue) {
    CK_OBJECT_HANDLE handle = putCertificate(certificate.get(), std::string("X"));
    CertificateDetails details;
    EXPECT_EQ(ReadCertificateForViewer(fns(), 1, handle, details), static_cast<CK_RV>(CKR_OK));
    EXPECT_EQ(details.subject, "CN=Alice");

    EXPECT_NE(ExportCertificate(fns(), 1, handle, path("missing/folder/out.cer")),
              static_cast<CK_RV>(CKR_OK));
    EXPECT_NE(ExportCertificate(fns(), 1, handle + 1000, path("none.cer")),
              static_cast<CK_RV>(CKR_OK));
    EXPECT_FALSE(std::filesystem::exists(path("none.cer")));
    EXPECT_NE(ExportCertificate(fns(), 99, handle, path("none.cer")), static_cast<CK_RV>(CKR_OK));
    EXPECT_FALSE(std::filesystem::exists(path("none.cer")));
    // A pattern is never a file name, from the dialog or the command line.
    for (const char* pattern : {"*.cer", "cert?.cer"}) {
        EXPECT_EQ(ExportCertificate(fns(), 1, handle, path(pattern)),
                  static_cast<CK_RV>(CKR_ARGUMENTS_BAD));
        EXPECT_FALSE(std::filesystem::exists(path(pattern))) << pattern;
    }
    EXPECT_EQ(ExportCertificate(fns(), 1, handle, path("plain.cer")), static_cast<CK_RV>(CKR_OK));
}

TEST_F(ContainerTreeTest, LengthsBeyondAnyRealValueAreFailedReadsWithoutAllocating) {
    CK_OBJECT_HANDLE handle = putCertificate(certificate.get(), std::string("X"));
    const Bytes der = EncodeCertificateDer(certificate.get());
    for (CK_ULONG reported : {kMaxAttributeLength, kMaxAttributeLength + 1,
                              static_cast<CK_ULONG>(CK_UNAVAILABLE_INFORMATION - 1)}) {
        const bool refused = reported > kMaxAttributeLength;
        bool bufferForValue = false;
        // The token claims a huge CKA_VALUE in the length query, then answers
        // the real value into whatever buffer it is given.
        intercept().onGetAttribute = [&](CK_OBJECT_HANDLE object, CK_ATTRIBUTE_PTR attributes,
                                         CK_ULONG count) -> std::optional<CK_RV> {
            CK_ATTRIBUTE_PTR value = nullptr;
            for (CK_ULONG i = 0; i < count; ++i)
                if (attributes[i].type == CKA_VALUE)
                    value = &attributes[i];
            if (object != handle || value == nullptr)
                return std::nullopt;
            if (value->pValue != nullptr) {
                bufferForValue = true;
                return std::nullopt;
            }
            CK_RV rv = realFns()->C_GetAttributeValue(session(), object, attributes, count);
            value->ulValueLen = reported;
            return rv;
        };
        Bytes read;
        EXPECT_EQ(ReadAttributeValue(fns(), session(), handle, CKA_VALUE, read),
                  refused ? static_cast<CK_RV>(CKR_GENERAL_ERROR) : static_cast<CK_RV>(CKR_OK))
            << reported;
        EXPECT_EQ(read, refused ? Bytes() : der);
        EXPECT_EQ(bufferForValue, !refused);

        bufferForValue = false;
        CertificateDetails details;
        EXPECT_EQ(ReadCertificateForViewer(fns(), 1, handle, details) == CKR_OK, !refused);
        EXPECT_EQ(ExportCertificate(fns(), 1, handle, path("out.cer")) == CKR_OK, !refused);
        EXPECT_EQ(std::filesystem::exists(path("out.cer")), !refused);
        std::filesystem::remove(path("out.cer"));

        bufferForValue = false;
        TokenObjectInfo record{handle, CKO_CERTIFICATE, {}, {}, {}};
        std::vector<InspectorRow> rows = ReadInspectorRows(fns(), 1, record);
        ASSERT_EQ(rows.size(), 12u);
        EXPECT_EQ(rows[10].name, "CKA_VALUE");
        EXPECT_EQ(rows[10].available, !refused);
        EXPECT_EQ(rows[10].bytes, refused ? Bytes() : der);
        EXPECT_EQ(bufferForValue, !refused);
        // The other attributes are read as usual.
        EXPECT_TRUE(rows[1].available);
        EXPECT_EQ(rows[1].value, "TRUE");
    }
}

} // namespace
