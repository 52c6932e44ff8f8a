// The standard function list and the entry points this token does not offer.
#include "Entry.h"

using namespace softtoken::module;

namespace {
CK_RV unsupported() {
    return withModule([](Module&) -> CK_RV { return CKR_FUNCTION_NOT_SUPPORTED; });
}
} // namespace

SOFTTOKEN_EXPORT CK_RV C_GetOperationState(CK_SESSION_HANDLE, CK_BYTE_PTR, CK_ULONG_PTR) {
    return unsupported();
}
SOFTTOKEN_EXPORT CK_RV C_SetOperationState(CK_SESSION_HANDLE, CK_BYTE_PTR, CK_ULONG,
                                           CK_OBJECT_HANDLE, CK_OBJECT_HANDLE) {
    return unsupported();
}
SOFTTOKEN_EXPORT CK_RV C_CopyObject(CK_SESSION_HANDLE, CK_OBJECT_HANDLE, CK_ATTRIBUTE_PTR, CK_ULONG,
                                    CK_OBJECT_HANDLE_PTR) {
    return unsupported();
}
SOFTTOKEN_EXPORT CK_RV C_DigestKey(CK_SESSION_HANDLE, CK_OBJECT_HANDLE) {
    return unsupported();
}
SOFTTOKEN_EXPORT CK_RV C_SignRecoverInit(CK_SESSION_HANDLE, CK_MECHANISM_PTR, CK_OBJECT_HANDLE) {
    return unsupported();
}
SOFTTOKEN_EXPORT CK_RV C_SignRecover(CK_SESSION_HANDLE, CK_BYTE_PTR, CK_ULONG, CK_BYTE_PTR,
                                     CK_ULONG_PTR) {
    return unsupported();
}
SOFTTOKEN_EXPORT CK_RV C_VerifyRecoverInit(CK_SESSION_HANDLE, CK_MECHANISM_PTR, CK_OBJECT_HANDLE) {
    return unsupported();
}
SOFTTOKEN_EXPORT CK_RV C_VerifyRecover(CK_SESSION_HANDLE, CK_BYTE_PTR, CK_ULONG, CK_BYTE_PTR,
                                       CK_ULONG_PTR) {
    return unsupported();
}
SOFTTOKEN_EXPORT CK_RV C_DigestEncryptUpdate(CK_SESSION_HANDLE, CK_BYTE_PTR, CK_ULONG, CK_BYTE_PTR,
                                             CK_ULONG_PTR) {
    return unsupported();
}
SOFTTOKEN_EXPORT CK_RV C_DecryptDigestUpdate(CK_SESSION_HANDLE, CK_BYTE_PTR, CK_ULONG, CK_BYTE_PTR,
                                             CK_ULONG_PTR) {
    return unsupported();
}
SOFTTOKEN_EXPORT CK_RV C_SignEncryptUpdate(CK_SESSION_HANDLE, CK_BYTE_PTR, CK_ULONG, CK_BYTE_PTR,
                                           CK_ULONG_PTR) {
    return unsupported();
}
SOFTTOKEN_EXPORT CK_RV C_DecryptVerifyUpdate(CK_SESSION_HANDLE, CK_BYTE_PTR, CK_ULONG, CK_BYTE_PTR,
                                             CK_ULONG_PTR) {
    return unsupported();
}
SOFTTOKEN_EXPORT CK_RV C_GenerateKey(CK_SESSION_HANDLE, CK_MECHANISM_PTR, CK_ATTRIBUTE_PTR,
                                     CK_ULONG, CK_OBJECT_HANDLE_PTR) {
    return unsupported();
}
SOFTTOKEN_EXPORT CK_RV C_WrapKey(CK_SESSION_HANDLE, CK_MECHANISM_PTR, CK_OBJECT_HANDLE,
                                 CK_OBJECT_HANDLE, CK_BYTE_PTR, CK_ULONG_PTR) {
    return unsupported();
}
SOFTTOKEN_EXPORT CK_RV C_UnwrapKey(CK_SESSION_HANDLE, CK_MECHANISM_PTR, CK_OBJECT_HANDLE,
                                   CK_BYTE_PTR, CK_ULONG, CK_ATTRIBUTE_PTR, CK_ULONG,
                                   CK_OBJECT_HANDLE_PTR) {
    return unsupported();
}
SOFTTOKEN_EXPORT CK_RV C_DeriveKey(CK_SESSION_HANDLE, CK_MECHANISM_PTR, CK_OBJECT_HANDLE,
                                   CK_ATTRIBUTE_PTR, CK_ULONG, CK_OBJECT_HANDLE_PTR) {
    return unsupported();
}

// Legacy parallel-function calls: the answer the standard fixes for them.
SOFTTOKEN_EXPORT CK_RV C_GetFunctionStatus(CK_SESSION_HANDLE hSession) {
    return withSession(hSession,
                       [](Module&, Session&) -> CK_RV { return CKR_FUNCTION_NOT_PARALLEL; });
}
SOFTTOKEN_EXPORT CK_RV C_CancelFunction(CK_SESSION_HANDLE hSession) {
    return withSession(hSession,
                       [](Module&, Session&) -> CK_RV { return CKR_FUNCTION_NOT_PARALLEL; });
}

namespace {
CK_FUNCTION_LIST gFunctionList = {
    {2, 40},
    C_Initialize,
    C_Finalize,
    C_GetInfo,
    C_GetFunctionList,
    C_GetSlotList,
    C_GetSlotInfo,
    C_GetTokenInfo,
    C_GetMechanismList,
    C_GetMechanismInfo,
    C_InitToken,
    C_InitPIN,
    C_SetPIN,
    C_OpenSession,
    C_CloseSession,
    C_CloseAllSessions,
    C_GetSessionInfo,
    C_GetOperationState,
    C_SetOperationState,
    C_Login,
    C_Logout,
    C_CreateObject,
    C_CopyObject,
    C_DestroyObject,
    C_GetObjectSize,
    C_GetAttributeValue,
    C_SetAttributeValue,
    C_FindObjectsInit,
    C_FindObjects,
    C_FindObjectsFinal,
    C_EncryptInit,
    C_Encrypt,
    C_EncryptUpdate,
    C_EncryptFinal,
    C_DecryptInit,
    C_Decrypt,
    C_DecryptUpdate,
    C_DecryptFinal,
    C_DigestInit,
    C_Digest,
    C_DigestUpdate,
    C_DigestKey,
    C_DigestFinal,
    C_SignInit,
    C_Sign,
    C_SignUpdate,
    C_SignFinal,
    C_SignRecoverInit,
    C_SignRecover,
    C_VerifyInit,
    C_Verify,
    C_VerifyUpdate,
    C_VerifyFinal,
    C_VerifyRecoverInit,
    C_VerifyRecover,
    C_DigestEncryptUpdate,
    C_DecryptDigestUpdate,
    C_SignEncryptUpdate,
    C_DecryptVerifyUpdate,
    C_GenerateKey,
    C_GenerateKeyPair,
    C_WrapKey,
    C_UnwrapKey,
    C_DeriveKey,
    C_SeedRandom,
    C_GenerateRandom,
    C_GetFunctionStatus,
    C_CancelFunction,
    C_WaitForSlotEvent,
};
} // namespace

SOFTTOKEN_EXPORT CK_RV C_GetFunctionList(CK_FUNCTION_LIST_PTR_PTR ppFunctionList) {
    if (!ppFunctionList)
        return CKR_ARGUMENTS_BAD;
    *ppFunctionList = &gFunctionList;
    return CKR_OK;
}
