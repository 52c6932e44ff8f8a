#include "InfoRows.h"

#include "SlotEntry.h"
#include "SlotManager.h"
#include "Translator.h"

#include <cinttypes>
#include <cstdint>
#include <cstdio>

std::vector<InfoColumn> slotListColumns() {
    return {{translate(10100, "Description"), 125},
            {translate(10101, "Card Status"), 150},
            {translate(10102, "Manufacturer"), 175}};
}

std::vector<InfoColumn> detailColumns() {
    return {{translate(10010, "Field"), 80}, {translate(10011, "Value"), 400}};
}

std::string slotStatusText(const SlotEntry& entry) {
    if (!entry.tokenPresent)
        return translate(10105, "<Card not found>");
    if (!entry.tokenRecognized)
        return translate(10104, "Token is inserted but cannot be recognized");
    return translate(10103, "Token is inserted and ready to use");
}

std::vector<SlotListRow> slotListRows(const SlotManager& manager) {
    std::vector<SlotListRow> rows;
    for (const auto& [slotId, entry] : manager.allSlots()) {
        SlotEntry::Lock guard = entry->lock();
        rows.push_back(
            {slotId, entry->slotDescription(), slotStatusText(*entry), entry->tokenText(11)});
    }
    return rows;
}

std::vector<InfoRow> slotDetailRows(const SlotEntry& entry) {
    SlotEntry::Lock guard = entry.lock();
    return {{translate(10100, "Description"), entry.slotDescription()},
            {translate(10102, "Manufacturer"), entry.tokenText(11)},
            {translate(10109, "Flags"), flagText(entry.slotFlags(), slotFlagNames())},
            {translate(10110, "Hardware Version"), entry.slotHardwareVersionText()},
            {translate(10111, "Firmware Version"), entry.slotFirmwareVersionText()}};
}

std::vector<InfoRow> tokenDetailRows(const SlotEntry& entry) {
    SlotEntry::Lock guard = entry.lock();
    if (!entry.tokenPresent)
        return {};
    std::string timer = entry.tokenText(15);
    if (timer.empty())
        timer = translate(10128, "<No built-in timer>");
    return {
        {translate(10112, "Token Name"),
         entry.tokenRecognized ? entry.tokenLabel() : translate(10106, "<Card not recognized>")},
        {translate(10102, "Manufacturer"), entry.tokenText(11)},
        {translate(10113, "Model"), entry.tokenText(12)},
        {translate(10114, "Serial number"), entry.tokenText(13)},
        {translate(10109, "Flags"), flagText(entry.tokenNumber(10), tokenFlagNames())},
        {translate(10115, "Max session number"), numberText(entry.tokenNumber(8))},
        {translate(10117, "Max R/W session number"), numberText(entry.tokenNumber(6))},
        {translate(10119, "Max PIN Length"), numberText(entry.tokenNumber(4))},
        {translate(10120, "Min PIN Length"), numberText(entry.tokenNumber(5))},
        {translate(10121, "Public space"), numberText(entry.tokenNumber(1))},
        {translate(10122, "Free public space"), numberText(entry.tokenNumber(3))},
        {translate(10123, "Private space"), numberText(entry.tokenNumber(0))},
        {translate(10124, "Free private space"), numberText(entry.tokenNumber(2))},
        {translate(10125, "Hardware Version"), entry.tokenText(16)},
        {translate(10126, "Firmware Version"), entry.tokenText(17)},
        {translate(10127, "Token Timer"), timer},
    };
}

const std::vector<FlagName>& tokenFlagNames() {
    static const std::vector<FlagName> names = {
        {CKF_RNG, "CKF_RNG"},
        {CKF_WRITE_PROTECTED, "CKF_WRITE_PROTECTED"},
        {CKF_LOGIN_REQUIRED, "CKF_LOGIN_REQUIRED"},
        {CKF_USER_PIN_INITIALIZED, "CKF_USER_PIN_INITIALIZED"},
        {CKF_RESTORE_KEY_NOT_NEEDED, "CKF_RESTORE_KEY_NOT_NEEDED"},
        {CKF_CLOCK_ON_TOKEN, "CKF_CLOCK_ON_TOKEN"},
        {CKF_PROTECTED_AUTHENTICATION_PATH, "CKF_PROTECTED_AUTHENTICATION_PATH"},
        {CKF_DUAL_CRYPTO_OPERATIONS, "CKF_DUAL_CRYPTO_OPERATIONS"},
        {CKF_TOKEN_INITIALIZED, "CKF_TOKEN_INITIALIZED"},
        {CKF_SECONDARY_AUTHENTICATION, "CKF_SECONDARY_AUTHENTICATION"},
        {CKF_USER_PIN_COUNT_LOW, "CKF_USER_PIN_COUNT_LOW"},
        {CKF_USER_PIN_FINAL_TRY, "CKF_USER_PIN_FINAL_TRY"},
        {CKF_USER_PIN_LOCKED, "CKF_USER_PIN_LOCKED"},
        {CKF_USER_PIN_TO_BE_CHANGED, "CKF_USER_PIN_TO_BE_CHANGED"},
        {CKF_SO_PIN_COUNT_LOW, "CKF_SO_PIN_COUNT_LOW"},
        {CKF_SO_PIN_FINAL_TRY, "CKF_SO_PIN_FINAL_TRY"},
        {CKF_SO_PIN_LOCKED, "CKF_SO_PIN_LOCKED"},
        {CKF_SO_PIN_TO_BE_CHANGED, "CKF_SO_PIN_TO_BE_CHANGED"},
    };
    return names;
}

const std::vector<FlagName>& slotFlagNames() {
    static const std::vector<FlagName> names = {
        {CKF_TOKEN_PRESENT, "CKF_TOKEN_PRESENT"},
        {CKF_REMOVABLE_DEVICE, "CKF_REMOVABLE_DEVICE"},
        {CKF_HW_SLOT, "CKF_HW_SLOT"},
    };
    return names;
}

std::string flagText(CK_FLAGS flags, const std::vector<FlagName>& names) {
    // At least eight digits; a 64-bit value with high bits set keeps them
    // rather than losing them to a 32-bit format.
    char number[32];
    std::snprintf(number, sizeof number, "[0x%08" PRIX64 "]", static_cast<std::uint64_t>(flags));
    std::string text = number;
    bool first = true;
    for (const FlagName& name : names) {
        if ((flags & name.flag) == 0)
            continue;
        text += first ? " " : " | ";
        text += name.name;
        first = false;
    }
    return text;
}

std::string numberText(CK_ULONG value) {
    return std::to_string(static_cast<std::int32_t>(static_cast<std::uint32_t>(value)));
}
