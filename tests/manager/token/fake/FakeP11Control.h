/*
 * The block through which the fake PKCS#11 modules report their calls and
 * take instructions. The test program defines it (and exports it); a module
 * finds it with dlsym(RTLD_DEFAULT), so counts survive the module's unloading.
 */
#ifndef FAKE_P11_CONTROL_H
#define FAKE_P11_CONTROL_H

#include <p11-kit/pkcs11.h>

#ifdef __cplusplus
extern "C" {
#endif

typedef struct FakeP11Control {
    CK_ULONG initializeCalls;
    CK_ULONG initializeCallsWithArgs; /* calls whose argument was not NULL */
    CK_ULONG finalizeCalls;
    CK_ULONG getFunctionListCalls;
    CK_ULONG getAuxFunctionListCalls;

    /* Instructions; all zero means each module behaves as it was built. */
    int overrideInitialize; /* C_Initialize answers initializeResult */
    CK_RV initializeResult;
    int nullFunctionList;       /* C_GetFunctionList answers CKR_OK and NULL */
    int tableWithoutInitialize; /* C_GetFunctionList hands out a table with no C_Initialize */
    int nullAuxFunctionList;    /* E_GetAuxFunctionList answers CKR_OK and NULL */
} FakeP11Control;

#define FAKE_P11_CONTROL_SYMBOL "fakeP11Control"

#ifdef __cplusplus
}
#endif

#endif
