#include "MainWindowRules.h"

#include "SlotEntry.h"
#include "Translator.h"

#include <korvan/vendor_aux.h>

std::string mainWindowTitle() {
    return translate(10000, "KorvanNG PKI Manager") + " (" + translate(10001, "Administrator") +
           ")";
}

SlotItemText slotItemText(const SlotEntry& entry) {
    SlotEntry::Lock guard = entry.lock();
    SlotItemText item;
    if (entry.tokenPresent && entry.tokenRecognized) {
        item.text = labelledSlotText(entry.slotDescription(), entry.tokenLabel());
        item.image = kImageSlotToken;
        item.recognized = true;
    } else if (entry.tokenPresent) {
        item.text = entry.slotDescription() + " " +
                    translate(kCardNotRecognizedTextId, kCardNotRecognizedText);
        item.image = kImageSlotToken;
    } else {
        item.text =
            entry.slotDescription() + " " + translate(kCardNotFoundTextId, kCardNotFoundText);
        item.image = kImageSlotEmpty;
    }
    return item;
}

std::string labelledSlotText(const std::string& slotDescription, const std::string& label) {
    return slotDescription + " [" + label + "]";
}

bool tokenUsable(const SlotEntry* entry) {
    return entry != nullptr && entry->tokenPresent && entry->tokenRecognized;
}

bool canOperate(const SelectedItem& item, const SlotEntry* entry, bool forLogin) {
    if (!item.exists || item.isRoot || !item.parentIsRoot || item.data == nullptr)
        return false;
    if (forLogin && item.data->loggedIn)
        return false;
    return tokenUsable(entry);
}

ContextMenuState contextMenuState(const TreeItemData& data, const SlotEntry* entry) {
    ContextMenuState state;
    if (!tokenUsable(entry))
        state.allGrayed = true;
    else if (data.loggedIn)
        state.loginGrayed = true;
    return state;
}

std::optional<Operation> operationFromNumber(int number) {
    if (number < static_cast<int>(Operation::Login) ||
        number > static_cast<int>(Operation::ChangeSoPin))
        return std::nullopt;
    return static_cast<Operation>(number);
}

std::optional<Operation> operationForCommand(int commandId) {
    switch (commandId) {
    case command::kLogin:
    case command::kContextLogin:
        return Operation::Login;
    case command::kChangeTokenName:
    case command::kContextChangeTokenName:
        return Operation::ChangeTokenName;
    case command::kChangeUserPin:
    case command::kContextChangeUserPin:
        return Operation::ChangeUserPin;
    case command::kInitToken:
    case command::kContextInitToken:
        return Operation::InitToken;
    case command::kUnblockToken:
    case command::kContextUnblockToken:
        return Operation::UnblockToken;
    case command::kChangeSoPin:
    case command::kContextChangeSoPin:
        return Operation::ChangeSoPin;
    default:
        return std::nullopt;
    }
}

SlotEventAction slotEventAction(CK_SLOT_ID slotId, CK_ULONG code) {
    switch (code) {
    case E_EVENT_TOKEN_INSERTED:
    case E_EVENT_TOKEN_REMOVED:
        return slotId != 0 ? SlotEventAction::SlotChanged : SlotEventAction::Ignore;
    case E_EVENT_USER_PIN_CHANGED:
    case E_EVENT_SO_PIN_CHANGED:
        return SlotEventAction::PinChanged;
    case E_EVENT_LABEL_CHANGED:
        return SlotEventAction::LabelChanged;
    case E_EVENT_TOKEN_REINITIALIZED:
        return SlotEventAction::TokenReinitialized;
    default:
        return SlotEventAction::Ignore;
    }
}
