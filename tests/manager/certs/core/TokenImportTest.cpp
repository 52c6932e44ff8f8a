#include "CertFileImport.h"
#include "CertFixtures.h"
#include "ImportFlow.h"
#include "Pkcs12Import.h"
#include "TokenFixture.h"

#include <openssl/core_names.h>
#include <openssl/param_build.h>

#include <filesystem>

namespace {

std::vector<CK_ATTRIBUTE_TYPE> typesOf(const std::vector<RecordedAttribute>& attributes) {
    std::vector<CK_ATTRIBUTE_TYPE> types;
    for (const auto& attribute : attributes)
        types.push_back(attribute.type);
    return types;
}

const RecordedAttribute* find(const std::vector<RecordedAttribute>& attributes,
                              CK_ATTRIBUTE_TYPE type) {
    for (const auto& attribute : attributes)
        if (attribute.type == type)
            return &attribute;
    return nullptr;
}

CK_OBJECT_CLASS classOf(const std::vector<RecordedAttribute>& attributes) {
    const RecordedAttribute* value = find(attributes, CKA_CLASS);
    CK_OBJECT_CLASS objectClass = ~0UL;
    if (value != nullptr && value->value.size() == sizeof objectClass)
        std::copy(value->value.begin(), value->value.end(),
                  reinterpret_cast<unsigned char*>(&objectClass));
    return objectClass;
}

// Answers C_CreateObject with `rv` for objects of one class.
auto refuse(CK_OBJECT_CLASS objectClass, CK_RV rv) {
    return [objectClass,
            rv](const std::vector<RecordedAttribute>& attributes) -> std::optional<CK_RV> {
        if (classOf(attributes) == objectClass)
            return rv;
        return std::nullopt;
    };
}

Bytes bnBytes(const EVP_PKEY* key, const char* name) {
    BIGNUM* value = nullptr;
    EVP_PKEY_get_bn_param(key, name, &value);
    Bytes bytes(static_cast<size_t>(BN_num_bytes(value)));
    BN_bn2bin(value, bytes.data());
    BN_free(value);
    return bytes;
}

class ImportTest : public TokenTest {
protected:
    void SetUp() override {
        TokenTest::SetUp();
        if (!ready_)
            return;
        key = fixtures::rsaKey();
        certificate = fixtures::selfSigned("Alice", key.get());
        pfx = path("alice.pfx");
        fixtures::writeFile(pfx, fixtures::makePkcs12(key.get(), certificate.get()));
    }

    ImportFlowOutcome run(const std::string& file, const std::string& password = "secret",
                          std::vector<Bytes> known = {}) {
        ImportRequest request{1, file, password, std::move(known), std::nullopt};
        ImportFlowHooks hooks;
        hooks.prompter = &prompter;
        hooks.closeEarly = [this] { ++closedEarly; };
        hooks.wait = [this](std::chrono::milliseconds ms) {
            waits.push_back(ms);
            if (pullTokenDuringWait)
                slot()->tokenPresent = false;
        };
        return RunCertificateImport(library(), slots(), request, hooks);
    }

    // The message id a failed import shows, after checking it closed the dialog first.
    int failureMessage(const std::string& file, const std::string& password = "secret") {
        closedEarly = 0;
        ImportFlowOutcome outcome = run(file, password);
        EXPECT_EQ(outcome.end, ImportDialogEnd::Cancelled);
        EXPECT_FALSE(outcome.imported);
        EXPECT_EQ(closedEarly, 1);
        return outcome.messageId;
    }

    std::vector<Bytes> knownNow() {
        std::vector<Bytes> known;
        for (CK_OBJECT_HANDLE handle : objects())
            if (objectClass(handle) == CKO_CERTIFICATE)
                known.push_back(attribute(handle, CKA_VALUE));
        return known;
    }

