#include "SlotEventPoster.h"

#include "SlotManager.h"

#include <QCoreApplication>
#include <QPointer>

void postSlotEvent(QObject* target, CK_SLOT_ID slotId, CK_ULONG code) {
    if (target == nullptr)
        return;
    QCoreApplication::postEvent(target, new SlotEvent(slotId, code));
}

void setSlotEventTarget(SlotManager& manager, QObject* target) {
    if (target == nullptr) {
        manager.setEventPoster(nullptr);
        return;
    }
    // The guard is a backstop for a window that forgets to clear the target.
    QPointer<QObject> guarded(target);
    manager.setEventPoster([guarded](CK_SLOT_ID slotId, CK_ULONG code) {
        postSlotEvent(guarded.data(), slotId, code);
    });
}
