#pragma once

// What every initialization does before it erases an initialized token: the
// current SO PIN is checked with a login of its own, then the user confirms,
// told which token goes and how many objects go with it. Without this anyone
// at the desk could wipe the token and take over the SO role.

#include "InitToken.h"

#include <cstddef>
#include <string>

// Whether the token holds an SO PIN that guards it (CKF_TOKEN_INITIALIZED,
// read afresh); true when the token cannot be asked.
bool tokenNeedsSoPin(CK_SLOT_ID slotId, const AdminContext& context = defaultAdminContext());

struct EraseTarget {
    std::string label;
    std::string serialNumber;
    std::size_t objects = 0;
    bool privateCounted = false; // false: only the public objects could be counted
};

// 863 when every object was counted, else 864 (the private ones stay unseen
// without the user's login); label, serial number and count filled in.
std::string eraseQuestion(const EraseTarget& target);

// True when the erase may go ahead: the token is not initialized, or the SO
// PIN is right and the question was answered OK. Otherwise `outcome` says
// why: a refused SO PIN was reported as the SO PIN change reports it
// (Cancel, rv = the login's result); a declined question leaves the dialog
// open (StayOpen, declined). The slot entry's own login ends first either
// way, since the token allows one user type at a time.
bool checkBeforeErase(CK_SLOT_ID slotId, SlotEntry& entry, const SecurePin& currentSoPin,
                      const EraseConfirm& confirm, const AdminContext& context,
                      InitTokenOutcome& outcome);
