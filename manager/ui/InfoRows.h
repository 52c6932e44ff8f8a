#pragma once

// What the slot and token information views show, as translated texts
// without any toolkit, so the windows, korvanng-tool and the tests share one
// source for every row.

#include <p11-kit/pkcs11.h>

#include <string>
#include <vector>

class SlotEntry;
class SlotManager;

struct InfoColumn {
    std::string title;
    int width; // pixels
};

// One field/value row of a detail list.
struct InfoRow {
    std::string field;
    std::string value;
};

// One row of the slot information list.
struct SlotListRow {
    CK_SLOT_ID slotId;
    std::string description;
    std::string status;
    std::string manufacturer;
};

struct FlagName {
    CK_FLAGS flag;
    const char* name;
};

// Columns of the slot information list: description, card status, manufacturer.
std::vector<InfoColumn> slotListColumns();
// Columns of both lists of the token view: field and value.
std::vector<InfoColumn> detailColumns();

// "Token is inserted and ready to use", "... cannot be recognized" or "<Card not found>".
std::string slotStatusText(const SlotEntry& entry);
// Every slot in ascending slot identifier, empty slots included.
std::vector<SlotListRow> slotListRows(const SlotManager& manager);

// The five slot rows: description, manufacturer, flags, hardware and firmware version.
std::vector<InfoRow> slotDetailRows(const SlotEntry& entry);
// The sixteen token rows; none when the slot holds no token.
std::vector<InfoRow> tokenDetailRows(const SlotEntry& entry);

// The flag names in display order; names are never translated.
const std::vector<FlagName>& tokenFlagNames();
const std::vector<FlagName>& slotFlagNames();
// "[0x0000040D] CKF_RNG | CKF_LOGIN_REQUIRED | ...": the value, then every
// listed flag that is set, in list order.
std::string flagText(CK_FLAGS flags, const std::vector<FlagName>& names);
// A counter as a signed 32-bit decimal, so "unavailable" (all bits set) reads -1.
std::string numberText(CK_ULONG value);
