#pragma once

// What every administration operation works on: the slot model and the bound
// token library. The program uses the two instances; tests hand in their own
// pair bound to a fake table or a software token.

#include "SlotManager.h"
#include "TokenLibrary.h"

#include <p11-kit/pkcs11.h>

#include <string>

struct AdminContext {
    SlotManager& slotManager; // not "slots": a Qt keyword
    const TokenLibrary& library;
};

AdminContext defaultAdminContext();

// The end a dialog takes after an operation. StayOpen: the dialog enables
// its buttons again and waits for the user.
enum class DialogEnd { StayOpen, Ok, Cancel };

// The answer the modal run gives for an end (IDOK, IDCANCEL; 0 for StayOpen).
int dialogResult(DialogEnd end);

// The token's own PIN length bounds as the slot entry caches them; 0 and 0
// when the slot has no entry.
struct PinBounds {
    CK_ULONG minimum = 0;
    CK_ULONG maximum = 0;
};
PinBounds readPinBounds(CK_SLOT_ID slotId, const AdminContext& context = defaultAdminContext());

// The slot entry's cached token label without trailing blanks; empty without
// an entry.
std::string currentTokenLabel(CK_SLOT_ID slotId,
                              const AdminContext& context = defaultAdminContext());

// A label of the PIN dialogs: the translation of `id` used as a format with
// the two bounds. Only "%d" (twice at most) and "%%" are expanded; any other
// '%' sequence of a language file is shown as it stands rather than read as
// a format directive.
std::string pinBoundsLabel(int id, const char* defaultText, const PinBounds& bounds);

// The message every operation shows when the slot's token is not present.
inline constexpr int kTokenRemovedId = 5020;
inline constexpr const char* kTokenRemovedText = "Token is removed!";
void showTokenRemoved();

// The translation of `id` followed by `suffixFormat` formatted with `code`,
// shown as one composed text with the error icon.
void showFailureWithCode(int id, const char* defaultText, const char* suffixFormat, CK_RV code);
