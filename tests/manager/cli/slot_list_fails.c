/*
 * A PKCS#11 module that initializes but cannot list its slots, so the tool's
 * slot manager fails to start. Copied beside a copy of the tool under the
 * product library's file name by the tests.
 */
#include <korvan/vendor_aux.h>

#include <stddef.h>

#define EXPORT __attribute__((visibility("default")))

static CK_RV initialize(CK_VOID_PTR args) {
    (void)args;
    return CKR_OK;
}

static CK_RV finalize(CK_VOID_PTR reserved) {
    (void)reserved;
    return CKR_OK;
}

static CK_RV getSlotList(CK_BBOOL present, CK_SLOT_ID_PTR list, CK_ULONG_PTR count) {
    (void)present;
    (void)list;
    (void)count;
    return CKR_DEVICE_ERROR;
}

static CK_FUNCTION_LIST functions = {
    .version = {2, 40},
    .C_Initialize = initialize,
    .C_Finalize = finalize,
    .C_GetSlotList = getSlotList,
};

static VendorAuxFunctionList aux;

EXPORT CK_RV C_GetFunctionList(CK_FUNCTION_LIST_PTR_PTR list) {
    if (list == NULL)
        return CKR_ARGUMENTS_BAD;
    *list = &functions;
    return CKR_OK;
}

EXPORT CK_RV E_GetAuxFunctionList(VendorAuxFunctionList** list) {
    if (list == NULL)
        return CKR_ARGUMENTS_BAD;
    *list = &aux;
    return CKR_OK;
}
