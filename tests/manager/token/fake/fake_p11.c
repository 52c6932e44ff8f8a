/*
 * A minimal PKCS#11 module for loader tests. One source, built several times:
 *   FAKE_NO_GET_FUNCTION_LIST      C_GetFunctionList is not exported
 *   FAKE_GET_FUNCTION_LIST_FAILS   C_GetFunctionList fills in its table, then fails
 *   FAKE_ALREADY_INITIALIZED       C_Initialize answers CKR_CRYPTOKI_ALREADY_INITIALIZED
 *   FAKE_NO_AUX                    E_GetAuxFunctionList is not exported
 *   FAKE_AUX_FAILS                 E_GetAuxFunctionList fills in its table, then fails
 */
#define _GNU_SOURCE
#include "FakeP11Control.h"

#include <korvan/vendor_aux.h>

#include <dlfcn.h>
#include <stddef.h>

#define FAKE_EXPORT __attribute__((visibility("default")))

static FakeP11Control* control(void) {
    /* Absent when some other program loads the module: then nothing is counted. */
    return (FakeP11Control*)dlsym(RTLD_DEFAULT, FAKE_P11_CONTROL_SYMBOL);
}

/* The tables point at these static functions so that no other loaded fake can interpose. */
static CK_RV fakeInitialize(void* args) {
    FakeP11Control* c = control();
    if (c != NULL) {
        c->initializeCalls++;
        if (args != NULL)
            c->initializeCallsWithArgs++;
        if (c->overrideInitialize)
            return c->initializeResult;
    }
#ifdef FAKE_ALREADY_INITIALIZED
    return CKR_CRYPTOKI_ALREADY_INITIALIZED;
#else
    return CKR_OK;
#endif
}

static CK_RV fakeFinalize(void* reserved) {
    FakeP11Control* c = control();
    (void)reserved;
    if (c != NULL)
        c->finalizeCalls++;
    return CKR_OK;
}

FAKE_EXPORT CK_RV C_Initialize(void* args) {
    return fakeInitialize(args);
}
FAKE_EXPORT CK_RV C_Finalize(void* reserved) {
    return fakeFinalize(reserved);
}

#ifndef FAKE_NO_GET_FUNCTION_LIST
static CK_FUNCTION_LIST functionList = {
    .version = {2, 40},
    .C_Initialize = fakeInitialize,
    .C_Finalize = fakeFinalize,
};

static CK_FUNCTION_LIST functionListWithoutInitialize = {
    .version = {2, 40},
    .C_Finalize = fakeFinalize,
};

FAKE_EXPORT CK_RV C_GetFunctionList(CK_FUNCTION_LIST_PTR_PTR list) {
    FakeP11Control* c = control();
    if (list == NULL)
        return CKR_ARGUMENTS_BAD;
    *list = &functionList;
    if (c != NULL) {
        c->getFunctionListCalls++;
        if (c->nullFunctionList)
            *list = NULL;
        if (c->tableWithoutInitialize)
            *list = &functionListWithoutInitialize;
    }
#ifdef FAKE_GET_FUNCTION_LIST_FAILS
    return CKR_GENERAL_ERROR;
#else
    return CKR_OK;
#endif
}
#endif

#ifndef FAKE_NO_AUX
static VendorAuxFunctionList auxFunctionList = {.version = {1, 0}};

FAKE_EXPORT CK_RV E_GetAuxFunctionList(VendorAuxFunctionList** list) {
    FakeP11Control* c = control();
    if (list == NULL)
        return CKR_ARGUMENTS_BAD;
    *list = &auxFunctionList;
    if (c != NULL) {
        c->getAuxFunctionListCalls++;
        if (c->nullAuxFunctionList)
            *list = NULL;
    }
#ifdef FAKE_AUX_FAILS
    return CKR_FUNCTION_FAILED;
#else
    return CKR_OK;
#endif
}
#endif
