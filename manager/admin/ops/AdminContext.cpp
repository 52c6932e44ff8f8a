#include "AdminContext.h"

#include "MessageFlags.h"
#include "Messages.h"
#include "Translator.h"

#include <cstdio>

AdminContext defaultAdminContext() {
    return {SlotManager::instance(), TokenLibrary::instance()};
}

int dialogResult(DialogEnd end) {
    switch (end) {
    case DialogEnd::Ok:
        return IDOK;
    case DialogEnd::Cancel:
        return IDCANCEL;
    case DialogEnd::StayOpen:
        break;
    }
    return 0;
}

PinBounds readPinBounds(CK_SLOT_ID slotId, const AdminContext& context) {
    SlotEntry* entry = context.slotManager.findSlot(slotId);
    if (entry == nullptr)
        return {};
    SlotEntry::Lock guard = entry->lock();
    return {entry->tokenNumber(5), entry->tokenNumber(4)};
}

std::string currentTokenLabel(CK_SLOT_ID slotId, const AdminContext& context) {
    SlotEntry* entry = context.slotManager.findSlot(slotId);
    if (entry == nullptr)
        return {};
    std::string label = entry->tokenLabel();
    std::size_t end = label.find_last_not_of(' ');
    label.erase(end == std::string::npos ? 0 : end + 1);
    return label;
}

std::string pinBoundsLabel(int id, const char* defaultText, const PinBounds& bounds) {
    std::string format = translate(id, defaultText);
    const unsigned long values[2] = {bounds.minimum, bounds.maximum};
    int used = 0;
    std::string out;
    for (std::size_t i = 0; i < format.size(); ++i) {
        if (format[i] == '%' && i + 1 < format.size()) {
            char next = format[i + 1];
            if (next == '%') {
                out += '%';
                ++i;
                continue;
            }
            if (next == 'd' && used < 2) {
                // The bounds are 32-bit in the dialog; shown as the token reports them.
                out += std::to_string(values[used++]);
                ++i;
                continue;
            }
        }
        out += format[i];
    }
    return out;
}

void showTokenRemoved() {
    showMessage(kTokenRemovedId, kTokenRemovedText, MB_ICONERROR);
}

void showFailureWithCode(int id, const char* defaultText, const char* suffixFormat, CK_RV code) {
    char suffix[32];
    std::snprintf(suffix, sizeof suffix, suffixFormat, static_cast<unsigned long>(code));
    showText(translate(id, defaultText) + suffix, MB_ICONERROR);
}
