/*
 * A PKCS#11 module in front of the software token whose object handles change
 * at the login: once logged in, every handle it hands out is one higher than
 * before, so a handle from a listing without a login names another object.
 * The real module's path comes from SHIFTED_INNER_MODULE.
 */
#include <korvan/vendor_aux.h>

#include <dlfcn.h>
#include <stddef.h>
#include <stdlib.h>

#define EXPORT __attribute__((visibility("default")))

static CK_FUNCTION_LIST* inner;
static CK_FUNCTION_LIST functions;
static CK_OBJECT_HANDLE shift;

static CK_OBJECT_HANDLE outward(CK_OBJECT_HANDLE h) {
    return h + shift;
}
static CK_OBJECT_HANDLE inward(CK_OBJECT_HANDLE h) {
    return h - shift;
}

static CK_RV login(CK_SESSION_HANDLE s, CK_USER_TYPE user, CK_UTF8CHAR_PTR pin, CK_ULONG length) {
    CK_RV rv = inner->C_Login(s, user, pin, length);
    if (rv == CKR_OK || rv == CKR_USER_ALREADY_LOGGED_IN)
        shift = 1;
    return rv;
}

static CK_RV logout(CK_SESSION_HANDLE s) {
    shift = 0;
    return inner->C_Logout(s);
}

static CK_RV findObjects(CK_SESSION_HANDLE s, CK_OBJECT_HANDLE_PTR found, CK_ULONG max,
                         CK_ULONG_PTR count) {
    CK_RV rv = inner->C_FindObjects(s, found, max, count);
    if (rv == CKR_OK && found != NULL && count != NULL)
        for (CK_ULONG i = 0; i < *count && i < max; ++i)
            found[i] = outward(found[i]);
    return rv;
}

static CK_RV getAttributeValue(CK_SESSION_HANDLE s, CK_OBJECT_HANDLE o, CK_ATTRIBUTE_PTR t,
                               CK_ULONG n) {
    return inner->C_GetAttributeValue(s, inward(o), t, n);
}

static CK_RV destroyObject(CK_SESSION_HANDLE s, CK_OBJECT_HANDLE o) {
    return inner->C_DestroyObject(s, inward(o));
}

static CK_RV getObjectSize(CK_SESSION_HANDLE s, CK_OBJECT_HANDLE o, CK_ULONG_PTR size) {
    return inner->C_GetObjectSize(s, inward(o), size);
}

EXPORT CK_RV C_GetFunctionList(CK_FUNCTION_LIST_PTR_PTR list) {
    if (list == NULL)
        return CKR_ARGUMENTS_BAD;
    if (inner == NULL) {
        const char* path = getenv("SHIFTED_INNER_MODULE");
        void* module = path != NULL ? dlopen(path, RTLD_NOW | RTLD_LOCAL) : NULL;
        CK_C_GetFunctionList get =
            module != NULL ? (CK_C_GetFunctionList)dlsym(module, "C_GetFunctionList") : NULL;
        if (get == NULL || get(&inner) != CKR_OK)
            return CKR_GENERAL_ERROR;
        functions = *inner;
        functions.C_Login = login;
        functions.C_Logout = logout;
        functions.C_FindObjects = findObjects;
        functions.C_GetAttributeValue = getAttributeValue;
        functions.C_DestroyObject = destroyObject;
        functions.C_GetObjectSize = getObjectSize;
    }
    *list = &functions;
    return CKR_OK;
}

EXPORT CK_RV E_GetAuxFunctionList(VendorAuxFunctionList** list) {
    const char* path = getenv("SHIFTED_INNER_MODULE");
    void* module = path != NULL ? dlopen(path, RTLD_NOW | RTLD_LOCAL) : NULL;
    E_GetAuxFunctionList_t get =
        module != NULL ? (E_GetAuxFunctionList_t)dlsym(module, "E_GetAuxFunctionList") : NULL;
    return get != NULL ? get(list) : CKR_GENERAL_ERROR;
}
