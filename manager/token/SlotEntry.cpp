#include "SlotEntry.h"

#include "AttributeRead.h"
#include "TokenLibrary.h"
#include "VersionText.h"

#include <cstdio>
#include <cstring>

std::string versionText(CK_VERSION version) {
    char text[16];
    std::snprintf(text, sizeof text, version.minor < 10 ? "%d.0%d" : "%d.%d",
                  static_cast<int>(version.major), static_cast<int>(version.minor));
    return text;
}

namespace {

// A fixed-width PKCS#11 text field read as a C string: it ends at the first
// NUL, if any.
std::string fieldText(const unsigned char* field, size_t width) {
    const void* nul = std::memchr(field, '\0', width);
    size_t length = nul != nullptr ? static_cast<const unsigned char*>(nul) - field : width;
    return std::string(reinterpret_cast<const char*>(field), length);
}

std::string trimmedFieldText(const unsigned char* field, size_t width) {
    std::string text = fieldText(field, width);
    while (!text.empty() && text.back() == ' ')
        text.pop_back();
    return text;
}

template <size_t N> std::string trimmedField(const unsigned char (&field)[N]) {
    return trimmedFieldText(field, N);
}

std::string textOf(const std::vector<unsigned char>& bytes) {
    return fieldText(bytes.data(), bytes.size());
}

// A container name as imports write it: 36 characters, upper-case hex digits
// in groups of 8, 4, 4, 4 and 12 joined by hyphens.
bool isContainerNameText(const std::vector<unsigned char>& bytes) {
    if (bytes.size() != 36)
        return false;
    for (size_t i = 0; i < bytes.size(); ++i) {
        unsigned char c = bytes[i];
        bool hyphen = i == 8 || i == 13 || i == 18 || i == 23;
        if (hyphen ? c != '-' : !((c >= '0' && c <= '9') || (c >= 'A' && c <= 'F')))
            return false;
    }
    return true;
}

} // namespace

SlotEntry::SlotEntry(CK_SLOT_ID slotId, const TokenLibrary& library)
    : slotId_(slotId), library_(library) {}

SlotEntry::~SlotEntry() {
    resetToken();
}

CK_FUNCTION_LIST* SlotEntry::functions() const {
    return library_.functions();
}

CK_RV SlotEntry::getSession(CK_SESSION_HANDLE* out) {
    if (out == nullptr)
        return CKR_ARGUMENTS_BAD;
    *out = CK_INVALID_HANDLE;
    CK_FUNCTION_LIST* fns = functions();
    if (fns == nullptr)
        return CKR_GENERAL_ERROR;
    Lock guard = lock();
    if (session_ == CK_INVALID_HANDLE) {
        CK_SESSION_HANDLE opened = CK_INVALID_HANDLE;
        CK_RV rv = fns->C_OpenSession(slotId_, CKF_RW_SESSION | CKF_SERIAL_SESSION, nullptr,
                                      nullptr, &opened);
        if (rv != CKR_OK)
            return rv;
        session_ = opened;
    }
    *out = session_;
    return CKR_OK;
}

CK_RV SlotEntry::login(const CK_UTF8CHAR* pin, CK_ULONG pinLength) {
    Lock guard = lock();
    if (!tokenPresent)
        return CKR_DEVICE_REMOVED;
    CK_SESSION_HANDLE session = CK_INVALID_HANDLE;
    CK_RV rv = getSession(&session);
    if (rv != CKR_OK)
        return rv;
    CK_FUNCTION_LIST* fns = functions();
    rv = fns->C_Login(session, CKU_USER, const_cast<CK_UTF8CHAR*>(pin), pinLength);
    if (rv == CKR_OK || rv == CKR_USER_ALREADY_LOGGED_IN)
        loggedIn = true;
    if (rv != CKR_OK) {
        fns->C_CloseSession(session);
        session_ = CK_INVALID_HANDLE;
    }
    return rv;
}

