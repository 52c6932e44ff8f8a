// The token library binding of the token serial and token count members: the library is loaded
// by file name, initialised, asked for its slots with tokens and their token information, and
// finalised and unloaded again within one call.
#pragma once

#include <windows.h>

// The standard PKCS#11 header with the platform's natural structure alignment. On Windows the
// token libraries are built with 1-byte packing, but on this platform they (and the manager that
// talks to the same libraries) use the natural layout; packing here would misread every
// CK_TOKEN_INFO field after the first unaligned one.
#include <p11-kit/pkcs11.h>

// Room the callers give for token records; only the first is read.
constexpr CK_ULONG kTokenRecordCount = 10;

class CGetInfos {
public:
    // Loads and initialises the library; Bound() tells whether all three steps succeeded.
    explicit CGetInfos(LPCSTR libraryName);
    ~CGetInfos();
    CGetInfos(const CGetInfos&) = delete;
    CGetInfos& operator=(const CGetInfos&) = delete;

    bool Loaded() const { return library != nullptr; }
    bool Bound() const { return initialized; }

    // The token information of the slots with a token, in slot-list order, into at most
    // `capacity` records. CKR_OK with slotCount set; CKR_DEVICE_ERROR when the first slot list
    // query fails or lists none, CKR_TOKEN_NOT_PRESENT when the second does, CKR_FUNCTION_FAILED
    // when a token information query fails.
    CK_RV QueryTokens(CK_TOKEN_INFO* records, CK_ULONG capacity);

    HMODULE library = nullptr;
    CK_FUNCTION_LIST_PTR functionList = nullptr;
    CK_ULONG slotCount = static_cast<CK_ULONG>(-1);

private:
    bool initialized = false;
};

// The members' operations over one product library, or over the library configured in its place
// for the provider of that library (providers/token/LibraryChoice.h): the serial text (16 characters as the library gives
// them) or "-1"; the token count or -1. False when the library does not load or bind: no value.
bool QueryTokenSerial(LPCSTR libraryName, char serial[17]);
bool QueryTokenCount(LPCSTR libraryName, LONG* count);
