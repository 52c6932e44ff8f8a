#include "CertManagerFormView.h"

#include "SlotManager.h"

#include <QListWidget>
#include <QVBoxLayout>

#include <cstdio>

namespace {

const char* className(CK_OBJECT_CLASS objectClass) {
    switch (objectClass) {
    case CKO_DATA:
        return "CKO_DATA";
    case CKO_CERTIFICATE:
        return "CKO_CERTIFICATE";
    case CKO_PUBLIC_KEY:
        return "CKO_PUBLIC_KEY";
    case CKO_PRIVATE_KEY:
        return "CKO_PRIVATE_KEY";
    case CKO_SECRET_KEY:
        return "CKO_SECRET_KEY";
    default:
        return nullptr;
    }
}

} // namespace

std::string objectLineText(CK_OBJECT_HANDLE handle, CK_OBJECT_CLASS objectClass,
                           const std::string& label) {
    char head[64];
    std::snprintf(head, sizeof head, "0x%08lX ", static_cast<unsigned long>(handle));
    std::string text = head;
    if (const char* name = className(objectClass)) {
        text += name;
    } else {
        char number[32];
        std::snprintf(number, sizeof number, "0x%08lX", static_cast<unsigned long>(objectClass));
        text += number;
    }
    if (!label.empty())
        text += " \"" + label + "\"";
    return text;
}

CCertManagerFormView::CCertManagerFormView(QWidget* parent) : QWidget(parent) {
    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    list_ = new QListWidget(this);
    layout->addWidget(list_, 1);
}

void CCertManagerFormView::refresh(CK_SLOT_ID slotId) {
    slotId_ = slotId;
    list_->clear();
    SlotEntry* entry = SlotManager::instance().findSlot(slotId);
    if (entry == nullptr)
        return;
    SlotEntry::Lock guard = entry->lock();
    // A failed enumeration leaves what it found so far, which is what the
    // token holds as far as it could be read.
    entry->loadObjects();
    for (const TokenObjectInfo& object : entry->objects)
        list_->addItem(QString::fromStdString(
            objectLineText(object.handle, object.objectClass, object.label)));
}
