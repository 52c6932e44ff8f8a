#pragma once

// The main window's decisions without any toolkit: item texts, which
// commands are enabled, which menu items are grayed and what a slot event
// asks for. The windows and the command-line tool share them.

#include "TreeItemData.h"

#include <p11-kit/pkcs11.h>

#include <optional>
#include <string>

class SlotEntry;

// Texts of the navigation tree.
inline constexpr int kSlotListTextId = 10107;
inline constexpr const char* kSlotListText = "Slot list";
inline constexpr int kDataManagementTextId = 10108;
inline constexpr const char* kDataManagementText = "Data management";
inline constexpr int kCardNotFoundTextId = 10105;
inline constexpr const char* kCardNotFoundText = "<Card not found>";
inline constexpr int kCardNotRecognizedTextId = 10106;
inline constexpr const char* kCardNotRecognizedText = "<Card not recognized>";

// The main window's title: "KorvanNG PKI Manager (Administrator)" by default.
std::string mainWindowTitle();

// Images of the tree's image list.
enum TreeImageIndex {
    kImageSlotEmpty = 0, // also the root
    kImageSlotToken = 1,
    kImageDataManagement = 2,
    kImageCertificate = 3,
    kImageKeyPair = 4,
    kImageDataObject = 5,
    kTreeImageCount = 6,
};

struct SlotItemText {
    std::string text;
    int image = kImageSlotEmpty;
    bool recognized = false;
};

// A slot item: "description [label]" for a recognized token, the localized
// "<Card not recognized>" or "<Card not found>" after a blank otherwise.
SlotItemText slotItemText(const SlotEntry& entry);
// The text of a slot item whose token is now called label.
std::string labelledSlotText(const std::string& slotDescription, const std::string& label);

// Whether the slot has a token the operations can work with.
bool tokenUsable(const SlotEntry* entry);

// The selected item as the enabling rule sees it.
struct SelectedItem {
    bool exists = false;
    bool isRoot = false;
    bool parentIsRoot = false; // a slot item
    const TreeItemData* data = nullptr;
};

// Operations 4 to 8 need a slot item of a usable token; Login in addition
// needs the item not to be marked logged in.
bool canOperate(const SelectedItem& item, const SlotEntry* entry, bool forLogin);

// How the context menu of a slot item looks.
struct ContextMenuState {
    bool allGrayed = false;
    bool loginGrayed = false;
};
ContextMenuState contextMenuState(const TreeItemData& data, const SlotEntry* entry);

// Token operations started from the menus and the token view.
enum class Operation {
    Login = 3,
    ChangeTokenName = 4,
    ChangeUserPin = 5,
    InitToken = 6,
    UnblockToken = 7,
    ChangeSoPin = 8,
};
std::optional<Operation> operationFromNumber(int number);

// Command ids of the main menu and the context menu.
namespace command {
inline constexpr int kExit = 57665;
inline constexpr int kAbout = 57664;
inline constexpr int kSlotInfo = 32789;
inline constexpr int kHideEmptySlots = 32809;
inline constexpr int kLogin = 32771;
inline constexpr int kChangeTokenName = 32772;
inline constexpr int kChangeUserPin = 32773;
inline constexpr int kChangeSoPin = 32774;
inline constexpr int kUnblockToken = 32775;
inline constexpr int kInitToken = 32776;

inline constexpr int kContextLogin = 32801;
inline constexpr int kContextChangeTokenName = 32802;
inline constexpr int kContextChangeUserPin = 32803;
inline constexpr int kContextInitToken = 32804;
inline constexpr int kContextUnblockToken = 32805;
inline constexpr int kContextChangeSoPin = 32806;
} // namespace command

inline constexpr int kMainMenuId = 128;
inline constexpr int kContextMenuId = 141;
inline constexpr int kAboutDialogId = 100;

// The operation a main-menu or context-menu command starts, if any.
std::optional<Operation> operationForCommand(int commandId);

// What the main window does with a slot event.
enum class SlotEventAction {
    Ignore,
    SlotChanged,        // 1, 2: token inserted or removed
    PinChanged,         // 6, 7: user or SO PIN changed elsewhere
    LabelChanged,       // 8
    TokenReinitialized, // 269
};
// Insertion and removal count only for slot identifiers other than 0.
SlotEventAction slotEventAction(CK_SLOT_ID slotId, CK_ULONG code);
