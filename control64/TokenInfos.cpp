#include "TokenInfos.h"

#include "providers/token/LibraryChoice.h"

#include <cstdio>
#include <cstring>
#include <vector>

namespace {

// A slot list longer than this is taken for a broken library rather than allocated.
constexpr CK_ULONG kMaxSlots = 4096;

} // namespace

CGetInfos::CGetInfos(LPCSTR libraryName) {
    library = LoadLibraryA(libraryName);
    if (library == nullptr) {
        printf("Load Library Error!");
        fflush(stdout);
        return;
    }
    // Through void* as Windows code casts FARPROC: the two function types are unrelated.
    auto getFunctionList = reinterpret_cast<CK_C_GetFunctionList>(
        reinterpret_cast<void*>(GetProcAddress(library, "C_GetFunctionList")));
    if (getFunctionList == nullptr || getFunctionList(&functionList) != CKR_OK ||
        functionList == nullptr) {
        functionList = nullptr;
        printf("Get function list failed.\n");
        fflush(stdout);
        return;
    }
    if (functionList->C_Initialize(nullptr) != CKR_OK) {
        printf("Call C_Initialize failed.\n");
        fflush(stdout);
        return;
    }
    initialized = true;
}

CGetInfos::~CGetInfos() {
    if (functionList != nullptr)
        functionList->C_Finalize(nullptr);
    if (library != nullptr)
        FreeLibrary(library);
}

CK_RV CGetInfos::QueryTokens(CK_TOKEN_INFO* records, CK_ULONG capacity) {
    if (!initialized)
        return CKR_CRYPTOKI_NOT_INITIALIZED;
    CK_ULONG count = 0;
    if (functionList->C_GetSlotList(CK_TRUE, nullptr, &count) != CKR_OK || count == 0 ||
        count > kMaxSlots)
        return CKR_DEVICE_ERROR;
    std::vector<CK_SLOT_ID> slots(count);
    if (functionList->C_GetSlotList(CK_TRUE, slots.data(), &count) != CKR_OK || count == 0 ||
        count > slots.size())
        return CKR_TOKEN_NOT_PRESENT;
    // Only `capacity` records exist; tokens beyond them are counted, not read.
    for (CK_ULONG i = 0; i < count && i < capacity; ++i) {
        if (functionList->C_GetTokenInfo(slots[i], &records[i]) != CKR_OK)
            return CKR_FUNCTION_FAILED;
    }
    slotCount = count;
    return CKR_OK;
}

bool QueryTokenSerial(LPCSTR libraryName, char serial[17]) {
    CGetInfos infos(providers::token::tokenQueryLibrary(libraryName).c_str());
    if (!infos.Loaded())
        return false;
    CK_TOKEN_INFO records[kTokenRecordCount] = {};
    if (!infos.Bound() || infos.QueryTokens(records, kTokenRecordCount) != CKR_OK) {
        strcpy(serial, "-1");
        return true;
    }
    static_assert(sizeof records[0].serialNumber == 16);
    memcpy(serial, records[0].serialNumber, 16);
    serial[16] = '\0';
    return true;
}

bool QueryTokenCount(LPCSTR libraryName, LONG* count) {
    CGetInfos infos(providers::token::tokenQueryLibrary(libraryName).c_str());
    if (!infos.Loaded())
        return false;
    CK_TOKEN_INFO records[kTokenRecordCount] = {};
    if (!infos.Bound() || infos.QueryTokens(records, kTokenRecordCount) != CKR_OK)
        *count = -1;
    else
        *count = static_cast<LONG>(infos.slotCount);
    return true;
}
