// The vendor extension table: initialization with extended parameters,
// relabelling, the PIN retry settings and a non-blocking slot event poll.
#include "Entry.h"

#include <korvan/vendor_aux.h>

using namespace softtoken::module;

namespace {

constexpr std::size_t kMaxLabelLen = 32;

bool textTooLong(const char* text, std::size_t max) {
    return strnlen(text, max + 1) > max;
}

CK_RV initToken(CK_SLOT_ID slotID, const TokenInitParams* params) {
    return withModule([&](Module& m) -> CK_RV {
        if (!params || !params->label || !params->soPin || !params->userPin)
            return CKR_ARGUMENTS_BAD;
        if (textTooLong(params->label, kMaxLabelLen))
            return CKR_ARGUMENTS_BAD;
        Token* t = nullptr;
        CK_RV rv = openTokenForInit(m, slotID, t);
        if (rv != CKR_OK)
            return rv;
        CK_ULONG minPin = m.config().minPinLen, maxPin = m.config().maxPinLen;
        store::TokenRecord r;
        if (t->db->readToken(r) == CKR_OK) {
            minPin = r.minPinLen;
            maxPin = r.maxPinLen;
        }
        for (const char* pin : {params->soPin, params->userPin}) {
            const std::size_t len = strnlen(pin, maxPin + 1);
            if (len < minPin || len > maxPin)
                return CKR_PIN_LEN_RANGE;
        }
        store::InitRequest request;
        request.label = params->label;
        request.soPin = SecureBytes(params->soPin, std::strlen(params->soPin));
        request.userPin = SecureBytes(params->userPin, std::strlen(params->userPin));
        request.soRetryLimit = params->soPinErrorCount;
        request.userRetryLimit = params->userPinErrorCount;
        request.publicMemory = params->publicMemorySize;
        request.privateMemory = params->privateMemorySize;
        rv = t->db->initialize(request);
        if (rv != CKR_OK)
            return rv;
        tokenReinitialized(m, slotID);
        return CKR_OK;
    });
}

CK_RV setTokenLabel(CK_SLOT_ID slotID, CK_ULONG labelKind, CK_VOID_PTR, CK_ULONG,
                    const char* label) {
    return withModule([&](Module& m) -> CK_RV {
        if (labelKind != E_LABEL_KIND_TOKEN || !label || textTooLong(label, kMaxLabelLen))
            return CKR_ARGUMENTS_BAD;
        m.pumpEvents();
        Token* t = nullptr;
        CK_RV rv = m.openToken(slotID, t);
        if (rv != CKR_OK)
            return rv;
        rv = t->db->setLabel(label);
        if (rv == CKR_OK)
            m.appendEvent(slotID, E_EVENT_LABEL_CHANGED);
        return rv;
    });
}

CK_RV getPinErrorCounts(CK_SLOT_ID slotID, CK_BYTE_PTR record) {
    return withModule([&](Module& m) -> CK_RV {
        if (!record)
            return CKR_ARGUMENTS_BAD;
        store::TokenRecord r;
        if (CK_RV rv = readTokenRecord(m, slotID, r); rv != CKR_OK)
            return rv;
        PinErrorCounts counts{};
        counts.soPinErrorCount = r.soRetryLimit;
        counts.userPinErrorCount = r.userRetryLimit;
        std::memcpy(record, &counts, sizeof counts);
        return CKR_OK;
    });
}

CK_RV pollSlotEvent(CK_FLAGS flags, CK_SLOT_ID_PTR slotID, CK_ULONG_PTR event, CK_ULONG_PTR extra,
                    CK_VOID_PTR) {
    return withModule([&](Module& m) -> CK_RV {
        if (flags != E_POLL_DONT_BLOCK || !slotID || !event || !extra)
            return CKR_ARGUMENTS_BAD;
        m.pumpEvents();
        auto e = m.nextEvent();
        if (!e)
            return CKR_NO_EVENT;
        *slotID = e->slot;
        *event = e->code;
        *extra = 0;
        return CKR_OK;
    });
}

VendorAuxFunctionList gAuxFunctions = {
    {1, 0}, initToken, setTokenLabel, getPinErrorCounts, pollSlotEvent,
};

} // namespace

SOFTTOKEN_EXPORT CK_RV E_GetAuxFunctionList(VendorAuxFunctionList** list) {
    if (!list)
        return CKR_ARGUMENTS_BAD;
    *list = &gAuxFunctions;
    return CKR_OK;
}
