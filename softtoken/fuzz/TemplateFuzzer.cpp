// Fuzzed templates through the function list: C_CreateObject, then
// C_GetAttributeValue, C_GetObjectSize and C_SetAttributeValue on what was made.
// Invariants: a failed creation stores nothing (free memory unchanged), a
// created object is destroyed unless it says CKA_DESTROYABLE false (then it
// is refused), and a destroyed token object gives its memory back.

#include "FuzzSupport.h"

#include <korvan/vendor_aux.h>
#include <p11-kit/pkcs11.h>

#include <memory>
#include <vector>

extern "C" CK_RV C_GetFunctionList(CK_FUNCTION_LIST_PTR_PTR);

namespace {

using namespace softtoken;

// Attribute types worth choosing from; index 255 takes a raw type from the input.
const CK_ATTRIBUTE_TYPE kTypes[] = {CKA_CLASS,
                                    CKA_TOKEN,
                                    CKA_PRIVATE,
                                    CKA_LABEL,
                                    CKA_APPLICATION,
                                    CKA_VALUE,
                                    CKA_OBJECT_ID,
                                    CKA_MODIFIABLE,
                                    CKA_COPYABLE,
                                    CKA_DESTROYABLE,
                                    CKA_CERTIFICATE_TYPE,
                                    CKA_SUBJECT,
                                    CKA_ISSUER,
                                    CKA_SERIAL_NUMBER,
                                    CKA_ID,
                                    CKA_TRUSTED,
                                    CKA_CERTIFICATE_CATEGORY,
                                    CKA_CHECK_VALUE,
                                    CKA_START_DATE,
                                    CKA_END_DATE,
                                    CKA_KEY_TYPE,
                                    CKA_LOCAL,
                                    CKA_DERIVE,
                                    CKA_SENSITIVE,
                                    CKA_EXTRACTABLE,
                                    CKA_ALWAYS_SENSITIVE,
                                    CKA_NEVER_EXTRACTABLE,
                                    CKA_SIGN,
                                    CKA_VERIFY,
                                    CKA_ENCRYPT,
                                    CKA_DECRYPT,
                                    CKA_WRAP,
                                    CKA_UNWRAP,
                                    CKA_SIGN_RECOVER,
                                    CKA_VERIFY_RECOVER,
                                    CKA_ALWAYS_AUTHENTICATE,
                                    CKA_WRAP_WITH_TRUSTED,
                                    CKA_MODULUS,
                                    CKA_MODULUS_BITS,
                                    CKA_PUBLIC_EXPONENT,
                                    CKA_PRIVATE_EXPONENT,
                                    CKA_PRIME_1,
                                    CKA_PRIME_2,
                                    CKA_EXPONENT_1,
                                    CKA_EXPONENT_2,
                                    CKA_COEFFICIENT,
                                    CKA_PUBLIC_KEY_INFO,
                                    CKA_KEY_GEN_MECHANISM,
                                    CKA_ALLOWED_MECHANISMS,
                                    CKA_URL,
                                    CKA_HASH_OF_SUBJECT_PUBLIC_KEY,
                                    CKA_JAVA_MIDP_SECURITY_DOMAIN,
                                    0x80455053 /* container name */};

struct Template {
    std::vector<CK_ATTRIBUTE> attrs;
    std::vector<std::vector<CK_BYTE>> values; // owned storage
};

// Each attribute: type selector, length selector, then the value.
//   length 0..239: that many value bytes; 240: a CK_ULONG; 241: a CK_BBOOL;
//   242: null value with a length from the input (huge lengths included).
Template readTemplate(fuzz::Input& in, std::size_t count) {
    Template t;
    t.values.reserve(count);
    for (std::size_t i = 0; i < count && !in.empty(); ++i) {
        const std::uint8_t sel = in.byte();
        CK_ATTRIBUTE a{};
        a.type = sel < std::size(kTypes) ? kTypes[sel] : sel == 255 ? in.u32() : CKA_LABEL;
        const std::uint8_t len = in.byte();
        std::vector<CK_BYTE> v;
        if (len == 240) {
            CK_ULONG u = in.byte();
            if (u == 0xff)
                u = in.u32();
            v.resize(sizeof u);
            std::memcpy(v.data(), &u, sizeof u);
        } else if (len == 241) {
            v.push_back(in.byte() & 1);
        } else if (len == 242) {
            a.pValue = nullptr;
            a.ulValueLen = in.u32();
            t.values.emplace_back();
            t.attrs.push_back(a);
            continue;
        } else {
            const std::string s = in.bytes(len);
            v.assign(s.begin(), s.end());
        }
        t.values.push_back(std::move(v));
        a.pValue = t.values.back().empty() ? nullptr : t.values.back().data();
        a.ulValueLen = t.values.back().size();
        t.attrs.push_back(a);
    }
    return t;
}

struct Harness {
    fuzz::FuzzStore store{"fuzz"};
    CK_FUNCTION_LIST* f = nullptr;
    CK_SESSION_HANDLE session = 0;

