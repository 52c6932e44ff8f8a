#include "SplitterWnd.h"

#include <QMouseEvent>

#include <algorithm>

CExSplitterWnd::CExSplitterWnd(QWidget* parent) : QSplitter(Qt::Horizontal, parent) {
    setChildrenCollapsible(false);
    // The bar follows the drag at once, as a static splitter's does.
    setOpaqueResize(true);
}

void CExSplitterWnd::setMinimums(int leftMinimum, int rightMinimum) {
    leftMinimum_ = leftMinimum;
    rightMinimum_ = rightMinimum;
}

int CExSplitterWnd::clampPosition(int position) const {
    int right = contentsRect().right() + 1 - rightMinimum_;
    int left = contentsRect().left() + leftMinimum_;
    // A window narrower than both minimums keeps the left column whole.
    return std::max(left, std::min(position, right));
}

void CExSplitterWnd::dragBarTo(int position) {
    if (count() < 2)
        return;
    int target = clampPosition(position);
    int total = contentsRect().width() - handleWidth();
    setSizes({target - contentsRect().left(), std::max(0, total - target)});
}

int CExSplitterWnd::barPosition() const {
    return count() < 2 ? 0 : widget(0)->geometry().right() + 1;
}

QSplitterHandle* CExSplitterWnd::createHandle() {
    return new CExSplitterHandle(this);
}

CExSplitterHandle::CExSplitterHandle(CExSplitterWnd* splitter)
    : QSplitterHandle(Qt::Horizontal, splitter), splitter_(splitter) {}

void CExSplitterHandle::mousePressEvent(QMouseEvent* event) {
    if (event->button() != Qt::LeftButton)
        return;
    dragging_ = true;
    grabOffset_ = event->position().toPoint().x();
}

void CExSplitterHandle::mouseMoveEvent(QMouseEvent* event) {
    if (!dragging_)
        return;
    int x = splitter_->mapFromGlobal(event->globalPosition().toPoint()).x() - grabOffset_;
    splitter_->dragBarTo(x);
}

void CExSplitterHandle::mouseReleaseEvent(QMouseEvent* event) {
    if (event->button() == Qt::LeftButton)
        dragging_ = false;
}
