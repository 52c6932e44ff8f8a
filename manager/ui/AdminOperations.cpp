#include "AdminOperations.h"

#include "platform/DebugOutput.h"

namespace {

void traceUnavailable(const char* operation, CK_SLOT_ID slotId) {
    platform::debugOutputf("%s on slot %lu: not available in this build, nothing done\n", operation,
                           static_cast<unsigned long>(slotId));
}

} // namespace

bool UnavailableAdminOperations::login(QWidget*, CK_SLOT_ID slotId) {
    traceUnavailable("Login", slotId);
    return false;
}

bool UnavailableAdminOperations::loginWithPin(CK_SLOT_ID slotId, const SecurePin&) {
    traceUnavailable("Login with the new PIN", slotId);
    return false;
}

AdminOutcome UnavailableAdminOperations::changeTokenName(QWidget*, CK_SLOT_ID slotId) {
    traceUnavailable("Change Token Name", slotId);
    return {};
}

AdminOutcome UnavailableAdminOperations::changeUserPin(QWidget*, CK_SLOT_ID slotId) {
    traceUnavailable("Change User PIN", slotId);
    return {};
}

AdminOutcome UnavailableAdminOperations::initToken(QWidget*, CK_SLOT_ID slotId) {
    traceUnavailable("Init Token", slotId);
    return {};
}

AdminOutcome UnavailableAdminOperations::unblockToken(QWidget*, CK_SLOT_ID slotId) {
    traceUnavailable("Unblock Token", slotId);
    return {};
}

AdminOutcome UnavailableAdminOperations::changeSoPin(QWidget*, CK_SLOT_ID slotId) {
    traceUnavailable("Change SO PIN", slotId);
    return {};
}