CK_RV SlotEntry::logout() {
    Lock guard = lock();
    if (!tokenPresent)
        return CKR_DEVICE_REMOVED;
    CK_FUNCTION_LIST* fns = functions();
    if (fns == nullptr)
        return CKR_GENERAL_ERROR;
    CK_RV rv = fns->C_Logout(session_);
    // Closed, not just forgotten: every logout would otherwise leave one
    // session open on the token until it runs out. The handle may already be
    // gone (C_CloseAllSessions before initialization); that answer is ignored.
    if (session_ != CK_INVALID_HANDLE)
        fns->C_CloseSession(session_);
    loggedIn = false;
    session_ = CK_INVALID_HANDLE;
    return rv;
}

bool SlotEntry::refreshSlotInfo() {
    CK_FUNCTION_LIST* fns = functions();
    if (fns == nullptr)
        return false;
    CK_SLOT_INFO info;
    std::memset(&info, 0, sizeof info);
    Lock guard = lock();
    if (fns->C_GetSlotInfo(slotId_, &info) != CKR_OK)
        return false;
    slotDescription_ = trimmedField(info.slotDescription);
    slotManufacturer_ = trimmedField(info.manufacturerID);
    slotFlags_ = info.flags;
    slotHardwareVersion_ = info.hardwareVersion;
    slotFirmwareVersion_ = info.firmwareVersion;
    // Only a removal clears the flag.
    if ((info.flags & CKF_TOKEN_PRESENT) != 0)
        tokenPresent = true;
    return true;
}

bool SlotEntry::refreshTokenInfo() {
    Lock guard = lock();
    CK_FUNCTION_LIST* fns = functions();
    if (!tokenPresent || fns == nullptr)
        return false;
    CK_TOKEN_INFO info;
    std::memset(&info, 0, sizeof info);
    if (fns->C_GetTokenInfo(slotId_, &info) != CKR_OK) {
        tokenRecognized = false;
        return true;
    }
    tokenLabel_ = trimmedField(info.label);
    tokenModel_ = trimmedField(info.model);
    tokenUtcTime_ = trimmedField(info.utcTime);
    // Serial numbers are shown exactly as the token pads them.
    tokenSerialNumber_ = fieldText(info.serialNumber, sizeof info.serialNumber);
    tokenFlags_ = info.flags;
    tokenNumbers_ = {info.ulTotalPrivateMemory, info.ulTotalPublicMemory, info.ulFreePrivateMemory,
                     info.ulFreePublicMemory,   info.ulMaxPinLen,         info.ulMinPinLen,
                     info.ulMaxRwSessionCount,  info.ulRwSessionCount,    info.ulMaxSessionCount,
                     info.ulSessionCount};
    tokenHardwareVersion_ = info.hardwareVersion;
    tokenFirmwareVersion_ = info.firmwareVersion;
    tokenRecognized = true;
    return true;
}

void SlotEntry::clearObjects() {
    if (!objects.empty())
        retiredObjects_.push_back(std::move(objects));
    objects.clear();
}

void SlotEntry::resetToken() {
    Lock guard = lock();
    tokenLabel_.clear();
    loggedIn = false;
    tokenRecognized = false;
    tokenPresent = false;
    clearObjects();
}

void SlotEntry::onTokenRemoved() {
    Lock guard = lock();
    CK_FUNCTION_LIST* fns = functions();
    if (session_ != CK_INVALID_HANDLE && fns != nullptr)
        fns->C_CloseSession(session_);
    session_ = CK_INVALID_HANDLE;
    resetToken();
}

void SlotEntry::onTokenInserted() {
    Lock guard = lock();
    if (refreshSlotInfo() && tokenPresent)
        refreshTokenInfo();
}

