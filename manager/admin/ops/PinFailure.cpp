#include "PinFailure.h"

#include "MessageFlags.h"
#include "Messages.h"

#include <cstring>

namespace {

struct FailureTexts {
    int lockedId;
    const char* lockedText;
    int lengthId;
    const char* lengthText;
    CK_FLAGS blockedFlag;
    int blockedId;
    const char* blockedText;
    CK_FLAGS finalTryFlag;
    int finalTryId;
    const char* finalTryText;
    // Count low, or no flag at all.
    int wrongId;
    const char* wrongText;
};

constexpr FailureTexts kUserTexts{
    801,
    "Token is blocked by User PIN.",
    802,
    "The PIN is too long",
    CKF_USER_PIN_LOCKED,
    803,
    "Wrong PIN!\n\n The token is blocked.",
    CKF_USER_PIN_FINAL_TRY,
    804,
    "Wrong PIN\n\nThis is the LAST PIN attempt, if the PIN is still wrong, the token will be "
    "blocked.",
    805,
    "Wrong PIN.",
};

constexpr FailureTexts kSoTexts{
    835,
    "Token is blocked by SO PIN!",
    836,
    "SO PIN is too long!",
    CKF_SO_PIN_LOCKED,
    837,
    "Wrong SO PIN\n\nYour token is blocked by SO PIN!",
    CKF_SO_PIN_FINAL_TRY,
    838,
    "Wrong SO PIN\n\n This is the LAST SO PIN attempt, if the PIN is still wrong, the token will "
    "be blocked.",
    839,
    "Wrong SO PIN!",
};

void reportFailure(const FailureTexts& texts, CK_SLOT_ID slotId, CK_RV rv,
                   const AdminContext& context) {
    if (rv == CKR_OK || rv == CKR_USER_ALREADY_LOGGED_IN)
        return;
    if (rv == CKR_PIN_LOCKED) {
        showMessage(texts.lockedId, texts.lockedText, MB_ICONERROR);
        return;
    }
    if (rv == CKR_PIN_LEN_RANGE) {
        showMessage(texts.lengthId, texts.lengthText, MB_ICONERROR);
        return;
    }
    CK_FUNCTION_LIST* functions = context.library.functions();
    if (functions == nullptr)
        return;
    // The cached information predates the failed attempt; only a fresh read
    // knows whether this attempt used up the last try.
    CK_TOKEN_INFO info;
    std::memset(&info, 0, sizeof info);
    CK_RV infoResult = functions->C_GetTokenInfo(slotId, &info);
    if (infoResult != CKR_OK) {
        // The user text for both kinds: the code is what matters here.
        showFailureWithCode(805, "Wrong PIN.", " [0x%08lx]", infoResult);
        return;
    }
    if (info.flags & texts.blockedFlag)
        showMessage(texts.blockedId, texts.blockedText, MB_ICONERROR);
    else if (info.flags & texts.finalTryFlag)
        showMessage(texts.finalTryId, texts.finalTryText, MB_ICONERROR);
    else
        showMessage(texts.wrongId, texts.wrongText, MB_ICONERROR);
}

} // namespace

void reportUserPinFailure(CK_SLOT_ID slotId, CK_RV rv, const AdminContext& context) {
    reportFailure(kUserTexts, slotId, rv, context);
}

void reportSoPinFailure(CK_SLOT_ID slotId, CK_RV rv, const AdminContext& context) {
    reportFailure(kSoTexts, slotId, rv, context);
}
