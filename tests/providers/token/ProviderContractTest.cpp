// The provider contract, run unchanged against both token providers through CryptoAPI.
#include "TokenProviderFixture.h"

#include "CertFixtures.h"

#include "platform/Registry.h"
#include "platform/crypto/ProviderLogins.h"

#include <openssl/evp.h>
#include <openssl/rsa.h>
#include <openssl/x509.h>

#include <regex>

namespace token_provider_test {
namespace {

class TokenProviderContract : public TokenProviderTest,
                              public ::testing::WithParamInterface<const ProviderUnderTest*> {
protected:
    const ProviderUnderTest& provider() const override { return *GetParam(); }
};

bool contains(const std::string& text, const std::string& part) {
    return text.find(part) != std::string::npos;
}

Bytes certificateDer(X509* certificate) {
    return EncodeCertificateDer(certificate);
}

Bytes keyCertificate(HCRYPTKEY key, DWORD* error = nullptr) {
    DWORD length = 0;
    Bytes der;
    if (!CryptGetKeyParam(key, KP_CERTIFICATE, nullptr, &length, 0)) {
        if (error)
            *error = GetLastError();
        return der;
    }
    der.resize(length);
    EXPECT_TRUE(CryptGetKeyParam(key, KP_CERTIFICATE, der.data(), &length, 0));
    der.resize(length);
    return der;
}

Bytes exportBlob(HCRYPTKEY key) {
    DWORD length = 0;
    EXPECT_TRUE(CryptExportKey(key, 0, PUBLICKEYBLOB, 0, nullptr, &length));
    Bytes blob(length);
    EXPECT_TRUE(CryptExportKey(key, 0, PUBLICKEYBLOB, 0, blob.data(), &length));
    blob.resize(length);
    return blob;
}

Bytes modulusOf(X509* certificate) {
    BIGNUM* n = nullptr;
    EVP_PKEY_get_bn_param(X509_get0_pubkey(certificate), "n", &n);
    Bytes out(BN_num_bytes(n));
    BN_bn2bin(n, out.data());
    BN_free(n);
    return out;
}

TEST_P(TokenProviderContract, ContainersAreListedOldestFirstBeforeAnyLogin) {
    Context context = acquire(nullptr);
    ASSERT_TRUE(context);
    EXPECT_EQ(textParam(context.get(), PP_NAME), provider().providerName);
    // The default container is the oldest.
    EXPECT_EQ(textParam(context.get(), PP_CONTAINER), firstContainer);
    EXPECT_EQ(enumerate(context.get()), (std::vector<std::string>{firstContainer, secondContainer}));

    // Length query and short buffer leave the position; CRYPT_FIRST starts again.
    DWORD length = 0;
    ASSERT_TRUE(CryptGetProvParam(context.get(), PP_ENUMCONTAINERS, nullptr, &length, CRYPT_FIRST));
    EXPECT_EQ(length, 37u);
    BYTE small[10];
    length = sizeof small;
    EXPECT_FALSE(CryptGetProvParam(context.get(), PP_ENUMCONTAINERS, small, &length, 0));
    EXPECT_EQ(GetLastError(), ERROR_MORE_DATA);
    EXPECT_EQ(length, 37u);
    BYTE name[100];
    length = sizeof name;
    ASSERT_TRUE(CryptGetProvParam(context.get(), PP_ENUMCONTAINERS, name, &length, 0));
    EXPECT_STREQ(reinterpret_cast<char*>(name), firstContainer);
    length = sizeof name;
    ASSERT_TRUE(CryptGetProvParam(context.get(), PP_ENUMCONTAINERS, name, &length, CRYPT_FIRST));
    EXPECT_STREQ(reinterpret_cast<char*>(name), firstContainer);

    Context named = acquire(secondContainer);
    EXPECT_EQ(textParam(named.get(), PP_CONTAINER), secondContainer);
    EXPECT_EQ(acquireError("B0000000-0000-0000-0000-00000000000B"), code(NTE_BAD_KEYSET));
    // Nothing above needed the user.
    EXPECT_EQ(pinentryRuns(), 0);
}

TEST_P(TokenProviderContract, ContainerKeyAnswersBothKeyKindsWithItsCertificate) {
    Context context = acquire(secondContainer);
    for (DWORD keyKind : {AT_SIGNATURE, AT_KEYEXCHANGE}) {
        HCRYPTKEY key = 0;
        ASSERT_TRUE(CryptGetUserKey(context.get(), keyKind, &key)) << keyKind;
        EXPECT_EQ(keyCertificate(key), certificateDer(secondCertificate_.get()));
        const Bytes blob = exportBlob(key);
        ASSERT_EQ(blob.size(), 20u + 256u);
        const Bytes header{0x06, 0x02, 0x00, 0x00,
                           0x00, static_cast<BYTE>(keyKind == AT_SIGNATURE ? 0x24 : 0xA4), 0x00, 0x00,
                           0x52, 0x53, 0x41, 0x31, 0x00, 0x08, 0x00, 0x00, 0x01, 0x00, 0x01, 0x00};
        EXPECT_EQ(Bytes(blob.begin(), blob.begin() + 20), header);
        EXPECT_EQ(Bytes(blob.begin() + 20, blob.end()), reversed(modulusOf(secondCertificate_.get())));
        CryptDestroyKey(key);
    }
    EXPECT_EQ(pinentryRuns(), 0);
}

TEST_P(TokenProviderContract, PinStepAsksOnceThenSignaturesVerifyWithOpenSsl) {
    setenv("KORVAN_CALLER_ORIGIN", "https://bank.example/100%", 1);
    setenv("QT_QPA_PLATFORM", "offscreen", 1);
    Context context = acquire(nullptr);
    ASSERT_EQ(pinStep(context.get()), 0u);
    EXPECT_EQ(pinentryRuns(), 1);
    const std::vector<std::string> log = pinentryLog();
    EXPECT_EQ(logLine("OPTION lc-ctype="), "OPTION lc-ctype=C.UTF-8");
    EXPECT_EQ(logLine("SETTITLE "), std::string("SETTITLE ") + provider().providerName);
    const std::string description = logLine("SETDESC ");
    EXPECT_TRUE(contains(description, tokenLabel())) << description;
    // The origin comes first; its '%' and the line breaks after it travel escaped.
    EXPECT_EQ(description.rfind("SETDESC Requested by https://bank.example/100%25.%0A%0A", 0), 0u)
        << description;
    EXPECT_EQ(logLine("SETTIMEOUT "), "SETTIMEOUT 300");
    EXPECT_EQ(logLine("SETERROR"), ""); // nothing to warn about yet
    EXPECT_EQ(logLine("ENV "), "") << "pinentry got QT_QPA_PLATFORM";
    EXPECT_EQ(logLine("FD "), "") << "pinentry inherited a descriptor";
    unsetenv("QT_QPA_PLATFORM");

    const std::string data = "123456";
    Bytes md5 = sign(context.get(), CALG_MD5, data);
    ASSERT_EQ(md5.size(), 256u);
    EXPECT_TRUE(opensslVerifies(firstCertificate_.get(), EVP_md5(), data, reversed(md5)));
    Bytes sha256 = sign(context.get(), CALG_SHA_256, data, AT_KEYEXCHANGE);
    EXPECT_TRUE(opensslVerifies(firstCertificate_.get(), EVP_sha256(), data, reversed(sha256)));
    // The provider's own verification takes the signature as it gave it.
    HCRYPTKEY key = 0;
    HCRYPTHASH hash = 0;
    ASSERT_TRUE(CryptGetUserKey(context.get(), AT_SIGNATURE, &key));
    ASSERT_TRUE(CryptCreateHash(context.get(), CALG_MD5, 0, 0, &hash));
    ASSERT_TRUE(CryptHashData(hash, reinterpret_cast<const BYTE*>(data.data()), 6, 0));
    EXPECT_TRUE(CryptVerifySignatureA(hash, md5.data(), static_cast<DWORD>(md5.size()), key, nullptr, 0));
    CryptDestroyHash(hash);
    CryptDestroyKey(key);

    // A later context of the process is logged in already: no second question.
    context.reset();
    Context later = acquire(secondContainer);
    ASSERT_EQ(pinStep(later.get()), 0u);
    Bytes second = sign(later.get(), CALG_SHA1, data);
    EXPECT_TRUE(opensslVerifies(secondCertificate_.get(), EVP_sha1(), data, reversed(second)));
    EXPECT_EQ(pinentryRuns(), 1);
}

TEST_P(TokenProviderContract, RefusedPinStepsGiveTheirCodes) {
    freshToken(true, {"--user-retries", "3"});
    Context context = acquire(nullptr);
    pinentryAnswers("cancel");
    EXPECT_EQ(pinStep(context.get()), code(SCARD_W_CANCELLED_BY_USER));
    pinentryAnswers("error");
    EXPECT_EQ(pinStep(context.get()), code(NTE_FAIL));
    pinentryAnswers("eof");
    EXPECT_EQ(pinStep(context.get()), code(NTE_FAIL));
    pinentryAnswers("longline");
    EXPECT_EQ(pinStep(context.get()), code(NTE_FAIL));
    setenv("KORVAN_PINENTRY", (root() + "/no-such-pinentry").c_str(), 1);
    EXPECT_EQ(pinStep(context.get()), code(NTE_FAIL));
    setenv("KORVAN_PINENTRY", SCRIPTED_PINENTRY, 1);

    // A wrong PIN; the next question warns, and the one after the second failure says it is
    // the last try.
    pinentryAnswers("pin", "9999");
    EXPECT_EQ(pinStep(context.get()), code(SCARD_W_WRONG_CHV));
    EXPECT_EQ(logLine("SETERROR"), "");
    EXPECT_EQ(pinStep(context.get()), code(SCARD_W_WRONG_CHV));
    EXPECT_EQ(logLine("SETERROR"), "SETERROR The PIN was wrong. Please try again.");
    EXPECT_EQ(pinStep(context.get()), code(SCARD_W_CHV_BLOCKED));
    EXPECT_EQ(logLine("SETERROR"), "SETERROR This is the last try: a wrong PIN now locks the token.");
    // Locked: refused without asking.
    const int runs = pinentryRuns();
    pinentryAnswers("pin", userPin);
    EXPECT_EQ(pinStep(context.get()), code(SCARD_W_CHV_BLOCKED));
    EXPECT_EQ(pinentryRuns(), runs);
}

TEST_P(TokenProviderContract, OperationsRunThePinStepUnlessTheContextIsSilent) {
    Context silent = acquire(nullptr, CRYPT_SILENT);
    EXPECT_EQ(pinStep(silent.get()), code(NTE_SILENT_CONTEXT));
    DWORD error = 0;
    EXPECT_TRUE(sign(silent.get(), CALG_MD5, "abc", AT_SIGNATURE, &error).empty());
    EXPECT_EQ(error, code(NTE_SILENT_CONTEXT));
    EXPECT_EQ(pinentryRuns(), 0);

    // A PIN given as data is used as it stands.
    pinentryAnswers("cancel");
    EXPECT_FALSE(CryptSetProvParam(silent.get(), PP_SIGNATURE_PIN,
                                   reinterpret_cast<const BYTE*>("0000"), 0));
    EXPECT_EQ(GetLastError(), code(SCARD_W_WRONG_CHV));
    EXPECT_EQ(pinentryRuns(), 0);

    // CryptSignHash asks by itself.
    pinentryAnswers("pin");
    Context context = acquire(nullptr);
    Bytes signature = sign(context.get(), CALG_MD5, "abc");
    EXPECT_TRUE(opensslVerifies(firstCertificate_.get(), EVP_md5(), "abc", reversed(signature)));
    EXPECT_EQ(pinentryRuns(), 1);
    // The silent context shares the login now.
    EXPECT_EQ(pinStep(silent.get()), 0u);
    EXPECT_FALSE(sign(silent.get(), CALG_MD5, "abc").empty());
}

// A host bounds how long a PIN entry lasts: each login is taken once, and ending the logins
// makes the next use of any context ask for the PIN again.
TEST_P(TokenProviderContract, AHostTakesEachLoginOnceAndEndsIt) {
    korvanTakeProviderLogin(nullptr); // what earlier cases of this process left
    Context context = acquire(nullptr);
    DWORD msAgo = 0;
    EXPECT_FALSE(korvanTakeProviderLogin(&msAgo));
    ASSERT_EQ(pinStep(context.get()), 0u);
    EXPECT_TRUE(korvanTakeProviderLogin(&msAgo));
    EXPECT_LT(msAgo, 60000u);
    EXPECT_FALSE(korvanTakeProviderLogin(&msAgo)) << "taken once";
    ASSERT_EQ(pinStep(context.get()), 0u);
    EXPECT_FALSE(korvanTakeProviderLogin(&msAgo)) << "no new login";
    EXPECT_EQ(pinentryRuns(), 1);

    EXPECT_TRUE(korvanEndProviderLogins());
    Context later = acquire(nullptr, CRYPT_SILENT);
    DWORD error = 0;
    EXPECT_TRUE(sign(later.get(), CALG_MD5, "abc", AT_SIGNATURE, &error).empty()) << "logged out";
    EXPECT_EQ(error, code(NTE_SILENT_CONTEXT));
    EXPECT_FALSE(sign(context.get(), CALG_MD5, "abc").empty());
    EXPECT_EQ(pinentryRuns(), 2) << "the PIN is asked again";
    EXPECT_TRUE(korvanTakeProviderLogin(&msAgo));
    EXPECT_TRUE(korvanEndProviderLogins());
    EXPECT_TRUE(korvanEndProviderLogins()) << "nothing left to end";
}

TEST_P(TokenProviderContract, DecryptsWhatOpenSslEncrypted) {
    const std::string secret = "the plaintext";
    EVP_PKEY_CTX* ctx = EVP_PKEY_CTX_new(X509_get0_pubkey(secondCertificate_.get()), nullptr);
    ASSERT_EQ(EVP_PKEY_encrypt_init(ctx), 1);
    ASSERT_EQ(EVP_PKEY_CTX_set_rsa_padding(ctx, RSA_PKCS1_PADDING), 1);
    Bytes ciphertext(256);
    size_t length = ciphertext.size();
    ASSERT_EQ(EVP_PKEY_encrypt(ctx, ciphertext.data(), &length,
                               reinterpret_cast<const unsigned char*>(secret.data()), secret.size()),
              1);
    EVP_PKEY_CTX_free(ctx);

    Context context = acquire(secondContainer);
    HCRYPTKEY key = 0;
    ASSERT_TRUE(CryptGetUserKey(context.get(), AT_KEYEXCHANGE, &key));
    // A damaged ciphertext fails and leaves buffer and length as they were.
    Bytes damaged = reversed(ciphertext);
    damaged[0] ^= 0x5A;
    const Bytes before = damaged;
    DWORD size = static_cast<DWORD>(damaged.size());
    EXPECT_FALSE(CryptDecrypt(key, 0, TRUE, 0, damaged.data(), &size));
    EXPECT_EQ(GetLastError(), code(NTE_BAD_DATA));
    EXPECT_EQ(damaged, before);
    EXPECT_EQ(size, 256u);

    Bytes buffer = reversed(ciphertext);
    size = static_cast<DWORD>(buffer.size());
    ASSERT_TRUE(CryptDecrypt(key, 0, TRUE, 0, buffer.data(), &size)) << std::hex << GetLastError();
    EXPECT_EQ(std::string(buffer.begin(), buffer.begin() + size), secret);
    EXPECT_EQ(pinentryRuns(), 1);
    CryptDestroyKey(key);
}

TEST_P(TokenProviderContract, NewKeysetGeneratesExportsAndIsDeletedAfterConfirmation) {
    Context created = acquire(nullptr, CRYPT_NEWKEYSET);
    const std::string name = textParam(created.get(), PP_CONTAINER);
    EXPECT_TRUE(std::regex_match(name, std::regex("[0-9A-F]{8}-[0-9A-F]{4}-[0-9A-F]{4}-[0-9A-F]{4}-[0-9A-F]{12}")))
        << name;
    HCRYPTKEY key = 0;
    ASSERT_TRUE(CryptGenKey(created.get(), AT_SIGNATURE, 0, &key)) << std::hex << GetLastError();
    EXPECT_EQ(pinentryRuns(), 1);
    const Bytes blob = exportBlob(key);
    ASSERT_EQ(blob.size(), 276u);
    const Bytes header{0x06, 0x02, 0x00, 0x00, 0x00, 0x24, 0x00, 0x00, 0x52, 0x53,
                       0x41, 0x31, 0x00, 0x08, 0x00, 0x00, 0x01, 0x00, 0x01, 0x00};
    EXPECT_EQ(Bytes(blob.begin(), blob.begin() + 20), header);
    DWORD error = 0;
    EXPECT_TRUE(keyCertificate(key, &error).empty());
    EXPECT_EQ(error, code(NTE_NOT_FOUND));
    // A second key pair in the same container is refused.
    HCRYPTKEY again = 0;
    EXPECT_FALSE(CryptGenKey(created.get(), AT_SIGNATURE, 0, &again));
    EXPECT_EQ(GetLastError(), code(NTE_EXISTS));
    CryptDestroyKey(key);
    created.reset();

    // The new container is the newest, and its private key never leaves the token.
    Context context = acquire(nullptr);
    EXPECT_EQ(enumerate(context.get()),
              (std::vector<std::string>{firstContainer, secondContainer, name}));
    EXPECT_EQ(acquireError(name.c_str(), CRYPT_NEWKEYSET), code(NTE_EXISTS));
    const std::vector<CK_OBJECT_HANDLE> objects = containerObjects(name);
    EXPECT_EQ(objects.size(), 2u);
    withTokenSession(true, [&](CK_FUNCTION_LIST* f, CK_SESSION_HANDLE s) {
        CK_OBJECT_CLASS cls = CKO_PRIVATE_KEY;
        std::string value = name + '\0';
        CK_ATTRIBUTE match[] = {{CKA_CLASS, &cls, sizeof cls},
                                {CKA_CONTAINER_NAME, value.data(), value.size()}};
        ASSERT_EQ(f->C_FindObjectsInit(s, match, 2), CKR_OK);
        CK_OBJECT_HANDLE h = 0;
        CK_ULONG n = 0;
        ASSERT_EQ(f->C_FindObjects(s, &h, 1, &n), CKR_OK);
        f->C_FindObjectsFinal(s);
        ASSERT_EQ(n, 1u);
        CK_BBOOL sensitive = CK_FALSE, extractable = CK_TRUE, isPrivate = CK_FALSE;
        CK_ATTRIBUTE read[] = {{CKA_SENSITIVE, &sensitive, 1},
                               {CKA_EXTRACTABLE, &extractable, 1},
                               {CKA_PRIVATE, &isPrivate, 1}};
        ASSERT_EQ(f->C_GetAttributeValue(s, h, read, 3), CKR_OK);
        EXPECT_EQ(sensitive, CK_TRUE);
        EXPECT_EQ(extractable, CK_FALSE);
        EXPECT_EQ(isPrivate, CK_TRUE);
    });

    // Deleting: a name is required, the user is asked, No keeps everything.
    EXPECT_EQ(acquireError(nullptr, CRYPT_DELETEKEYSET), code(NTE_BAD_KEYSET_PARAM));
    EXPECT_EQ(acquireError("", CRYPT_DELETEKEYSET), code(NTE_BAD_KEYSET_PARAM));
    EXPECT_EQ(acquireError("B0000000-0000-0000-0000-00000000000B", CRYPT_DELETEKEYSET),
              code(NTE_BAD_KEYSET));
    EXPECT_EQ(acquireError(name.c_str(), CRYPT_DELETEKEYSET | CRYPT_SILENT),
              code(NTE_SILENT_CONTEXT));
    EXPECT_EQ(pinentryRuns("CONFIRM"), 0);
    pinentryAnswers("no");
    EXPECT_EQ(acquireError(secondContainer, CRYPT_DELETEKEYSET), code(SCARD_W_CANCELLED_BY_USER));
    EXPECT_EQ(pinentryRuns("CONFIRM"), 1);
    const std::string question = logLine("SETDESC ");
    EXPECT_TRUE(contains(question, secondContainer)) << question;
    EXPECT_TRUE(contains(question, tokenLabel())) << question;
    EXPECT_TRUE(contains(question, "Certificate: Bob Second.")) << question;
    EXPECT_TRUE(contains(question, "Its key pair and certificate are destroyed")) << question;
    EXPECT_EQ(containerObjects(secondContainer).size(), 3u);

    pinentryAnswers("pin");
    HCRYPTPROV none = 1;
    ASSERT_TRUE(CryptAcquireContextA(&none, secondContainer, provider().providerName, PROV_RSA_FULL,
                                     CRYPT_DELETEKEYSET))
        << std::hex << GetLastError();
    EXPECT_EQ(none, 0u);
    ASSERT_TRUE(CryptAcquireContextA(&none, name.c_str(), provider().providerName, PROV_RSA_FULL,
                                     CRYPT_DELETEKEYSET));
    // A container without a certificate: the question names only what it holds.
    const std::string keyOnly = logLine("SETDESC ");
    EXPECT_TRUE(contains(keyOnly, "Its key pair is destroyed for good.")) << keyOnly;
    EXPECT_FALSE(contains(keyOnly, "ertificate")) << keyOnly;
    EXPECT_TRUE(containerObjects(secondContainer).empty());
    EXPECT_TRUE(containerObjects(name).empty());
    EXPECT_EQ(enumerate(context.get()), (std::vector<std::string>{firstContainer}));
    EXPECT_EQ(containerObjects(firstContainer).size(), 3u);
}

TEST_P(TokenProviderContract, EmptyTokenHasNoKeyAndNoTokenCannotBeAcquired) {
    freshToken(false);
    Context context = acquire(nullptr);
    EXPECT_TRUE(enumerate(context.get()).empty());
    HCRYPTKEY key = 0;
    EXPECT_FALSE(CryptGetUserKey(context.get(), AT_SIGNATURE, &key));
    EXPECT_EQ(GetLastError(), code(NTE_NO_KEY));
    EXPECT_EQ(pinStep(context.get()), 0u); // the PIN step needs no container
    context.reset();

    removeToken();
    EXPECT_EQ(acquireError(nullptr), code(SCARD_E_NO_SMARTCARD));
    insertToken();
}

TEST_P(TokenProviderContract, RemovedTokenFailsCleanlyAndANewOneAsksAgain) {
    Context context = acquire(nullptr);
    ASSERT_EQ(pinStep(context.get()), 0u);
    HCRYPTKEY key = 0;
    ASSERT_TRUE(CryptGetUserKey(context.get(), AT_SIGNATURE, &key));
    HCRYPTHASH hash = 0;
    ASSERT_TRUE(CryptCreateHash(context.get(), CALG_MD5, 0, 0, &hash));
    ASSERT_TRUE(CryptHashData(hash, reinterpret_cast<const BYTE*>("abc"), 3, 0));
    DWORD length = 0;
    ASSERT_TRUE(CryptSignHashA(hash, AT_SIGNATURE, nullptr, 0, nullptr, &length));

    removeToken();
    Bytes signature(length);
    EXPECT_FALSE(CryptSignHashA(hash, AT_SIGNATURE, nullptr, 0, signature.data(), &length));
    EXPECT_EQ(GetLastError(), code(SCARD_W_REMOVED_CARD));
    DWORD error = 0;
    EXPECT_TRUE(keyCertificate(key, &error).empty());
    EXPECT_EQ(error, code(SCARD_W_REMOVED_CARD));
    EXPECT_EQ(pinStep(context.get()), code(SCARD_W_REMOVED_CARD));
    CryptDestroyHash(hash);
    CryptDestroyKey(key);

    // The same token back in: the old context stays dead, a new one needs a new PIN step.
    insertToken();
    EXPECT_EQ(pinStep(context.get()), code(SCARD_W_REMOVED_CARD));
    Context fresh = acquire(nullptr);
    ASSERT_EQ(pinStep(fresh.get()), 0u);
    EXPECT_EQ(pinentryRuns(), 2);
    EXPECT_FALSE(sign(fresh.get(), CALG_MD5, "abc").empty());
}

TEST_P(TokenProviderContract, TheControlsTokenLibraryInstanceDoesNotShareTheLogin) {
    Context context = acquire(nullptr);
    ASSERT_EQ(pinStep(context.get()), 0u);

    // What the controls' token queries do, in this same process.
    HMODULE library = LoadLibraryA(provider().tokenLibrary);
    ASSERT_NE(library, nullptr);
    auto getList = reinterpret_cast<CK_C_GetFunctionList>(
        reinterpret_cast<void*>(GetProcAddress(library, "C_GetFunctionList")));
    ASSERT_NE(getList, nullptr);
    CK_FUNCTION_LIST* f = nullptr;
    ASSERT_EQ(getList(&f), CKR_OK);
    ASSERT_EQ(f->C_Initialize(nullptr), CKR_OK);
    CK_ULONG count = 0;
    EXPECT_EQ(f->C_GetSlotList(CK_TRUE, nullptr, &count), CKR_OK);
    EXPECT_EQ(count, 1u);
    EXPECT_EQ(f->C_Finalize(nullptr), CKR_OK);
    FreeLibrary(library);

    // Still logged in: no question, and signing works.
    ASSERT_EQ(pinStep(context.get()), 0u);
    EXPECT_FALSE(sign(context.get(), CALG_MD5, "abc").empty());
    EXPECT_EQ(pinentryRuns(), 1);
}

TEST_P(TokenProviderContract, HostileContainerValuesAndDamagedCertificates) {
    const std::string damagedName = "D0000000-0000-0000-0000-00000000000D";
    const std::string certificateOnly = "C0000000-0000-0000-0000-00000000000C";
    auto thirdKey = fixtures::rsaKey(2048, 2);
    BIGNUM* n = nullptr;
    EVP_PKEY_get_bn_param(thirdKey.get(), "n", &n);
    Bytes modulus(BN_num_bytes(n));
    BN_bn2bin(n, modulus.data());
    BN_free(n);
    const Bytes garbage{0x30, 0x82, 0x01, 0x00, 0xDE, 0xAD};
    withTokenSession(true, [&](CK_FUNCTION_LIST* f, CK_SESSION_HANDLE s) {
        CK_OBJECT_CLASS publicClass = CKO_PUBLIC_KEY, certificateClass = CKO_CERTIFICATE;
        CK_KEY_TYPE rsa = CKK_RSA;
        CK_CERTIFICATE_TYPE x509 = CKC_X_509;
        CK_BBOOL yes = CK_TRUE;
        CK_BYTE exponent[] = {1, 0, 1};
        CK_BYTE subject[] = {0x30, 0x00};
        auto put = [&](std::vector<CK_ATTRIBUTE> attributes) {
            CK_OBJECT_HANDLE h = 0;
            EXPECT_EQ(f->C_CreateObject(s, attributes.data(), attributes.size(), &h), CKR_OK);
        };
        auto certificate = [&](std::string& container, const Bytes& value) {
            put({{CKA_CLASS, &certificateClass, sizeof certificateClass},
                 {CKA_TOKEN, &yes, 1},
                 {CKA_CERTIFICATE_TYPE, &x509, sizeof x509},
                 {CKA_SUBJECT, subject, sizeof subject},
                 {CKA_VALUE, const_cast<BYTE*>(value.data()), value.size()},
                 {CKA_CONTAINER_NAME, container.data(), container.size()}});
        };
        std::string damaged = damagedName + '\0';
        put({{CKA_CLASS, &publicClass, sizeof publicClass},
             {CKA_KEY_TYPE, &rsa, sizeof rsa},
             {CKA_TOKEN, &yes, 1},
             {CKA_MODULUS, modulus.data(), modulus.size()},
             {CKA_PUBLIC_EXPONENT, exponent, sizeof exponent},
             {CKA_CONTAINER_NAME, damaged.data(), damaged.size()}});
        certificate(damaged, garbage);
        std::string lonely = certificateOnly + '\0';
        certificate(lonely, garbage);
        // Names that are no container names: control characters, too long.
        std::string control = "bad\x01name";
        certificate(control, garbage);
        std::string overlong(300, 'L');
        certificate(overlong, garbage);
    });

    Context context = acquire(nullptr);
    EXPECT_EQ(enumerate(context.get()),
              (std::vector<std::string>{firstContainer, secondContainer, damagedName, certificateOnly}));
    Context damaged = acquire(damagedName.c_str());
    HCRYPTKEY key = 0;
    ASSERT_TRUE(CryptGetUserKey(damaged.get(), AT_SIGNATURE, &key));
    // The bytes come as the token holds them; decoding them is what fails.
    const Bytes der = keyCertificate(key);
    EXPECT_EQ(der, garbage);
    EXPECT_EQ(CertCreateCertificateContext(X509_ASN_ENCODING | PKCS_7_ASN_ENCODING, der.data(),
                                           static_cast<DWORD>(der.size())),
              nullptr);
    CryptDestroyKey(key);
    // Without a public-key object and with an undecodable certificate there is no key.
    Context lonely = acquire(certificateOnly.c_str());
    EXPECT_FALSE(CryptGetUserKey(lonely.get(), AT_SIGNATURE, &key));
    EXPECT_EQ(GetLastError(), code(NTE_NO_KEY));
}

TEST_P(TokenProviderContract, RegistrationNamesTheModuleAndUnregisteringMakesItAbsent) {
    {
        Context context = acquire(nullptr);
        ASSERT_TRUE(context);
    }
    const std::string keyPath =
        std::string("SOFTWARE\\Microsoft\\Cryptography\\Defaults\\Provider\\") + provider().providerName;
    auto entry = platform::RegistryKey::open(platform::RegistryRoot::LocalMachine, keyPath);
    ASSERT_TRUE(entry);
    char resolved[4096];
    ASSERT_NE(realpath(provider().modulePath, resolved), nullptr);
    EXPECT_EQ(entry->stringValue("Image Path"), std::string(resolved));
    EXPECT_EQ(entry->dwordValue("Type"), 1u);
    HMODULE module = LoadLibraryA(provider().modulePath);
    ASSERT_NE(module, nullptr);
    auto unregister = reinterpret_cast<HRESULT (*)()>(
        reinterpret_cast<void*>(GetProcAddress(module, "DllUnregisterServer")));
    ASSERT_NE(unregister, nullptr);
    ASSERT_EQ(unregister(), S_OK);
    EXPECT_FALSE(platform::RegistryKey::open(platform::RegistryRoot::LocalMachine, keyPath));
    HCRYPTPROV handle = 0;
    EXPECT_FALSE(CryptAcquireContextA(&handle, nullptr, provider().providerName, PROV_RSA_FULL, 0));
    EXPECT_EQ(unregister(), S_OK); // nothing left to remove is no failure
    auto reregister = reinterpret_cast<HRESULT (*)()>(
        reinterpret_cast<void*>(GetProcAddress(module, "DllRegisterServer")));
    ASSERT_EQ(reregister(), S_OK);
    FreeLibrary(module);
    Context again = acquire(nullptr);
    EXPECT_TRUE(again);
}

INSTANTIATE_TEST_SUITE_P(Providers, TokenProviderContract,
                         ::testing::Values(&meridiaProvider(), &skyraProvider()),
                         [](const auto& info) { return std::string(info.param->label); });

} // namespace
} // namespace token_provider_test
