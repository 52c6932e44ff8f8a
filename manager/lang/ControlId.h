#pragma once

// Widgets and menu actions carry the numeric control or command id of the
// dialog template they came from as the dynamic property "controlId" (int),
// settable in .ui files:
//   <property name="controlId" stdset="0"><number>1010</number></property>
// An object without the property is not a dialog control (layout helpers,
// parts of composite widgets) and reports 0. A control that the template
// left without an id carries -1 and reports 65535, as a 16-bit template id.

class QObject;

inline constexpr const char* kControlIdProperty = "controlId";
inline constexpr int kControlIdNone = -1;

void setControlId(QObject* object, int id);
int controlId(const QObject* object);
