// A token file with fuzzed contents, opened through the store and through the
// module. It must be reported (CKR_TOKEN_NOT_RECOGNIZED or a device error), or
// work; never crash, and the other reader must keep working.

#include "FuzzSupport.h"

#include <p11-kit/pkcs11.h>

#include <cstdio>
#include <sys/stat.h>

extern "C" CK_RV C_GetFunctionList(CK_FUNCTION_LIST_PTR_PTR);

namespace {

using namespace softtoken;

struct Harness {
    fuzz::FuzzStore store{"damaged"};
    std::string path = store.config.storeDir + "/damaged.token";
};

Harness& harness() {
    static Harness h;
    return h;
}

bool acceptable(CK_RV rv) {
    return rv == CKR_OK || rv == CKR_TOKEN_NOT_RECOGNIZED || rv == CKR_DEVICE_ERROR;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    Harness& h = harness();
    for (const char* suffix : {"-wal", "-shm", "-journal"})
        std::remove((h.path + suffix).c_str());
    if (FILE* file = std::fopen(h.path.c_str(), "wb")) {
        std::fwrite(data, 1, size, file);
        std::fclose(file);
        // A token file others could read is refused before it is parsed.
        ::chmod(h.path.c_str(), 0600);
    } else {
        fuzz::fail("writing the token file");
    }

    // Through the store.
    {
        std::unique_ptr<store::TokenDatabase> db;
        const CK_RV rv = store::TokenDatabase::open(h.store.config, "damaged", db);
        if (!acceptable(rv))
            fuzz::fail("unexpected result from opening");
        if (rv == CKR_OK) {
            store::TokenRecord token;
            db->readToken(token);
            std::vector<store::ObjectRecord> objects;
            db->readObjects(nullptr, objects);
            store::SecureBytes key;
            if (db->login(CKU_USER, store::SecureBytes(fuzz::kUserPin, std::strlen(fuzz::kUserPin)),
                          key) == CKR_OK)
                db->readObjects(&key, objects);
        }
    }

    // Through the module.
    CK_FUNCTION_LIST* f = nullptr;
    if (C_GetFunctionList(&f) != CKR_OK || f->C_Initialize(nullptr) != CKR_OK)
        fuzz::fail("module start");
    CK_TOKEN_INFO info{};
    const CK_RV rv = f->C_GetTokenInfo(1, &info);
    if (!acceptable(rv))
        fuzz::fail("unexpected C_GetTokenInfo result");
    CK_SLOT_INFO slot{};
    if (f->C_GetSlotInfo(1, &slot) != CKR_OK || !(slot.flags & CKF_TOKEN_PRESENT))
        fuzz::fail("the slot of a damaged token must still show it present");
    if (f->C_GetSlotInfo(2, &slot) != CKR_OK)
        fuzz::fail("the other slot stopped working");
    CK_SESSION_HANDLE s = 0;
    if (rv == CKR_OK && f->C_OpenSession(1, CKF_SERIAL_SESSION, nullptr, nullptr, &s) == CKR_OK) {
        CK_BBOOL yes = CK_TRUE;
        CK_ATTRIBUTE tmpl[] = {{CKA_TOKEN, &yes, sizeof yes}};
        if (f->C_FindObjectsInit(s, tmpl, 1) == CKR_OK) {
            CK_OBJECT_HANDLE handles[16];
            CK_ULONG n = 0;
            while (f->C_FindObjects(s, handles, 16, &n) == CKR_OK && n > 0)
                for (CK_ULONG i = 0; i < n; ++i) {
                    CK_ULONG size = 0;
                    f->C_GetObjectSize(s, handles[i], &size);
                }
            f->C_FindObjectsFinal(s);
        }
    }
    f->C_Finalize(nullptr);
    return 0;
}
