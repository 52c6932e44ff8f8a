/*
 * The token library's vendor extension table, the record handed to its
 * token-initialization entry and the PIN error-count record.
 *
 * This is the one definition shared by the manager (caller) and the software
 * token (implementer). It sits on the standard PKCS#11 header, so the table
 * follows the platform's natural alignment and calling convention exactly as
 * CK_FUNCTION_LIST does.
 */
#ifndef KORVAN_VENDOR_AUX_H
#define KORVAN_VENDOR_AUX_H

#include <p11-kit/pkcs11.h>

#include <stddef.h>
#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

/* Vendor object attribute: the key container an object belongs to, as ASCII text plus one NUL. */
#define CKA_CONTAINER_NAME ((CK_ATTRIBUTE_TYPE)0x80455053UL)

/* Flag for E_PollSlotEvent: return at once instead of waiting. */
#define E_POLL_DONT_BLOCK ((CK_FLAGS)1)

/* E_SetTokenLabel's second argument: the label is the token label. */
#define E_LABEL_KIND_TOKEN ((CK_ULONG)1)

/* Event codes delivered by E_PollSlotEvent. */
#define E_EVENT_TOKEN_INSERTED ((CK_ULONG)1)
#define E_EVENT_TOKEN_REMOVED ((CK_ULONG)2)
#define E_EVENT_USER_PIN_CHANGED ((CK_ULONG)6)
#define E_EVENT_SO_PIN_CHANGED ((CK_ULONG)7)
#define E_EVENT_LABEL_CHANGED ((CK_ULONG)8)
#define E_EVENT_TOKEN_REINITIALIZED ((CK_ULONG)269)

#pragma pack(push, 1)
/*
 * Parameters of E_InitToken. Packed with 1-byte alignment; the three text
 * fields point to NUL-terminated single-byte strings that stay valid for the
 * duration of the call.
 *
 *   field               4-byte pointers   8-byte pointers
 *   headerByte0          0  (1)            0  (1)    always 1
 *   headerByte1          1  (1)            1  (1)    always 0
 *   label                2  (4)            2  (8)
 *   reserved6            6  (4)           10  (4)    0
 *   soPin               10  (4)           14  (8)
 *   userPin             14  (4)           22  (8)
 *   soPinErrorCount     18  (1)           30  (1)
 *   userPinErrorCount   19  (1)           31  (1)
 *   fixedByte20         20  (1)           32  (1)    always 9
 *   fixedByte21         21  (1)           33  (1)    always 9
 *   publicMemorySize    22  (4)           34  (4)
 *   privateMemorySize   26  (4)           38  (4)
 *   reserved30          30  (4)           42  (4)    0
 *   tokenInitParameter  34  (4)           46  (4)    the product's value, verbatim
 *   total               38                50
 */
typedef struct TokenInitParams {
    uint8_t headerByte0;
    uint8_t headerByte1;
    const char* label;
    uint32_t reserved6;
    const char* soPin;
    const char* userPin;
    uint8_t soPinErrorCount;
    uint8_t userPinErrorCount;
    uint8_t fixedByte20;
    uint8_t fixedByte21;
    uint32_t publicMemorySize;
    uint32_t privateMemorySize;
    uint32_t reserved30;
    uint32_t tokenInitParameter;
} TokenInitParams;

/* Filled by E_GetPinErrorCounts: the SO PIN retry limit in byte 0, the user PIN retry limit in byte 2. */
typedef struct PinErrorCounts {
    uint8_t soPinErrorCount;
    uint8_t reserved1;
    uint8_t userPinErrorCount;
    uint8_t reserved3[5];
} PinErrorCounts;
#pragma pack(pop)

#define TOKEN_INIT_PARAMS_SIZE (sizeof(void*) == 4 ? 38 : 50)

#ifdef __cplusplus
static_assert(sizeof(TokenInitParams) == TOKEN_INIT_PARAMS_SIZE, "TokenInitParams layout");
static_assert(sizeof(void*) != 8 || offsetof(TokenInitParams, soPin) == 14, "TokenInitParams layout");
static_assert(sizeof(void*) != 8 || offsetof(TokenInitParams, tokenInitParameter) == 46,
              "TokenInitParams layout");
static_assert(sizeof(void*) != 4 || offsetof(TokenInitParams, tokenInitParameter) == 34,
              "TokenInitParams layout");
static_assert(sizeof(PinErrorCounts) == 8, "PinErrorCounts layout");
#else
_Static_assert(sizeof(TokenInitParams) == TOKEN_INIT_PARAMS_SIZE, "TokenInitParams layout");
_Static_assert(sizeof(PinErrorCounts) == 8, "PinErrorCounts layout");
#endif

typedef CK_RV (*E_InitToken_t)(CK_SLOT_ID slotID, const TokenInitParams* params);
typedef CK_RV (*E_SetTokenLabel_t)(CK_SLOT_ID slotID, CK_ULONG labelKind, CK_VOID_PTR reserved,
                                   CK_ULONG reservedLen, const char* label);
typedef CK_RV (*E_GetPinErrorCounts_t)(CK_SLOT_ID slotID, CK_BYTE_PTR record);
typedef CK_RV (*E_PollSlotEvent_t)(CK_FLAGS flags, CK_SLOT_ID_PTR slotID, CK_ULONG_PTR event,
                                   CK_ULONG_PTR extra, CK_VOID_PTR reserved);

/* Same alignment as CK_FUNCTION_LIST: a CK_VERSION, then the entries. */
typedef struct VendorAuxFunctionList {
    CK_VERSION version;
    E_InitToken_t E_InitToken;
    E_SetTokenLabel_t E_SetTokenLabel;
    E_GetPinErrorCounts_t E_GetPinErrorCounts;
    E_PollSlotEvent_t E_PollSlotEvent;
} VendorAuxFunctionList;

typedef VendorAuxFunctionList* VendorAuxFunctionListPtr;
typedef CK_RV (*E_GetAuxFunctionList_t)(VendorAuxFunctionList** list);

#ifdef __cplusplus
}
#endif

#endif
