#include "ModuleFixture.h"

#include "softtoken/store/Files.h"

#include <openssl/bn.h>
#include <openssl/evp.h>
#include <openssl/rsa.h>

#include <fstream>
#include <iterator>

namespace softtoken::module::test {
namespace {

class ObjectTest : public ModuleTest {
protected:
    void SetUp() override {
        ModuleTest::SetUp();
        addToken("alpha", 1);
        ASSERT_EQ(initialize(), CKR_OK);
        s_ = openSession();
    }
    CK_SESSION_HANDLE s_ = 0;
};

std::vector<CK_BYTE> bnBytes(const EVP_PKEY* key, const char* name) {
    BIGNUM* bn = nullptr;
    EVP_PKEY_get_bn_param(key, name, &bn);
    std::vector<CK_BYTE> out(BN_num_bytes(bn));
    BN_bn2bin(bn, out.data());
    BN_free(bn);
    return out;
}

// An RSA key made with OpenSSL, as an importer would hand it over.
struct RsaMaterial {
    std::vector<CK_BYTE> n, e, d, p, q, dp, dq, qinv;
};

RsaMaterial makeRsa(unsigned bits) {
    EVP_PKEY* key = EVP_RSA_gen(bits);
    RsaMaterial m{bnBytes(key, "n"),
                  bnBytes(key, "e"),
                  bnBytes(key, "d"),
                  bnBytes(key, "rsa-factor1"),
                  bnBytes(key, "rsa-factor2"),
                  bnBytes(key, "rsa-exponent1"),
                  bnBytes(key, "rsa-exponent2"),
                  bnBytes(key, "rsa-coefficient1")};
    EVP_PKEY_free(key);
    return m;
}

std::vector<Attr> privateKeyTemplate(const RsaMaterial& k, bool onToken) {
    return {ulongAttr(CKA_CLASS, CKO_PRIVATE_KEY),
            boolAttr(CKA_TOKEN, onToken),
            boolAttr(CKA_PRIVATE, true),
            ulongAttr(CKA_KEY_TYPE, CKK_RSA),
            textAttr(CKA_ID, "id-1"),
            boolAttr(CKA_LOCAL, false),
            bytesAttr(CKA_MODULUS, k.n),
            bytesAttr(CKA_PUBLIC_EXPONENT, k.e),
            bytesAttr(CKA_PRIVATE_EXPONENT, k.d),
            bytesAttr(CKA_PRIME_1, k.p),
            bytesAttr(CKA_PRIME_2, k.q),
            bytesAttr(CKA_EXPONENT_1, k.dp),
            bytesAttr(CKA_EXPONENT_2, k.dq),
            bytesAttr(CKA_COEFFICIENT, k.qinv),
            textAttr(CKA_CONTAINER_NAME, std::string("box-1") + '\0'),
            boolAttr(CKA_SIGN, true),
            boolAttr(CKA_DECRYPT, true)};
}

std::vector<Attr> certificateTemplate() {
    return {ulongAttr(CKA_CLASS, CKO_CERTIFICATE),
            boolAttr(CKA_TOKEN, true),
            boolAttr(CKA_PRIVATE, false),
            textAttr(CKA_LABEL, "cert"),
            ulongAttr(CKA_CERTIFICATE_TYPE, CKC_X_509),
            textAttr(CKA_SUBJECT, "subject-der"),
            textAttr(CKA_ISSUER, "issuer-der"),
            textAttr(CKA_SERIAL_NUMBER, "serial-der"),
            textAttr(CKA_VALUE, "certificate-der"),
            textAttr(CKA_ID, "hello"),
            textAttr(CKA_CONTAINER_NAME, std::string("box-1") + '\0')};
}

std::string fileText(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

using softtoken_module_Objects = ObjectTest;

TEST_F(softtoken_module_Objects, EachClassIsCreatedReadFoundAndDestroyed) {
    ASSERT_EQ(login(s_), CKR_OK);
    const RsaMaterial k = makeRsa(1024);
    CK_OBJECT_HANDLE data = 0, cert = 0, pub = 0, priv = 0;
    ASSERT_EQ(createObject(f(), s_, dataObject(true, false, "note"), &data), CKR_OK);
    ASSERT_EQ(createObject(f(), s_, certificateTemplate(), &cert), CKR_OK);
    ASSERT_EQ(createObject(f(), s_,
                           {ulongAttr(CKA_CLASS, CKO_PUBLIC_KEY), boolAttr(CKA_TOKEN, true),
                            ulongAttr(CKA_KEY_TYPE, CKK_RSA), bytesAttr(CKA_MODULUS, k.n),
                            bytesAttr(CKA_PUBLIC_EXPONENT, k.e)},
                           &pub),
              CKR_OK);
    ASSERT_EQ(createObject(f(), s_, privateKeyTemplate(k, true), &priv), CKR_OK);
    for (CK_OBJECT_HANDLE h : {data, cert, pub, priv})
        EXPECT_NE(h, CK_INVALID_HANDLE);

    EXPECT_EQ(findAll(f(), s_).size(), 4u);
    const auto certs = findAll(f(), s_, {ulongAttr(CKA_CLASS, CKO_CERTIFICATE)});
    ASSERT_EQ(certs.size(), 1u);
    EXPECT_EQ(certs[0], cert);
    EXPECT_EQ(findAll(f(), s_, {textAttr(CKA_ID, "hello")}).size(), 1u);
    EXPECT_EQ(findAll(f(), s_, {boolAttr(CKA_TOKEN, false)}).size(), 0u);

    // Defaults from the rules table.
    EXPECT_EQ(readAttr(f(), s_, pub, CKA_VERIFY), std::vector<CK_BYTE>{CK_TRUE});
    EXPECT_EQ(readAttr(f(), s_, pub, CKA_MODULUS_BITS), ulongAttr(0, 1024).value);
    EXPECT_EQ(readAttr(f(), s_, priv, CKA_SENSITIVE), std::vector<CK_BYTE>{CK_TRUE});
    EXPECT_EQ(readAttr(f(), s_, priv, CKA_LOCAL), std::vector<CK_BYTE>{CK_FALSE});
    EXPECT_EQ(readAttr(f(), s_, data, CKA_APPLICATION), std::vector<CK_BYTE>{});
    const auto container = readAttr(f(), s_, cert, CKA_CONTAINER_NAME);
    EXPECT_EQ(std::string(container.begin(), container.end()), std::string("box-1") + '\0');

    // Handles are stable for the application, also after a login cycle.
    ASSERT_EQ(f()->C_Logout(s_), CKR_OK);
    ASSERT_EQ(login(s_), CKR_OK);
    EXPECT_EQ(findAll(f(), s_, {ulongAttr(CKA_CLASS, CKO_PRIVATE_KEY)}),
              std::vector<CK_OBJECT_HANDLE>{priv});

    for (CK_OBJECT_HANDLE h : {data, cert, pub, priv})
        EXPECT_EQ(f()->C_DestroyObject(s_, h), CKR_OK);
    EXPECT_TRUE(findAll(f(), s_).empty());
    EXPECT_EQ(f()->C_DestroyObject(s_, data), CKR_OBJECT_HANDLE_INVALID);
    CK_ULONG size = 0;
    EXPECT_EQ(f()->C_GetObjectSize(s_, cert, &size), CKR_OBJECT_HANDLE_INVALID);
}

TEST_F(softtoken_module_Objects, PrivateObjectsNeedTheUser) {
    CK_OBJECT_HANDLE h = 0;
    EXPECT_EQ(createObject(f(), s_, dataObject(true, true, "p"), &h), CKR_USER_NOT_LOGGED_IN);
    ASSERT_EQ(login(s_), CKR_OK);
    ASSERT_EQ(createObject(f(), s_, dataObject(true, true, "p"), &h), CKR_OK);
    CK_OBJECT_HANDLE pub = 0;
    ASSERT_EQ(createObject(f(), s_, dataObject(true, false, "q"), &pub), CKR_OK);
    EXPECT_EQ(findAll(f(), s_).size(), 2u);
    ASSERT_EQ(f()->C_Logout(s_), CKR_OK);
    EXPECT_EQ(findAll(f(), s_), std::vector<CK_OBJECT_HANDLE>{pub});
    CK_RV rv = CKR_OK;
    readAttr(f(), s_, h, CKA_VALUE, &rv);
    EXPECT_EQ(rv, CKR_OBJECT_HANDLE_INVALID);
    // Not for the SO either.
    ASSERT_EQ(login(s_, CKU_SO, kSoPin), CKR_OK);
    EXPECT_EQ(findAll(f(), s_), std::vector<CK_OBJECT_HANDLE>{pub});
}

TEST_F(softtoken_module_Objects, TokenObjectsNeedAReadWriteSession) {
    const CK_SESSION_HANDLE ro = openSession(1, false);
    CK_OBJECT_HANDLE h = 0;
    EXPECT_EQ(createObject(f(), ro, dataObject(true, false, "x"), &h), CKR_SESSION_READ_ONLY);
    ASSERT_EQ(createObject(f(), ro, dataObject(false, false, "x"), &h), CKR_OK);
    CK_OBJECT_HANDLE tok = 0;
    ASSERT_EQ(createObject(f(), s_, dataObject(true, false, "y"), &tok), CKR_OK);
    EXPECT_EQ(f()->C_DestroyObject(ro, tok), CKR_SESSION_READ_ONLY);
    auto label = textAttr(CKA_LABEL, "z");
    CK_ATTRIBUTE a{CKA_LABEL, label.value.data(), 1};
    EXPECT_EQ(f()->C_SetAttributeValue(ro, tok, &a, 1), CKR_SESSION_READ_ONLY);

    // Session objects vanish with their session and never reach the store.
    ASSERT_EQ(f()->C_CloseSession(ro), CKR_OK);
    EXPECT_EQ(findAll(f(), s_), std::vector<CK_OBJECT_HANDLE>{tok});
}

TEST_F(softtoken_module_Objects, TemplatesAreChecked) {
    CK_OBJECT_HANDLE h = 0;
    EXPECT_EQ(createObject(f(), s_, {textAttr(CKA_LABEL, "no class")}, &h),
              CKR_TEMPLATE_INCOMPLETE);
    auto cert = certificateTemplate();
    cert.erase(cert.begin() + 5); // subject
    EXPECT_EQ(createObject(f(), s_, cert, &h), CKR_TEMPLATE_INCOMPLETE);
    auto twice = dataObject(false, false, "a");
    twice.push_back(boolAttr(CKA_TOKEN, true));
    EXPECT_EQ(createObject(f(), s_, twice, &h), CKR_TEMPLATE_INCONSISTENT);
    auto wideBool = dataObject(false, false, "a");
    wideBool.push_back(bytesAttr(CKA_MODIFIABLE, {1, 0}));
    EXPECT_EQ(createObject(f(), s_, wideBool, &h), CKR_ATTRIBUTE_VALUE_INVALID);
    auto foreign = dataObject(false, false, "a");
    foreign.push_back(textAttr(CKA_MODULUS, "not for data"));
    EXPECT_EQ(createObject(f(), s_, foreign, &h), CKR_ATTRIBUTE_TYPE_INVALID);
    const RsaMaterial k = makeRsa(1024);
    std::vector<Attr> local{ulongAttr(CKA_CLASS, CKO_PUBLIC_KEY), ulongAttr(CKA_KEY_TYPE, CKK_RSA),
                            bytesAttr(CKA_MODULUS, k.n), bytesAttr(CKA_PUBLIC_EXPONENT, k.e),
                            boolAttr(CKA_LOCAL, true)};
    EXPECT_EQ(createObject(f(), s_, local, &h), CKR_ATTRIBUTE_READ_ONLY);
    EXPECT_EQ(createObject(f(), s_, {ulongAttr(CKA_CLASS, CKO_SECRET_KEY)}, &h),
              CKR_ATTRIBUTE_VALUE_INVALID);

    CK_ATTRIBUTE nullValue{CKA_LABEL, nullptr, 5};
    CK_OBJECT_CLASS cls = CKO_DATA;
    CK_ATTRIBUTE withNull[] = {{CKA_CLASS, &cls, sizeof cls}, nullValue};
    EXPECT_EQ(f()->C_CreateObject(s_, withNull, 2, &h), CKR_ATTRIBUTE_VALUE_INVALID);
    EXPECT_EQ(f()->C_CreateObject(s_, nullptr, 3, &h), CKR_ARGUMENTS_BAD);
    EXPECT_EQ(f()->C_CreateObject(s_, withNull, 1, nullptr), CKR_ARGUMENTS_BAD);
    EXPECT_EQ(f()->C_CreateObject(s_, withNull, 1u << 30, &h), CKR_ARGUMENTS_BAD);
    EXPECT_EQ(f()->C_CreateObject(s_ + 100, withNull, 1, &h), CKR_SESSION_HANDLE_INVALID);
    EXPECT_TRUE(findAll(f(), s_).empty());
}

TEST_F(softtoken_module_Objects, GetAttributeValueFollowsTheLetterOfTheStandard) {
    ASSERT_EQ(login(s_), CKR_OK);
    const RsaMaterial k = makeRsa(1024);
    CK_OBJECT_HANDLE priv = 0;
    ASSERT_EQ(createObject(f(), s_, privateKeyTemplate(k, false), &priv), CKR_OK);

    CK_BYTE id[16], small[2], modulus[512];
    CK_ATTRIBUTE t[] = {
        {CKA_ID, id, sizeof id},    {CKA_PRIVATE_EXPONENT, modulus, sizeof modulus},
        {CKA_VALUE, id, sizeof id}, {CKA_MODULUS, small, sizeof small},
        {CKA_MODULUS, nullptr, 0},
    };
    const CK_RV rv = f()->C_GetAttributeValue(s_, priv, t, 5);
    EXPECT_TRUE(rv == CKR_ATTRIBUTE_SENSITIVE || rv == CKR_ATTRIBUTE_TYPE_INVALID ||
                rv == CKR_BUFFER_TOO_SMALL)
        << rv;
    EXPECT_EQ(t[0].ulValueLen, 4u); // still filled
    EXPECT_EQ(std::string(reinterpret_cast<char*>(id), 4), "id-1");
    EXPECT_EQ(t[1].ulValueLen, CK_UNAVAILABLE_INFORMATION);
    EXPECT_EQ(t[2].ulValueLen, CK_UNAVAILABLE_INFORMATION);
    EXPECT_EQ(t[3].ulValueLen, CK_UNAVAILABLE_INFORMATION);
    EXPECT_EQ(t[4].ulValueLen, k.n.size());

    CK_ATTRIBUTE one{CKA_PRIME_1, nullptr, 0};
    EXPECT_EQ(f()->C_GetAttributeValue(s_, priv, &one, 1), CKR_ATTRIBUTE_SENSITIVE);
    CK_ATTRIBUTE tiny{CKA_MODULUS, small, sizeof small};
    EXPECT_EQ(f()->C_GetAttributeValue(s_, priv, &tiny, 1), CKR_BUFFER_TOO_SMALL);
    CK_ATTRIBUTE absent{CKA_VALUE, nullptr, 0};
    EXPECT_EQ(f()->C_GetAttributeValue(s_, priv, &absent, 1), CKR_ATTRIBUTE_TYPE_INVALID);
    EXPECT_EQ(f()->C_GetAttributeValue(s_, priv, nullptr, 1), CKR_ARGUMENTS_BAD);
    EXPECT_EQ(f()->C_GetAttributeValue(s_, 0, &absent, 1), CKR_OBJECT_HANDLE_INVALID);
}

TEST_F(softtoken_module_Objects, SetAttributeValueKeepsTheRules) {
    ASSERT_EQ(login(s_), CKR_OK);
    const RsaMaterial k = makeRsa(1024);
    CK_OBJECT_HANDLE priv = 0;
    ASSERT_EQ(createObject(f(), s_, privateKeyTemplate(k, true), &priv), CKR_OK);
    auto set = [&](Attr a) {
        CK_ATTRIBUTE t{a.type, a.value.data(), a.value.size()};
        return f()->C_SetAttributeValue(s_, priv, &t, 1);
    };
    EXPECT_EQ(set(textAttr(CKA_LABEL, "renamed")), CKR_OK);
    EXPECT_EQ(set(boolAttr(CKA_SENSITIVE, false)), CKR_ATTRIBUTE_READ_ONLY);
    EXPECT_EQ(set(boolAttr(CKA_EXTRACTABLE, true)), CKR_ATTRIBUTE_READ_ONLY);
    EXPECT_EQ(set(ulongAttr(CKA_CLASS, CKO_DATA)), CKR_ATTRIBUTE_READ_ONLY);
    EXPECT_EQ(set(textAttr(CKA_MODULUS, "x")), CKR_ATTRIBUTE_READ_ONLY);
    EXPECT_EQ(set(textAttr(CKA_VALUE, "x")), CKR_ATTRIBUTE_TYPE_INVALID);
    EXPECT_EQ(set(bytesAttr(CKA_SIGN, {0, 0})), CKR_ATTRIBUTE_VALUE_INVALID);

    // The change reached the store: a fresh instance reads it.
    ASSERT_EQ(f()->C_Finalize(nullptr), CKR_OK);
    ASSERT_EQ(initialize(), CKR_OK);
    s_ = openSession();
    ASSERT_EQ(login(s_), CKR_OK);
    const auto keys = findAll(f(), s_, {textAttr(CKA_LABEL, "renamed")});
    ASSERT_EQ(keys.size(), 1u);
}

// A sensitive key part is only ever stored sealed: a key that is sensitive but not
// private is refused however it would come about.
TEST_F(softtoken_module_Objects, SensitiveKeysAreNeverStoredInTheClear) {
    ASSERT_EQ(login(s_), CKR_OK);
    const RsaMaterial hidden = makeRsa(1024);
    const RsaMaterial plain = makeRsa(1024);
    CK_OBJECT_HANDLE h = 0;

    auto publicSensitive = privateKeyTemplate(hidden, true);
    publicSensitive[2] = boolAttr(CKA_PRIVATE, false);
    EXPECT_EQ(createObject(f(), s_, publicSensitive, &h), CKR_TEMPLATE_INCONSISTENT);
    publicSensitive.push_back(boolAttr(CKA_SENSITIVE, true));
    EXPECT_EQ(createObject(f(), s_, publicSensitive, &h), CKR_TEMPLATE_INCONSISTENT);

    // Allowed while not sensitive, but it can then never be made sensitive.
    auto open = privateKeyTemplate(plain, true);
    open[2] = boolAttr(CKA_PRIVATE, false);
    open.push_back(boolAttr(CKA_SENSITIVE, false));
    open.push_back(boolAttr(CKA_EXTRACTABLE, true));
    ASSERT_EQ(createObject(f(), s_, open, &h), CKR_OK);
    Attr sensitive = boolAttr(CKA_SENSITIVE, true);
    CK_ATTRIBUTE change{sensitive.type, sensitive.value.data(), sensitive.value.size()};
    EXPECT_EQ(f()->C_SetAttributeValue(s_, h, &change, 1), CKR_TEMPLATE_INCONSISTENT);
    EXPECT_EQ(readAttr(f(), s_, h, CKA_SENSITIVE), std::vector<CK_BYTE>{CK_FALSE});

    CK_MECHANISM gen{CKM_RSA_PKCS_KEY_PAIR_GEN, nullptr, 0};
    CK_ULONG bits = 1024;
    CK_BBOOL yes = CK_TRUE, no = CK_FALSE;
    CK_ATTRIBUTE pubT[] = {{CKA_TOKEN, &yes, 1}, {CKA_MODULUS_BITS, &bits, sizeof bits}};
    CK_ATTRIBUTE privT[] = {{CKA_TOKEN, &yes, 1}, {CKA_PRIVATE, &no, 1}};
    CK_OBJECT_HANDLE hPub = 0, hPriv = 0;
    EXPECT_EQ(f()->C_GenerateKeyPair(s_, &gen, pubT, 2, privT, 2, &hPub, &hPriv),
              CKR_TEMPLATE_INCONSISTENT);
    EXPECT_EQ(findAll(f(), s_, {ulongAttr(CKA_CLASS, CKO_PUBLIC_KEY)}).size(), 0u);

    ASSERT_EQ(f()->C_Finalize(nullptr), CKR_OK);
    const std::string file = store::files::tokenPath(storeConfig().storeDir, "alpha");
    const std::string bytes = fileText(file) + fileText(file + "-wal");
    const auto holds = [&](const std::vector<CK_BYTE>& part) {
        return bytes.find(std::string(part.begin(), part.end())) != std::string::npos;
    };
    EXPECT_TRUE(holds(plain.d)); // the search finds key parts stored in the clear
    EXPECT_FALSE(holds(hidden.d));
    EXPECT_FALSE(holds(hidden.p));
}

TEST_F(softtoken_module_Objects, MemoryIsAccountedAndExhaustionStoresNothing) {
    const CK_ULONG freeBefore = tokenInfo().ulFreePublicMemory;
    CK_OBJECT_HANDLE h = 0;
    ASSERT_EQ(createObject(f(), s_, dataObject(true, false, "m", std::string(500, 'x')), &h),
              CKR_OK);
    CK_ULONG size = 0;
    ASSERT_EQ(f()->C_GetObjectSize(s_, h, &size), CKR_OK);
    EXPECT_GE(size, 500u);
    const CK_ULONG freeAfter = tokenInfo().ulFreePublicMemory;
    EXPECT_EQ(freeBefore - freeAfter, size);

    CK_OBJECT_HANDLE big = 0;
    EXPECT_EQ(createObject(f(), s_, dataObject(true, false, "big", std::string(5000, 'y')), &big),
              CKR_DEVICE_MEMORY);
    EXPECT_EQ(findAll(f(), s_).size(), 1u);
    EXPECT_EQ(tokenInfo().ulFreePublicMemory, freeAfter);

    ASSERT_EQ(f()->C_DestroyObject(s_, h), CKR_OK);
    EXPECT_EQ(tokenInfo().ulFreePublicMemory, freeBefore);
}

TEST_F(softtoken_module_Objects, ObjectsFromAnotherInstanceAppearWithoutRestart) {
    CK_OBJECT_HANDLE h = 0;
    ASSERT_EQ(createObject(f(), s_, dataObject(true, false, "first"), &h), CKR_OK);
    EXPECT_EQ(findAll(f(), s_).size(), 1u);
    {
        // Another writer on the same token file, as another process would be.
        std::unique_ptr<store::TokenDatabase> db;
        ASSERT_EQ(store::TokenDatabase::open(storeConfig(), "alpha", db), CKR_OK);
        store::ObjectRecord r;
        r.attributes[CKA_CLASS] = ulongAttr(0, CKO_DATA).value;
        r.attributes[CKA_TOKEN] = {CK_TRUE};
        r.attributes[CKA_PRIVATE] = {CK_FALSE};
        r.attributes[CKA_LABEL] = textAttr(0, "second").value;
        ASSERT_EQ(db->createObject(nullptr, r), CKR_OK);
    }
    EXPECT_EQ(findAll(f(), s_).size(), 2u);
    EXPECT_EQ(findAll(f(), s_, {textAttr(CKA_LABEL, "second")}).size(), 1u);
}

TEST_F(softtoken_module_Objects, FindStateIsChecked) {
    CK_OBJECT_HANDLE h[2];
    CK_ULONG n = 0;
    EXPECT_EQ(f()->C_FindObjects(s_, h, 2, &n), CKR_OPERATION_NOT_INITIALIZED);
    EXPECT_EQ(f()->C_FindObjectsFinal(s_), CKR_OPERATION_NOT_INITIALIZED);
    ASSERT_EQ(f()->C_FindObjectsInit(s_, nullptr, 0), CKR_OK);
    EXPECT_EQ(f()->C_FindObjectsInit(s_, nullptr, 0), CKR_OPERATION_ACTIVE);
    EXPECT_EQ(f()->C_FindObjects(s_, nullptr, 2, &n), CKR_ARGUMENTS_BAD);
    EXPECT_EQ(f()->C_FindObjectsFinal(s_), CKR_OK);
}

using softtoken_module_RsaRange = ModuleTest;

TEST_F(softtoken_module_RsaRange, KeysOutsideTheConfiguredRangeAreRefused) {
    writeConfig("rsa_min_bits = 1024\nrsa_max_bits = 1024\n");
    addToken("alpha", 1);
    ASSERT_EQ(initialize(), CKR_OK);
    const CK_SESSION_HANDLE s = openSession();
    ASSERT_EQ(login(s), CKR_OK);
    CK_OBJECT_HANDLE h = 0;
    EXPECT_EQ(createObject(f(), s, privateKeyTemplate(makeRsa(2048), true), &h),
              CKR_MECHANISM_PARAM_INVALID);
    EXPECT_EQ(createObject(f(), s, privateKeyTemplate(makeRsa(1024), true), &h), CKR_OK);

    CK_MECHANISM mech{CKM_RSA_PKCS_KEY_PAIR_GEN, nullptr, 0};
    std::vector<Attr> pub{ulongAttr(CKA_MODULUS_BITS, 2048)};
    std::vector<Attr> priv{boolAttr(CKA_TOKEN, true)};
    auto rp = raw(pub), rq = raw(priv);
    CK_OBJECT_HANDLE a = 0, b = 0;
    EXPECT_EQ(f()->C_GenerateKeyPair(s, &mech, rp.data(), rp.size(), rq.data(), rq.size(), &a, &b),
              CKR_MECHANISM_PARAM_INVALID);
    EXPECT_EQ(findAll(f(), s).size(), 1u);
}

} // namespace
} // namespace softtoken::module::test
