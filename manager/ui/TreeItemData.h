#pragma once

#include <p11-kit/pkcs11.h>

// What a navigation-tree item stands for. The root carries none; every other
// item owns one, freed with the item.
struct TreeItemData {
    static constexpr int kSlotItem = 1;
    static constexpr int kDataManagementItem = 2;

    CK_SLOT_ID slotId = 0;
    int kind = kSlotItem;
    unsigned char loggedIn = 0;
};