    Harness() {
        if (C_GetFunctionList(&f) != CKR_OK || f->C_Initialize(nullptr) != CKR_OK)
            fuzz::fail("module start");
        if (f->C_OpenSession(1, CKF_SERIAL_SESSION | CKF_RW_SESSION, nullptr, nullptr, &session) !=
            CKR_OK)
            fuzz::fail("open session");
    }
    ~Harness() { f->C_Finalize(nullptr); }
    Harness(const Harness&) = delete;
    Harness& operator=(const Harness&) = delete;
    CK_TOKEN_INFO info() {
        CK_TOKEN_INFO i{};
        if (f->C_GetTokenInfo(1, &i) != CKR_OK)
            fuzz::fail("C_GetTokenInfo on a sound token");
        return i;
    }
};

std::unique_ptr<Harness>& harnessSlot() {
    static std::unique_ptr<Harness> h;
    return h;
}

// Objects that rightly refused C_DestroyObject fill the token; after this
// many the harness starts over with a fresh store.
constexpr int kMaxKeptObjects = 32;
int keptObjects = 0;

Harness& harness() {
    std::unique_ptr<Harness>& h = harnessSlot();
    if (h && keptObjects >= kMaxKeptObjects) {
        h.reset(); // finalizes the module before the next store is made
        keptObjects = 0;
    }
    if (!h)
        h = std::make_unique<Harness>();
    return *h;
}

bool destroyable(CK_FUNCTION_LIST* f, CK_SESSION_HANDLE session, CK_OBJECT_HANDLE obj) {
    CK_BBOOL value = CK_TRUE;
    CK_ATTRIBUTE query{CKA_DESTROYABLE, &value, sizeof value};
    return f->C_GetAttributeValue(session, obj, &query, 1) != CKR_OK || value != CK_FALSE;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    Harness& h = harness();
    CK_FUNCTION_LIST* f = h.f;
    fuzz::Input in(data, size);

    const std::uint8_t mode = in.byte();
    // Logged in or not: private objects need the user.
    if (mode & 1) {
        auto* pin = reinterpret_cast<CK_UTF8CHAR_PTR>(const_cast<char*>(fuzz::kUserPin));
        const CK_RV rv = f->C_Login(h.session, CKU_USER, pin, std::strlen(fuzz::kUserPin));
        if (rv != CKR_OK && rv != CKR_USER_ALREADY_LOGGED_IN)
            fuzz::fail("login with the right PIN");
    } else {
        f->C_Logout(h.session);
    }

    Template t = readTemplate(in, in.byte() % 24);
    const CK_TOKEN_INFO before = h.info();
    CK_OBJECT_HANDLE obj = CK_INVALID_HANDLE;
    const CK_RV rv = f->C_CreateObject(h.session, t.attrs.empty() ? nullptr : t.attrs.data(),
                                       static_cast<CK_ULONG>(t.attrs.size()), &obj);
    if (rv != CKR_OK) {
        const CK_TOKEN_INFO after = h.info();
        if (after.ulFreePublicMemory != before.ulFreePublicMemory ||
            after.ulFreePrivateMemory != before.ulFreePrivateMemory)
            fuzz::fail("a refused object took token memory");
        return 0;
    }

    // Read back with a second fuzzed template: null buffers, short buffers, unknown types.
    Template q = readTemplate(in, in.byte() % 16);
    for (std::size_t i = 0; i < q.attrs.size(); ++i)
        if ((mode & 2) && q.attrs[i].pValue == nullptr)
            q.attrs[i].ulValueLen = 0; // a length query
    f->C_GetAttributeValue(h.session, obj, q.attrs.empty() ? nullptr : q.attrs.data(),
                           static_cast<CK_ULONG>(q.attrs.size()));
    CK_ULONG objectSize = 0;
    f->C_GetObjectSize(h.session, obj, &objectSize);
    if (mode & 4) {
        Template u = readTemplate(in, in.byte() % 8);
        f->C_SetAttributeValue(h.session, obj, u.attrs.empty() ? nullptr : u.attrs.data(),
                               static_cast<CK_ULONG>(u.attrs.size()));
    }

    const bool mayDestroy = destroyable(f, h.session, obj);
    const CK_RV destroyed = f->C_DestroyObject(h.session, obj);
    if (!mayDestroy) {
        if (destroyed != CKR_ACTION_PROHIBITED)
            fuzz::fail("destroying an object that is not destroyable");
        ++keptObjects;
        return 0;
    }
    if (destroyed != CKR_OK)
        fuzz::fail("destroying a created object");
    const CK_TOKEN_INFO after = h.info();
    if (after.ulFreePublicMemory != before.ulFreePublicMemory ||
        after.ulFreePrivateMemory != before.ulFreePrivateMemory)
        fuzz::fail("a destroyed object kept token memory");
    return 0;
}