    certs::EvpPkeyPtr key;
    certs::X509Ptr certificate;
    std::string pfx;
    ScriptedPrompter prompter;
    int closedEarly = 0;
    bool pullTokenDuringWait = false;
    std::vector<std::chrono::milliseconds> waits;
};

TEST_F(ImportTest, Pkcs12BecomesOneContainerOfThreeObjects) {
    CK_ULONG freeBefore = slot()->tokenNumber(3);
    ImportFlowOutcome outcome = run(pfx);
    EXPECT_TRUE(RefreshSlotAfterImport(slots(), 1));
    EXPECT_LT(slot()->tokenNumber(3), freeBefore);
    EXPECT_FALSE(RefreshSlotAfterImport(slots(), 7));
    EXPECT_FALSE(ImportAllowedForSlot(0));
    EXPECT_EQ(outcome.result, ImportResult::Success);
    EXPECT_EQ(outcome.end, ImportDialogEnd::Accepted);
    EXPECT_TRUE(outcome.imported);
    EXPECT_EQ(outcome.messageId, 0);
    EXPECT_EQ(closedEarly, 0);
    EXPECT_EQ(waits, std::vector<std::chrono::milliseconds>{std::chrono::milliseconds(1000)});

    std::vector<CK_OBJECT_HANDLE> handles = objects();
    ASSERT_EQ(handles.size(), 3u);
    std::map<CK_OBJECT_CLASS, CK_OBJECT_HANDLE> byClass;
    for (CK_OBJECT_HANDLE handle : handles)
        byClass[objectClass(handle)] = handle;
    ASSERT_EQ(byClass.size(), 3u);
    CK_OBJECT_HANDLE cert = byClass[CKO_CERTIFICATE], priv = byClass[CKO_PRIVATE_KEY],
                     pub = byClass[CKO_PUBLIC_KEY];

    Bytes container = attribute(cert, CKA_CONTAINER_NAME);
    ASSERT_EQ(container.size(), 37u);
    EXPECT_EQ(container.back(), 0);
    Bytes id = attribute(cert, CKA_ID);
    EXPECT_EQ(id.size(), 36u);
    EXPECT_NE(Bytes(container.begin(), container.end() - 1), id);
    const std::string label = "Alice's Alice ID";
    for (CK_OBJECT_HANDLE handle : {cert, priv, pub}) {
        EXPECT_EQ(attribute(handle, CKA_CONTAINER_NAME), container);
        EXPECT_EQ(attribute(handle, CKA_ID), id);
        EXPECT_EQ(attribute(handle, CKA_LABEL), Bytes(label.begin(), label.end()));
        EXPECT_TRUE(boolAttribute(handle, CKA_TOKEN));
    }

    Bytes der = EncodeCertificateDer(certificate.get());
    EXPECT_EQ(attribute(cert, CKA_VALUE), der);
    EXPECT_EQ(ulongAttribute(cert, CKA_CERTIFICATE_TYPE), CKC_X_509);
    EXPECT_FALSE(boolAttribute(cert, CKA_PRIVATE));
    unsigned char* name = nullptr;
    int length = i2d_X509_NAME(X509_get_subject_name(certificate.get()), &name);
    Bytes subject(name, name + length);
    OPENSSL_free(name);
    EXPECT_EQ(attribute(cert, CKA_SUBJECT), subject);
    EXPECT_EQ(attribute(cert, CKA_ISSUER), subject);
    EXPECT_EQ(attribute(cert, CKA_SERIAL_NUMBER), (Bytes{0x02, 0x01, 0x01}));

    EXPECT_EQ(ulongAttribute(priv, CKA_KEY_TYPE), CKK_RSA);
    EXPECT_TRUE(boolAttribute(priv, CKA_PRIVATE));
    EXPECT_TRUE(boolAttribute(priv, CKA_DECRYPT));
    EXPECT_TRUE(boolAttribute(priv, CKA_SIGN));
    EXPECT_FALSE(boolAttribute(priv, CKA_LOCAL));
    EXPECT_EQ(attribute(priv, CKA_SUBJECT), subject);
    EXPECT_EQ(attribute(priv, CKA_MODULUS), bnBytes(key.get(), OSSL_PKEY_PARAM_RSA_N));

    EXPECT_EQ(ulongAttribute(pub, CKA_KEY_TYPE), CKK_RSA);
    EXPECT_FALSE(boolAttribute(pub, CKA_PRIVATE));
    EXPECT_TRUE(boolAttribute(pub, CKA_ENCRYPT));
    EXPECT_TRUE(boolAttribute(pub, CKA_VERIFY));
    EXPECT_EQ(attribute(pub, CKA_MODULUS), bnBytes(key.get(), OSSL_PKEY_PARAM_RSA_N));
    EXPECT_EQ(attribute(pub, CKA_PUBLIC_EXPONENT), (Bytes{0x01, 0x00, 0x01}));

    ASSERT_EQ(intercept().created.size(), 3u);
    EXPECT_EQ(typesOf(intercept().created[0]),
              (std::vector<CK_ATTRIBUTE_TYPE>{
                  CKA_CLASS, CKA_TOKEN, CKA_PRIVATE, CKA_LABEL, CKA_CERTIFICATE_TYPE, CKA_SUBJECT,
                  CKA_ISSUER, CKA_SERIAL_NUMBER, CKA_VALUE, CKA_ID, CKA_CONTAINER_NAME}));
    EXPECT_EQ(typesOf(intercept().created[1]),
              (std::vector<CK_ATTRIBUTE_TYPE>{
                  CKA_CLASS, CKA_TOKEN, CKA_PRIVATE, CKA_LABEL, CKA_KEY_TYPE, CKA_ID, CKA_LOCAL,
                  CKA_SUBJECT, CKA_MODULUS, CKA_PUBLIC_EXPONENT, CKA_PRIVATE_EXPONENT, CKA_PRIME_1,
                  CKA_PRIME_2, CKA_EXPONENT_1, CKA_EXPONENT_2, CKA_COEFFICIENT, CKA_CONTAINER_NAME,
                  CKA_DECRYPT, CKA_SIGN}));
    EXPECT_EQ(typesOf(intercept().created[2]),
              (std::vector<CK_ATTRIBUTE_TYPE>{CKA_CLASS, CKA_TOKEN, CKA_PRIVATE, CKA_LABEL,
                                              CKA_KEY_TYPE, CKA_ID, CKA_LOCAL, CKA_SUBJECT,
                                              CKA_MODULUS, CKA_PUBLIC_EXPONENT, CKA_CONTAINER_NAME,
                                              CKA_ENCRYPT, CKA_VERIFY}));
    // Class and key type travel as CK_ULONG, booleans as one byte.
    EXPECT_EQ(intercept().created[1][0].value.size(), sizeof(CK_ULONG));
    EXPECT_EQ(intercept().created[1][4].value.size(), sizeof(CK_ULONG));
    EXPECT_EQ(intercept().created[1][1].value.size(), 1u);
}

TEST_F(ImportTest, KeyUsageSetsDecryptSignEncryptVerify) {
    for (KeyUsage usage : {UsageSign, UsageEncrypt}) {
        ImportOutcome outcome = ImportPkcs12File(fns(), session(), pfx, "secret", {},
                                                 "C" + std::to_string(usage), usage, nullptr);
        ASSERT_EQ(outcome.result, ImportResult::Success);
        for (CK_OBJECT_HANDLE handle : objects()) {
            Bytes container = attribute(handle, CKA_CONTAINER_NAME);
            if (container != Bytes{'C', static_cast<unsigned char>('0' + usage), 0})
                continue;
            bool encrypting = usage == UsageEncrypt;
            if (objectClass(handle) == CKO_PRIVATE_KEY) {
                EXPECT_EQ(boolAttribute(handle, CKA_DECRYPT), encrypting);
                EXPECT_EQ(boolAttribute(handle, CKA_SIGN), !encrypting);
            } else if (objectClass(handle) == CKO_PUBLIC_KEY) {
                EXPECT_EQ(boolAttribute(handle, CKA_ENCRYPT), encrypting);
                EXPECT_EQ(boolAttribute(handle, CKA_VERIFY), !encrypting);
            }
        }
    }
    EXPECT_EQ(objects().size(), 6u);
}

// A key whose private exponent is off by one but whose CRT values are right.
certs::EvpPkeyPtr keyWithWrongExponent(EVP_PKEY* good, bool breakCrtToo) {
    const char* names[] = {OSSL_PKEY_PARAM_RSA_N,         OSSL_PKEY_PARAM_RSA_E,
                           OSSL_PKEY_PARAM_RSA_D,         OSSL_PKEY_PARAM_RSA_FACTOR1,
                           OSSL_PKEY_PARAM_RSA_FACTOR2,   OSSL_PKEY_PARAM_RSA_EXPONENT1,
                           OSSL_PKEY_PARAM_RSA_EXPONENT2, OSSL_PKEY_PARAM_RSA_COEFFICIENT1};
    OSSL_PARAM_BLD* builder = OSSL_PARAM_BLD_new();
    std::vector<BIGNUM*> values;
    for (const char* name : names) {
        BIGNUM* value = nullptr;
        EVP_PKEY_get_bn_param(good, name, &value);
        if (std::string(name) == OSSL_PKEY_PARAM_RSA_D ||
            (breakCrtToo && std::string(name) == OSSL_PKEY_PARAM_RSA_EXPONENT1))
            BN_add_word(value, 2);
        OSSL_PARAM_BLD_push_BN(builder, name, value);
        values.push_back(value);
    }
    OSSL_PARAM* params = OSSL_PARAM_BLD_to_param(builder);
    EVP_PKEY_CTX* ctx = EVP_PKEY_CTX_new_from_name(nullptr, "RSA", nullptr);
    EVP_PKEY* key = nullptr;
    EVP_PKEY_fromdata_init(ctx);
    EVP_PKEY_fromdata(ctx, &key, EVP_PKEY_KEYPAIR, params);
    EVP_PKEY_CTX_free(ctx);
    OSSL_PARAM_free(params);
    OSSL_PARAM_BLD_free(builder);
    for (BIGNUM* value : values)
        BN_free(value);
    return certs::EvpPkeyPtr(key);
}

TEST_F(ImportTest, FailingKeyCheckRecomputesThePrivateExponent) {
    certs::EvpPkeyPtr damaged = keyWithWrongExponent(key.get(), false);
    ASSERT_TRUE(damaged);
    fixtures::writeFile(pfx, fixtures::makePkcs12(damaged.get(), certificate.get()));
    ASSERT_EQ(run(pfx).result, ImportResult::Success);

    // e^-1 mod (p-1)(q-1), computed here on its own.
    BIGNUM *p = nullptr, *q = nullptr, *e = nullptr;
    EVP_PKEY_get_bn_param(key.get(), OSSL_PKEY_PARAM_RSA_FACTOR1, &p);
    EVP_PKEY_get_bn_param(key.get(), OSSL_PKEY_PARAM_RSA_FACTOR2, &q);
    EVP_PKEY_get_bn_param(key.get(), OSSL_PKEY_PARAM_RSA_E, &e);
    BN_CTX* ctx = BN_CTX_new();
    BN_sub_word(p, 1);
    BN_sub_word(q, 1);
    BIGNUM* phi = BN_new();
    BN_mul(phi, p, q, ctx);
    BIGNUM* d = BN_mod_inverse(nullptr, e, phi, ctx);
    Bytes expected(static_cast<size_t>(BN_num_bytes(d)));
    BN_bn2bin(d, expected.data());
    for (BIGNUM* value : {p, q, e, phi, d})
        BN_free(value);
    BN_CTX_free(ctx);

    ASSERT_EQ(intercept().created.size(), 3u);
    const RecordedAttribute* exponent = find(intercept().created[1], CKA_PRIVATE_EXPONENT);
    ASSERT_NE(exponent, nullptr);
    EXPECT_EQ(exponent->value, expected);
}

TEST_F(ImportTest, KeyThatStaysBrokenWritesNothing) {
    certs::EvpPkeyPtr damaged = keyWithWrongExponent(key.get(), true);
    fixtures::writeFile(pfx, fixtures::makePkcs12(damaged.get(), certificate.get()));
    // The token was not refused anything: no room is not the reason.
    EXPECT_EQ(failureMessage(pfx), 5030);
    EXPECT_TRUE(objects().empty());
    EXPECT_EQ(intercept().created.size(), 1u); // the certificate, destroyed again
    EXPECT_EQ(intercept().destroyed.size(), 1u);
}

// Only the token's memory errors read "Not enough space!"; any other refusal
// gives its own message or the general one, never one of a code that merely
// shares its number (CKR_FUNCTION_FAILED is 6, "Token is removed!").
TEST_F(ImportTest, RefusedObjectsRollBackAndMapToTheirMessages) {
    const std::tuple<CK_OBJECT_CLASS, CK_RV, int> cases[] = {
        {CKO_PUBLIC_KEY, CKR_DEVICE_MEMORY, 5026},
        {CKO_CERTIFICATE, CKR_HOST_MEMORY, 5026},
        {CKO_PRIVATE_KEY, CKR_KEY_TYPE_INCONSISTENT, 5032},
        {CKO_PRIVATE_KEY, CKR_MECHANISM_PARAM_INVALID, 5031},
        {CKO_PRIVATE_KEY, CKR_PIN_INCORRECT, 5025},
        {CKO_CERTIFICATE, CKR_SESSION_HANDLE_INVALID, 5034},
        {CKO_CERTIFICATE, CKR_DEVICE_ERROR, 5015},
        {CKO_PRIVATE_KEY, CKR_FUNCTION_FAILED, 5015},
        {CKO_PUBLIC_KEY, CKR_TEMPLATE_INCONSISTENT, 5015},
    };
    for (auto [refused, rv, message] : cases) {
        intercept().created.clear();
        intercept().destroyed.clear();
        intercept().onCreate = refuse(refused, rv);
        EXPECT_EQ(failureMessage(pfx), message) << std::hex << rv;
        EXPECT_TRUE(objects().empty()) << std::hex << rv;
        size_t written = refused == CKO_PUBLIC_KEY ? 2 : refused == CKO_PRIVATE_KEY ? 1 : 0;
        EXPECT_EQ(intercept().destroyed.size(), written);
    }
}

TEST_F(ImportTest, FileProblemsAndRemovedTokensHaveTheirMessages) {
    EXPECT_EQ(failureMessage(pfx, "wrong"), 5025);
    EXPECT_EQ(failureMessage(path("missing.pfx")), 5027);
    certs::EvpPkeyPtr ec = fixtures::ecKey();
    certs::X509Ptr ecCertificate = fixtures::selfSigned("Eve", ec.get());
    std::string ecFile = path("ec.p12");
    fixtures::writeFile(ecFile, fixtures::makePkcs12(ec.get(), ecCertificate.get()));
    EXPECT_EQ(failureMessage(ecFile), 5030);
    // Any extension other than .cer and .p7b is read as PKCS#12.
    std::string text = path("notes.txt");
    fixtures::writeFile(text, fixtures::readFile(pfx));
    EXPECT_EQ(run(text).result, ImportResult::Success);

    pullTokenDuringWait = true;
    EXPECT_EQ(failureMessage(pfx, "wrong"), 5020);
}

TEST_F(ImportTest, SessionThatCannotBeCheckedEndsBeforeAnyImport) {
    intercept().sessionInfoResult = CKR_SESSION_HANDLE_INVALID;
    ImportFlowOutcome outcome = run(pfx);
    EXPECT_EQ(outcome.end, ImportDialogEnd::Cancelled);
    EXPECT_EQ(outcome.messageId, 5034);
    EXPECT_STREQ(outcome.messageDefault, "Invalid session handle due to other operation.");
    EXPECT_FALSE(outcome.ran);
    EXPECT_TRUE(intercept().created.empty());
}

TEST_F(ImportTest, DuplicatePkcs12AskedYesWritesASecondCopyAndNoClosesSilently) {
    ASSERT_EQ(run(pfx).result, ImportResult::Success);
    waits.clear();

    prompter = ScriptedPrompter({false});
    ImportFlowOutcome declined = run(pfx, "secret", knownNow());
    EXPECT_EQ(prompter.asked, std::vector<int>{5033});
    EXPECT_EQ(prompter.texts[0], "The certificate already exists, continue?");
    EXPECT_TRUE(declined.declined);
    EXPECT_NE(declined.result, ImportResult::Success);
    EXPECT_EQ(declined.end, ImportDialogEnd::Cancelled);
    EXPECT_EQ(declined.messageId, 0);
    EXPECT_TRUE(waits.empty());
    EXPECT_EQ(objects().size(), 3u);

    prompter = ScriptedPrompter({true});
    ImportFlowOutcome accepted = run(pfx, "secret", knownNow());
    EXPECT_FALSE(accepted.declined);
    EXPECT_EQ(accepted.end, ImportDialogEnd::Accepted);
    EXPECT_EQ(objects().size(), 6u);
}

TEST_F(ImportTest, CertificateFilesInEveryEncodingImportWithIdHello) {
    Bytes der = EncodeCertificateDer(certificate.get());
    certs::EvpPkeyPtr small = fixtures::ed25519Key();
    fixtures::CertRecipe tiny;
    tiny.subject = {"t", "", "", ""};
    tiny.extensions = false;
    certs::X509Ptr tinyCertificate = fixtures::makeCertificate(tiny, small.get(), small.get());
    Bytes tinyDer = EncodeCertificateDer(tinyCertificate.get());
    ASSERT_LT(tinyDer.size(), 256u);
    ASSERT_EQ(tinyDer[1], 0x81);

    const std::pair<std::string, Bytes> files[] = {
        {"der.cer", der},
        {"tiny.cer", tinyDer},
        {"pem.cer",
         [&] {
             std::string t = fixtures::pem(certificate.get());
             return Bytes(t.begin(), t.end());
         }()},
        {"bare.CER",
         [&] {
             std::string t = fixtures::base64(der, 0);
             return Bytes(t.begin(), t.end());
         }()},
        {"odd.cer",
         [&] {
             std::string t = fixtures::base64(der, 37, "\r\n");
             return Bytes(t.begin(), t.end());
         }()},
    };
    size_t expected = 0;
    for (const auto& [name, content] : files) {
        fixtures::writeFile(path(name), content);
        ImportFlowOutcome outcome = run(path(name));
        EXPECT_EQ(outcome.result, ImportResult::Success) << name;
        EXPECT_EQ(outcome.end, ImportDialogEnd::Accepted) << name;
        ASSERT_EQ(objects().size(), ++expected) << name;
        CK_OBJECT_HANDLE written = objects().back();
        EXPECT_EQ(attribute(written, CKA_ID), (Bytes{'h', 'e', 'l', 'l', 'o'}));
        EXPECT_EQ(attribute(written, CKA_CONTAINER_NAME).size(), 37u);
    }
}

TEST_F(ImportTest, DuplicateCertificateFileNoKeepsTheDialogOpen) {
    ASSERT_EQ(run(pfx).result, ImportResult::Success);
    CK_OBJECT_HANDLE cert = CK_INVALID_HANDLE;
    for (CK_OBJECT_HANDLE handle : objects())
        if (objectClass(handle) == CKO_CERTIFICATE)
            cert = handle;
    std::string exported = path("exported.cer");
    ASSERT_EQ(ExportCertificate(fns(), 1, cert, exported), CKR_OK);
    EXPECT_EQ(fixtures::readFile(exported), attribute(cert, CKA_VALUE));

    prompter = ScriptedPrompter({false});
    waits.clear();
    ImportFlowOutcome declined = run(exported, "", knownNow());
    EXPECT_EQ(declined.result, ImportResult::Success);
    EXPECT_TRUE(declined.declined);
    EXPECT_EQ(declined.end, ImportDialogEnd::StayOpen);
    EXPECT_FALSE(declined.imported);
    EXPECT_EQ(declined.messageId, 0);
    EXPECT_TRUE(waits.empty());
    EXPECT_EQ(objects().size(), 3u);

    prompter = ScriptedPrompter({true});
    ImportFlowOutcome accepted = run(exported, "", knownNow());
    EXPECT_TRUE(accepted.imported);
    EXPECT_EQ(objects().size(), 4u);
}

TEST_F(ImportTest, Pkcs7BundlesWriteEachCertificateIntoOneContainer) {
    std::vector<certs::X509Ptr> owned;
    std::vector<X509*> three;
    for (long serial = 1; serial <= 3; ++serial) {
        owned.push_back(
            fixtures::selfSigned("Cert " + std::to_string(serial), key.get(), serial + 10));
        three.push_back(owned.back().get());
    }
    fixtures::writeFile(path("none.p7b"), fixtures::makePkcs7({}));
    EXPECT_EQ(failureMessage(path("none.p7b")), 5030);
    fixtures::writeFile(path("data.p7b"), fixtures::makePkcs7Data());
    EXPECT_EQ(failureMessage(path("data.p7b")), 5030);

    fixtures::writeFile(path("one.p7b"), fixtures::makePkcs7({three[0]}));
    EXPECT_EQ(run(path("one.p7b")).result, ImportResult::Success);
    ASSERT_EQ(objects().size(), 1u);

    std::string text = fixtures::pemPkcs7(fixtures::makePkcs7(three));
    fixtures::writeFile(path("three.P7B"), text);
    prompter = ScriptedPrompter({false}); // the first is on the token already
    ImportFlowOutcome outcome = run(path("three.P7B"), "", knownNow());
    EXPECT_EQ(outcome.result, ImportResult::Success);
    // Certificates written besides the declined one still count as imported.
    EXPECT_TRUE(outcome.imported);
    std::vector<CK_OBJECT_HANDLE> handles = objects();
    ASSERT_EQ(handles.size(), 3u);
    EXPECT_EQ(attribute(handles[1], CKA_CONTAINER_NAME), attribute(handles[2], CKA_CONTAINER_NAME));
    const std::string label = "Cert 2's Cert 2 ID";
    EXPECT_EQ(attribute(handles[1], CKA_LABEL), Bytes(label.begin(), label.end()));
}

TEST_F(ImportTest, Pkcs7StopsAtTheFirstRefusedCertificateAndKeepsEarlierOnes) {
    std::vector<certs::X509Ptr> owned;
    std::vector<X509*> three;
    for (long serial = 1; serial <= 3; ++serial) {
        owned.push_back(fixtures::selfSigned("Cert " + std::to_string(serial), key.get(), serial));
        three.push_back(owned.back().get());
    }
    fixtures::writeFile(path("three.p7b"), fixtures::makePkcs7(three));
    int calls = 0;
    intercept().onCreate = [&](const std::vector<RecordedAttribute>&) -> std::optional<CK_RV> {
        if (++calls == 2)
            return CKR_DEVICE_MEMORY;
        return std::nullopt;
    };
    EXPECT_EQ(failureMessage(path("three.p7b")), 5026);
    EXPECT_EQ(objects().size(), 1u);
    EXPECT_EQ(calls, 2);

    calls = 0;
    intercept().onCreate = [&](const std::vector<RecordedAttribute>&) -> std::optional<CK_RV> {
        if (++calls == 2)
            return CKR_GENERAL_ERROR;
        return std::nullopt;
    };
    EXPECT_EQ(failureMessage(path("three.p7b")), 5015);
}

// A token that answers CKR_OK yet hands back no handle has written nothing.
TEST_F(ImportTest, CertificateCreatedWithoutAHandleIsAFailure) {
    fixtures::writeFile(path("one.cer"), EncodeCertificateDer(certificate.get()));
    fixtures::writeFile(path("one.p7b"), fixtures::makePkcs7({certificate.get()}));
    intercept().onCreate = refuse(CKO_CERTIFICATE, CKR_OK);
    EXPECT_EQ(failureMessage(path("one.cer")), 5015);
    EXPECT_EQ(failureMessage(path("one.p7b")), 5015);
    EXPECT_TRUE(intercept().destroyed.empty());
}

// The file imports once passed the token's code on as a result number, so CKR_FUNCTION_FAILED
// (6) read as an unrelated result's message.
TEST_F(ImportTest, FileImportsMapARefusalAsThePkcs12ImportDoes) {
    fixtures::writeFile(path("one.cer"), EncodeCertificateDer(certificate.get()));
    fixtures::writeFile(path("one.p7b"), fixtures::makePkcs7({certificate.get()}));
    const std::pair<CK_RV, int> refusals[] = {
        {CKR_HOST_MEMORY, 5026}, {CKR_FUNCTION_FAILED, 5015}, {CKR_ARGUMENTS_BAD, 5015}};
    for (auto [rv, message] : refusals) {
        intercept().onCreate = refuse(CKO_CERTIFICATE, rv);
        EXPECT_EQ(failureMessage(path("one.cer")), message) << std::hex << rv;
        EXPECT_EQ(failureMessage(path("one.p7b")), message) << std::hex << rv;
    }
}

TEST_F(ImportTest, HostileFilesLeaveTheTokenAsItWas) {
    Bytes der = EncodeCertificateDer(certificate.get());
    Bytes p12 = fixtures::readFile(pfx);
    const std::tuple<std::string, Bytes, int> files[] = {
        {"cut.cer", Bytes(der.begin(), der.begin() + 200), 5030},
        {"pfx.cer", p12, 5030},
        {"cut.pfx", Bytes(p12.begin(), p12.begin() + static_cast<std::ptrdiff_t>(p12.size() / 2)),
         5030},
        {"text.p7b", Bytes{'h', 'e', 'l', 'l', 'o'}, 5030},
        {"empty.cer", Bytes{}, 5030},
        {"cert.p7b", der, 5030},
    };
    for (const auto& [name, content, message] : files) {
        fixtures::writeFile(path(name), content);
        EXPECT_EQ(failureMessage(path(name)), message) << name;
    }
    std::string huge = path("huge.p7b");
    fixtures::writeFile(huge, der);
    std::filesystem::resize_file(huge, 64u * 1024 * 1024);
    EXPECT_EQ(failureMessage(huge), 5026);
    EXPECT_EQ(failureMessage(path("absent.cer")), 5027);
    EXPECT_TRUE(objects().empty());
    EXPECT_TRUE(intercept().created.empty());
}

class SmallKeyTokenTest : public ImportTest {
protected:
    std::string extraConfig() const override {
        return "rsa_min_bits = 1024\nrsa_max_bits = 1024\n";
    }
};

TEST_F(SmallKeyTokenTest, LargerKeysAreRefusedWith5031AndLeaveNothing) {
    EXPECT_EQ(failureMessage(pfx), 5031);
    EXPECT_TRUE(objects().empty());

    certs::EvpPkeyPtr small = fixtures::rsaKey(1024);
    certs::X509Ptr smallCertificate = fixtures::selfSigned("Bob", small.get());
    fixtures::writeFile(path("bob.pfx"), fixtures::makePkcs12(small.get(), smallCertificate.get()));
    EXPECT_EQ(run(path("bob.pfx")).result, ImportResult::Success);
    EXPECT_EQ(objects().size(), 3u);
}

class FullTokenTest : public ImportTest {
protected:
    std::vector<std::string> createArguments() const override { return {"--public-memory", "400"}; }
};

TEST_F(FullTokenTest, NoRoomGives5026BeforeOrWhileWriting) {
    EXPECT_EQ(failureMessage(pfx), 5026);
    EXPECT_TRUE(objects().empty());

    // A certificate file larger than the free public memory is refused unwritten.
    fixtures::writeFile(path("big.cer"), EncodeCertificateDer(certificate.get()));
    intercept().created.clear();
    EXPECT_EQ(failureMessage(path("big.cer")), 5026);
    EXPECT_TRUE(intercept().created.empty());
}

} // namespace
