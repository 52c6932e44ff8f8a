#include "ControlId.h"

#include <QObject>
#include <QVariant>

void setControlId(QObject* object, int id) {
    if (object)
        object->setProperty(kControlIdProperty, id);
}

int controlId(const QObject* object) {
    if (!object)
        return 0;
    QVariant value = object->property(kControlIdProperty);
    bool ok = false;
    int id = value.toInt(&ok);
    if (!value.isValid() || !ok)
        return 0;
    return id < 0 ? (id & 0xFFFF) : id;
}
