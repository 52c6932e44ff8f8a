#include "FakeSlotLibrary.h"

#include <algorithm>
#include <cstring>
#include <memory>

namespace {

std::unique_ptr<FakeSlotLibrary> fake = std::make_unique<FakeSlotLibrary>();

void pad(unsigned char* field, size_t width, const std::string& text) {
    std::memset(field, ' ', width);
    std::memcpy(field, text.data(), std::min(width, text.size()));
}

template <size_t N> void pad(unsigned char (&field)[N], const std::string& text) {
    pad(field, N, text);
}

CK_RV getSlotList(CK_BBOOL, CK_SLOT_ID_PTR list, CK_ULONG_PTR count) {
    auto& f = FakeSlotLibrary::current();
    std::lock_guard guard(f.mutex);
    if (f.slotListResult != CKR_OK)
        return f.slotListResult;
    if (list == nullptr) {
        *count = f.slotList.size();
        return CKR_OK;
    }
    std::copy_n(f.slotList.begin(), std::min<size_t>(*count, f.slotList.size()), list);
    *count = f.slotList.size() + f.slotListDrift;
    return CKR_OK;
}

CK_RV getSlotInfo(CK_SLOT_ID slotId, CK_SLOT_INFO_PTR info) {
    auto& f = FakeSlotLibrary::current();
    std::lock_guard guard(f.mutex);
    if (f.slotInfoFailures > 0) {
        --f.slotInfoFailures;
        f.changed.notify_all();
        return CKR_DEVICE_ERROR;
    }
    auto slot = f.slotMap.find(slotId);
    if (slot == f.slotMap.end())
        return CKR_SLOT_ID_INVALID;
    if (slot->second.slotInfoResult != CKR_OK)
        return slot->second.slotInfoResult;
    pad(info->slotDescription, slot->second.description);
    pad(info->manufacturerID, slot->second.manufacturer);
    info->flags = slot->second.flags;
    info->hardwareVersion = slot->second.hardwareVersion;
    info->firmwareVersion = slot->second.firmwareVersion;
    return CKR_OK;
}

CK_RV getTokenInfo(CK_SLOT_ID slotId, CK_TOKEN_INFO_PTR info) {
    auto& f = FakeSlotLibrary::current();
    std::lock_guard guard(f.mutex);
    auto slot = f.slotMap.find(slotId);
    if (slot == f.slotMap.end())
        return CKR_SLOT_ID_INVALID;
    const FakeSlot& s = slot->second;
    if (s.tokenInfoResult != CKR_OK)
        return s.tokenInfoResult;
    pad(info->label, s.label);
    pad(info->manufacturerID, "maker");
    pad(info->model, s.model);
    pad(info->serialNumber, s.serialNumber);
    pad(info->utcTime, s.utcTime);
    info->flags = s.tokenFlags;
    CK_ULONG* numbers[] = {&info->ulMaxSessionCount,    &info->ulSessionCount,
                           &info->ulMaxRwSessionCount,  &info->ulRwSessionCount,
                           &info->ulMaxPinLen,          &info->ulMinPinLen,
                           &info->ulTotalPublicMemory,  &info->ulFreePublicMemory,
                           &info->ulTotalPrivateMemory, &info->ulFreePrivateMemory};
    for (size_t i = 0; i < 10; ++i)
        *numbers[i] = s.numbers[i];
    info->hardwareVersion = s.tokenHardwareVersion;
    info->firmwareVersion = s.tokenFirmwareVersion;
    return CKR_OK;
}

CK_RV openSession(CK_SLOT_ID, CK_FLAGS flags, CK_VOID_PTR, CK_NOTIFY, CK_SESSION_HANDLE_PTR out) {
    auto& f = FakeSlotLibrary::current();
    std::lock_guard guard(f.mutex);
    if (flags != (CKF_RW_SESSION | CKF_SERIAL_SESSION))
        return CKR_ARGUMENTS_BAD;
    if (f.openSessionResult != CKR_OK)
        return f.openSessionResult;
    *out = f.nextSession++;
    f.openSessions.insert(*out);
    return CKR_OK;
}

CK_RV closeSession(CK_SESSION_HANDLE session) {
    auto& f = FakeSlotLibrary::current();
    std::lock_guard guard(f.mutex);
    f.closedSessions.push_back(session);
    return f.openSessions.erase(session) == 1 ? CKR_OK : CKR_SESSION_HANDLE_INVALID;
}

CK_RV login(CK_SESSION_HANDLE session, CK_USER_TYPE user, CK_UTF8CHAR_PTR, CK_ULONG) {
    auto& f = FakeSlotLibrary::current();
    std::lock_guard guard(f.mutex);
    if (user != CKU_USER)
        return CKR_USER_TYPE_INVALID;
    f.loginSessions.push_back(session);
    return f.loginResult;
}

CK_RV logout(CK_SESSION_HANDLE session) {
    auto& f = FakeSlotLibrary::current();
    std::lock_guard guard(f.mutex);
    f.logoutSessions.push_back(session);
    return f.logoutResult;
}

CK_RV findObjectsInit(CK_SESSION_HANDLE, CK_ATTRIBUTE_PTR, CK_ULONG) {
    auto& f = FakeSlotLibrary::current();
    std::lock_guard guard(f.mutex);
    ++f.findInitCalls;
    f.findActive = true;
    f.cursor = 0;
    return CKR_OK;
}

CK_RV findObjects(CK_SESSION_HANDLE, CK_OBJECT_HANDLE_PTR handle, CK_ULONG max,
                  CK_ULONG_PTR found) {
    auto& f = FakeSlotLibrary::current();
    std::lock_guard guard(f.mutex);
    if (!f.findActive || max != 1)
        return CKR_OPERATION_NOT_INITIALIZED;
    if (f.findFailsAt && f.cursor == *f.findFailsAt)
        return CKR_DEVICE_ERROR;
    if (f.cursor >= f.objects.size()) {
        *found = 0;
        return CKR_OK;
    }
    *handle = 1000 + f.cursor++;
    *found = 1;
    return CKR_OK;
}

CK_RV findObjectsFinal(CK_SESSION_HANDLE) {
    auto& f = FakeSlotLibrary::current();
    std::lock_guard guard(f.mutex);
    ++f.findFinalCalls;
    f.findActive = false;
    return CKR_OK;
}

CK_RV copyValue(CK_ATTRIBUTE& attribute, const void* value, size_t length) {
    if (attribute.pValue == nullptr) {
        attribute.ulValueLen = length;
        return CKR_OK;
    }
    if (attribute.ulValueLen < length)
        return CKR_BUFFER_TOO_SMALL;
    std::memcpy(attribute.pValue, value, length);
    attribute.ulValueLen = length;
    return CKR_OK;
}

CK_RV getAttributeValue(CK_SESSION_HANDLE, CK_OBJECT_HANDLE handle, CK_ATTRIBUTE_PTR attributes,
                        CK_ULONG count) {
    auto& f = FakeSlotLibrary::current();
    std::lock_guard guard(f.mutex);
    if (handle < 1000 || handle - 1000 >= f.objects.size() || count != 1)
        return CKR_OBJECT_HANDLE_INVALID;
    ++f.attributeCalls;
    const FakeObject& object = f.objects[handle - 1000];
    CK_ATTRIBUTE& attribute = attributes[0];
    if (object.reportedLength && attribute.type != CKA_CLASS && attribute.pValue == nullptr) {
        attribute.ulValueLen = *object.reportedLength;
        return CKR_OK;
    }
    switch (attribute.type) {
    case CKA_CLASS:
        if (object.classUnreadable)
            return CKR_DEVICE_ERROR;
        return copyValue(attribute, &object.objectClass, sizeof object.objectClass);
    case CKA_LABEL:
        if (!object.label)
            break;
        return copyValue(attribute, object.label->data(), object.label->size());
    case CKA_CONTAINER_NAME:
        if (!object.containerName)
            break;
        return copyValue(attribute, object.containerName->data(), object.containerName->size());
    }
    attribute.ulValueLen = CK_UNAVAILABLE_INFORMATION;
    return CKR_ATTRIBUTE_TYPE_INVALID;
}

CK_RV finalize(CK_VOID_PTR) {
    return CKR_OK;
}

CK_RV setTokenLabel(CK_SLOT_ID, CK_ULONG kind, CK_VOID_PTR reserved, CK_ULONG reservedLength,
                    const char* label) {
    auto& f = FakeSlotLibrary::current();
    std::lock_guard guard(f.mutex);
    if (kind != 1 || reserved != nullptr || reservedLength != 0 || label == nullptr)
        return CKR_ARGUMENTS_BAD;
    f.setLabelCalls.push_back(label);
    return f.setLabelResult;
}

CK_RV pollSlotEvent(CK_FLAGS flags, CK_SLOT_ID_PTR slotId, CK_ULONG_PTR event, CK_ULONG_PTR extra,
                    CK_VOID_PTR) {
    auto& f = FakeSlotLibrary::current();
    std::lock_guard guard(f.mutex);
    ++f.pollCalls;
    f.pollFlags.push_back(flags);
    f.changed.notify_all();
    if (f.polls.empty())
        return CKR_FUNCTION_FAILED;
    FakePoll poll = f.polls.front();
    f.polls.pop_front();
    *slotId = poll.slotId;
    *event = poll.event;
    *extra = 0;
    return poll.result;
}

} // namespace

FakeSlotLibrary& FakeSlotLibrary::current() {
    return *fake;
}

void FakeSlotLibrary::reset() {
    fake = std::make_unique<FakeSlotLibrary>();
    CK_FUNCTION_LIST& fns = fake->functions;
    fns.version = {2, 40};
    fns.C_Finalize = finalize;
    fns.C_GetSlotList = getSlotList;
    fns.C_GetSlotInfo = getSlotInfo;
    fns.C_GetTokenInfo = getTokenInfo;
    fns.C_OpenSession = openSession;
    fns.C_CloseSession = closeSession;
    fns.C_Login = login;
    fns.C_Logout = logout;
    fns.C_FindObjectsInit = findObjectsInit;
    fns.C_FindObjects = findObjects;
    fns.C_FindObjectsFinal = findObjectsFinal;
    fns.C_GetAttributeValue = getAttributeValue;
    fake->aux.version = {1, 0};
    fake->aux.E_SetTokenLabel = setTokenLabel;
    fake->aux.E_PollSlotEvent = pollSlotEvent;
}
