#include "TextFit.h"

#include <QAbstractButton>
#include <QFontMetrics>
#include <QGroupBox>
#include <QLabel>
#include <QWidget>

#include <algorithm>

namespace {

// The width the widget's text needs; 0 for widgets without text.
int neededWidth(const QWidget* widget) {
    if (auto* label = qobject_cast<const QLabel*>(widget))
        return label->text().isEmpty() || label->wordWrap() ? 0 : label->sizeHint().width();
    if (auto* button = qobject_cast<const QAbstractButton*>(widget))
        return button->text().isEmpty() ? 0 : button->sizeHint().width();
    if (auto* group = qobject_cast<const QGroupBox*>(widget))
        return group->title().isEmpty() ? 0 : group->minimumSizeHint().width();
    return 0;
}

QList<QWidget*> childWidgets(QWidget* parent) {
    QList<QWidget*> children;
    for (QObject* object : parent->children())
        if (auto* child = qobject_cast<QWidget*>(object); child != nullptr && !child->isWindow())
            children.append(child);
    return children;
}

void widen(QWidget* widget, int delta) {
    int width = widget->width() + delta;
    if (widget->isWindow() && widget->minimumWidth() == widget->maximumWidth())
        widget->setFixedWidth(width);
    widget->resize(width, widget->height());
}

// Puts in a strip `delta` pixels wide at x within the parent: a child that
// starts at or after x moves right; one that starts before and reaches to x
// or beyond gets wider. The parent gets wider by as much.
void insertStrip(QWidget* parent, int x, int delta) {
    for (QWidget* child : childWidgets(parent)) {
        QRect geometry = child->geometry();
        if (geometry.x() >= x)
            child->move(geometry.x() + delta, geometry.y());
        else if (geometry.x() + geometry.width() >= x)
            widen(child, delta);
    }
    widen(parent, delta);
}

// Widens what the parent's own texts need, left to right, and returns how
// much wider the parent became.
int fitChildren(QWidget* parent) {
    const int before = parent->width();
    QList<QWidget*> children = childWidgets(parent);
    for (QWidget* child : children) {
        // A plain container's texts first: their room is its own growth.
        if (qobject_cast<QGroupBox*>(child) != nullptr || child->metaObject() == &QWidget::staticMetaObject ||
            child->metaObject() == &QFrame::staticMetaObject) {
            const int width = child->width();
            const int grown = fitChildren(child);
            if (grown > 0) {
                child->resize(width, child->height());
                insertStrip(parent, child->x() + width, grown);
            }
        }
    }
    std::stable_sort(children.begin(), children.end(),
                     [](QWidget* a, QWidget* b) { return a->x() < b->x(); });
    for (QWidget* child : children) {
        const int shortfall = neededWidth(child) - child->width();
        if (shortfall > 0)
            insertStrip(parent, child->x() + child->width(), shortfall);
    }
    return parent->width() - before;
}

} // namespace

void fitTexts(QWidget* window) {
    if (window == nullptr)
        return;
    fitChildren(window);
    const int title =
        QFontMetrics(window->font()).horizontalAdvance(window->windowTitle()) + kTitleBarAllowance;
    if (window->width() < title) {
        // Room at the right edge of the content, so right-aligned controls
        // keep their margin.
        int right = 0;
        for (QWidget* child : childWidgets(window))
            right = std::max(right, child->x() + child->width());
        insertStrip(window, right, title - window->width());
    }
}