bool SlotEntry::loadObjects() {
    Lock guard = lock();
    if (!tokenPresent)
        return false;
    objects.clear();
    // Called from the view's own refresh, which has let go of the old records.
    retiredObjects_.clear();

    CK_SESSION_HANDLE session = CK_INVALID_HANDLE;
    if (getSession(&session) != CKR_OK)
        return false;
    CK_FUNCTION_LIST* fns = functions();

    CK_BBOOL onToken = CK_TRUE;
    CK_ATTRIBUTE query{CKA_TOKEN, &onToken, sizeof onToken};
    fns->C_FindObjectsInit(session, &query, 1);

    bool complete = false;
    for (;;) {
        CK_OBJECT_HANDLE handle = CK_INVALID_HANDLE;
        CK_ULONG found = 0;
        if (fns->C_FindObjects(session, &handle, 1, &found) != CKR_OK)
            break;
        if (found != 1) {
            complete = true;
            break;
        }
        CK_OBJECT_CLASS objectClass = 0;
        CK_ATTRIBUTE classAttribute{CKA_CLASS, &objectClass, sizeof objectClass};
        if (fns->C_GetAttributeValue(session, handle, &classAttribute, 1) != CKR_OK)
            break;

        TokenObjectInfo info;
        info.handle = handle;
        info.objectClass = objectClass;
        std::vector<unsigned char> bytes;
        if (objectClass == CKO_DATA) {
            // A data object whose label cannot be read is left out.
            if (readAttribute(fns, session, handle, CKA_LABEL, bytes) != CKR_OK)
                continue;
            info.label = textOf(bytes);
        }
        // Objects outside any container simply lack the attribute. A module
        // without the vendor table has no such attribute: its imports keep
        // the container name as the objects' CKA_ID, and only an id of that
        // form names a container (other programs' ids are mostly binary).
        if (readAttribute(fns, session, handle, CKA_CONTAINER_NAME, bytes) == CKR_OK)
            info.containerName = textOf(bytes);
        else if (library_.auxFunctions() == nullptr &&
                 readAttribute(fns, session, handle, CKA_ID, bytes) == CKR_OK &&
                 isContainerNameText(bytes))
            info.containerName = textOf(bytes);
        objects.push_back(std::move(info));
    }

    fns->C_FindObjectsFinal(session);
    return complete;
}

CK_ULONG SlotEntry::tokenNumber(int index) const {
    Lock guard = lock();
    if (index >= 0 && index < static_cast<int>(tokenNumbers_.size()))
        return tokenNumbers_[index];
    if (index == 10)
        return tokenFlags_;
    return 0;
}

std::string SlotEntry::tokenText(int index) const {
    Lock guard = lock();
    switch (index) {
    case 11:
        return slotManufacturer_;
    case 12:
        return tokenModel_;
    case 13:
        return tokenSerialNumber_;
    case 14:
        return tokenLabel_;
    case 15:
        return tokenUtcTime_;
    case 16:
        return versionText(tokenHardwareVersion_);
    case 17:
        return versionText(tokenFirmwareVersion_);
    default:
        return {};
    }
}

CK_FLAGS SlotEntry::slotFlags() const {
    Lock guard = lock();
    return slotFlags_;
}

std::string SlotEntry::slotDescription() const {
    Lock guard = lock();
    return slotDescription_;
}

std::string SlotEntry::tokenLabel() const {
    Lock guard = lock();
    return tokenLabel_;
}

std::string SlotEntry::slotHardwareVersionText() const {
    Lock guard = lock();
    return versionText(slotHardwareVersion_);
}

std::string SlotEntry::slotFirmwareVersionText() const {
    Lock guard = lock();
    return versionText(slotFirmwareVersion_);
}

CK_RV SlotEntry::setLabel(const std::string& text) {
    VendorAuxFunctionList* aux = library_.auxFunctions();
    if (aux == nullptr || aux->E_SetTokenLabel == nullptr)
        return CKR_GENERAL_ERROR;
    CK_RV rv = aux->E_SetTokenLabel(slotId_, E_LABEL_KIND_TOKEN, nullptr, 0, text.c_str());
    // The cache takes the name written, without trusting a re-read to work;
    // a token pulled meanwhile keeps nothing.
    if (rv == CKR_OK && tokenPresent) {
        Lock guard = lock();
        tokenLabel_ = text;
    }
    return rv;
}
