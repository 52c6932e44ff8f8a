#pragma once

#include <p11-kit/pkcs11.h>

#include <QEvent>

class QObject;
class SlotManager;

// The slot event as it reaches the user-interface thread: the toolkit's
// counterpart of window message 0x800 (WM_USER + 0x400), with the slot
// identifier and the event code as its two parameters.
class SlotEvent : public QEvent {
public:
    static constexpr QEvent::Type EventType = static_cast<QEvent::Type>(QEvent::User + 0x400);

    SlotEvent(CK_SLOT_ID slotId, CK_ULONG code) : QEvent(EventType), slotId_(slotId), code_(code) {}

    CK_SLOT_ID slotId() const { return slotId_; }
    CK_ULONG code() const { return code_; }

private:
    CK_SLOT_ID slotId_;
    CK_ULONG code_;
};

// Queues a SlotEvent to target's thread; without a target the event is dropped.
void postSlotEvent(QObject* target, CK_SLOT_ID slotId, CK_ULONG code);

// Makes the manager post its slot events to target (a null target drops
// them from now on). The window calls this again with null before it is
// destroyed; once that returns, no post to it is in progress.
void setSlotEventTarget(SlotManager& manager, QObject* target);
