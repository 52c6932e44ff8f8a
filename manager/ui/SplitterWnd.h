#pragma once

#include <QSplitter>
#include <QSplitterHandle>

// A splitter of one row and two columns whose bar can only be dragged within
// [left edge + leftMinimum, right edge - rightMinimum]; the left column keeps
// its width when the window is resized.
class CExSplitterWnd : public QSplitter {
    Q_OBJECT
public:
    explicit CExSplitterWnd(QWidget* parent = nullptr);

    void setMinimums(int leftMinimum, int rightMinimum);
    int leftMinimum() const { return leftMinimum_; }
    int rightMinimum() const { return rightMinimum_; }

    // The bar position (the left column's width) that a drag to position
    // ends at.
    int clampPosition(int position) const;
    // Moves the bar as a drag would.
    void dragBarTo(int position);
    int barPosition() const;

protected:
    QSplitterHandle* createHandle() override;

private:
    int leftMinimum_ = 0;
    int rightMinimum_ = 0;
};

class CExSplitterHandle : public QSplitterHandle {
    Q_OBJECT
public:
    CExSplitterHandle(CExSplitterWnd* splitter);

protected:
    void mousePressEvent(QMouseEvent* event) override;
    void mouseMoveEvent(QMouseEvent* event) override;
    void mouseReleaseEvent(QMouseEvent* event) override;

private:
    CExSplitterWnd* splitter_;
    int grabOffset_ = 0;
    bool dragging_ = false;
};
