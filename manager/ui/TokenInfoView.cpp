#include "TokenInfoView.h"

#include "DialogTranslation.h"
#include "InfoRows.h"
#include "ReportList.h"
#include "SlotManager.h"
#include "ui_TokenInfoView.h"

#include <QKeyEvent>

#include <algorithm>
#include <array>

namespace {

constexpr int kTemplateId = 300;

// Gaps below the slot list and below the "Token detail:" caption.
constexpr int kCaptionGap = 10;
constexpr int kTokenListGap = 5;

enum Operation {
    Login = 3,
    Rename = 4,
    ChangeUserPin = 5,
    Initialize = 6,
    Unblock = 7,
    ChangeSoPin = 8
};

} // namespace

CTokenInfoFormView::CTokenInfoFormView(QWidget* parent)
    : QWidget(parent), ui_(new Ui::CTokenInfoFormView) {
    ui_->setupUi(this);
    buttons_ = {ui_->loginButton,       ui_->changeUserPinButton, ui_->changeTokenNameButton,
                ui_->changeSoPinButton, ui_->unblockButton,       ui_->initializeButton};
    for (QWidget* widget : std::initializer_list<QWidget*>{
             ui_->userGroup, ui_->loginButton, ui_->changeUserPinButton, ui_->changeTokenNameButton,
             ui_->soGroup, ui_->changeSoPinButton, ui_->unblockButton, ui_->initializeButton})
        buttonBlock_.push_back({widget, widget->geometry()});
    slotListTemplate_ = ui_->slotList->geometry();
    tokenCaptionTemplate_ = ui_->tokenCaption->geometry();
    tokenListTemplate_ = ui_->tokenList->geometry();
    soPinButtonTemplate_ = ui_->changeSoPinButton->geometry();

    for (QTableWidget* list : {ui_->slotList, ui_->tokenList}) {
        setupReportList(list, detailColumns());
        list->setTabKeyNavigation(false);
        list->installEventFilter(this);
    }
    for (QPushButton* button : buttons_) {
        button->setAutoDefault(false);
        button->installEventFilter(this);
    }

    const std::pair<QPushButton*, int> operations[] = {{ui_->loginButton, Login},
                                                       {ui_->changeTokenNameButton, Rename},
                                                       {ui_->changeUserPinButton, ChangeUserPin},
                                                       {ui_->changeSoPinButton, ChangeSoPin},
                                                       {ui_->unblockButton, Unblock},
                                                       {ui_->initializeButton, Initialize}};
    for (auto [button, operation] : operations)
        connect(button, &QPushButton::clicked, this,
                [this, operation = operation] { emit operationRequested(operation); });

    // Nothing is shown yet: no token controls until a usable token is.
    applyTokenUsable();
}

CTokenInfoFormView::~CTokenInfoFormView() {
    delete ui_;
}

void CTokenInfoFormView::showSlot(CK_SLOT_ID slotId) {
    SlotEntry* entry = SlotManager::instance().findSlot(slotId);
    if (entry == nullptr)
        return;
    SlotEntry::Lock guard = entry->lock();
    slotId_ = slotId;
    tokenUsable_ = entry->tokenPresent && entry->tokenRecognized;
    applyTokenUsable();
    layoutControls();

    ui_->slotList->setRowCount(0);
    fillDetailList(ui_->slotList, slotDetailRows(*entry));
    selectFirstRow(ui_->slotList);
    ui_->tokenList->setRowCount(0);
    if (tokenUsable_)
        fillDetailList(ui_->tokenList, tokenDetailRows(*entry));
}

void CTokenInfoFormView::refreshTokenDetails(CK_SLOT_ID slotId) {
    SlotEntry* entry = SlotManager::instance().findSlot(slotId);
    if (entry == nullptr)
        return;
    ui_->tokenList->setRowCount(0);
    fillDetailList(ui_->tokenList, tokenDetailRows(*entry));
}

void CTokenInfoFormView::setLoginState(bool enabled) {
    loginEnabled_ = enabled;
    ui_->loginButton->setEnabled(enabled);
    setDefaultButton(enabled ? ui_->loginButton : ui_->changeUserPinButton);
}

void CTokenInfoFormView::setLabel(const QString& text) {
    QTableWidget* list = ui_->tokenList;
    if (list->rowCount() > 0) {
        QTableWidgetItem* item = list->item(0, 1);
        if (item == nullptr) {
            item = new QTableWidgetItem;
            list->setItem(0, 1, item);
        }
        item->setText(text);
        item->setToolTip(text);
        fitReportColumns(list);
    }
    emit labelSet(text);
}

void CTokenInfoFormView::setSelectedItemHasChildren(std::function<bool()> query) {
    selectedItemHasChildren_ = std::move(query);
}

void CTokenInfoFormView::applyTokenUsable() {
    for (QPushButton* button : buttons_)
        button->setEnabled(tokenUsable_);
    for (QWidget* widget : std::initializer_list<QWidget*>{ui_->tokenCaption, ui_->tokenList})
        widget->setVisible(tokenUsable_);
    for (const Placed& placed : buttonBlock_)
        placed.widget->setVisible(tokenUsable_);
}

void CTokenInfoFormView::layoutControls() {
    const int w = width();
    const int h = height();
    const int margin = slotListTemplate_.x();
    const int top = slotListTemplate_.y();
    QTableWidget* slotList = ui_->slotList;
    if (!tokenUsable_) {
        slotList->setGeometry(margin, top, std::max(0, w - 2 * margin),
                              std::max(0, h - margin - top));
        return;
    }
    const int slotListHeight = h / 5;
    slotList->setGeometry(margin, top, std::max(0, w - 2 * margin), slotListHeight);

    const int captionTop = top + slotListHeight + kCaptionGap;
    ui_->tokenCaption->move(tokenCaptionTemplate_.x(), captionTop);

    // The block keeps its shape and moves so that "Change SO PIN" ends
    // `margin` pixels above the bottom edge.
    const int shift = (h - margin) - (soPinButtonTemplate_.y() + soPinButtonTemplate_.height());
    for (const Placed& placed : buttonBlock_)
        placed.widget->move(placed.geometry.x(), placed.geometry.y() + shift);

    const int listLeft = tokenListTemplate_.x();
    const int listTop = captionTop + tokenCaptionTemplate_.height() + kTokenListGap;
    const int listBottom = tokenListTemplate_.y() + tokenListTemplate_.height() + shift;
    ui_->tokenList->setGeometry(listLeft, listTop, std::max(0, w - 2 * listLeft),
                                std::max(0, listBottom - listTop));
}

void CTokenInfoFormView::fitButtonBlock() {
    // Each row of three buttons keeps its left edge and its gaps; a button
    // whose text needs more than the template gives widens and pushes the
    // ones after it, and the group around the row keeps its margin to the
    // last button.
    auto placed = [this](QWidget* widget) -> QRect& {
        for (Placed& entry : buttonBlock_)
            if (entry.widget == widget)
                return entry.geometry;
        return buttonBlock_.front().geometry;
    };
    const std::pair<QWidget*, std::array<QPushButton*, 3>> rows[] = {
        {ui_->userGroup, {ui_->loginButton, ui_->changeUserPinButton, ui_->changeTokenNameButton}},
        {ui_->soGroup, {ui_->changeSoPinButton, ui_->unblockButton, ui_->initializeButton}}};
    for (const auto& [group, row] : rows) {
        const QRect oldLast = placed(row[2]);
        int push = 0;
        for (QPushButton* button : row) {
            QRect& geometry = placed(button);
            const int grow = std::max(0, button->sizeHint().width() - geometry.width());
            geometry = QRect(geometry.x() + push, geometry.y(), geometry.width() + grow,
                             geometry.height());
            button->resize(geometry.size());
            push += grow;
        }
        QRect& frame = placed(group);
        const int margin = frame.right() - oldLast.right();
        frame.setRight(std::max(frame.right(), placed(row[2]).right() + margin));
        group->resize(frame.size());
    }
    soPinButtonTemplate_ = placed(ui_->changeSoPinButton);
}

void CTokenInfoFormView::setDefaultButton(QPushButton* button) {
    for (QPushButton* candidate : buttons_)
        candidate->setDefault(candidate == button);
}

void CTokenInfoFormView::focusButton(QPushButton* button) {
    button->setFocus(Qt::TabFocusReason);
    setDefaultButton(button);
}

bool CTokenInfoFormView::handleTab(QObject* watched) {
    if (watched == ui_->slotList) {
        if (selectedItemHasChildren_ && selectedItemHasChildren_())
            return false;
        emit tabToTree();
        return true;
    }
    if (watched == ui_->tokenList) {
        focusButton(loginEnabled_ ? ui_->loginButton : ui_->changeUserPinButton);
        return true;
    }
    const std::pair<QObject*, QPushButton*> chain[] = {
        {ui_->changeUserPinButton, ui_->changeTokenNameButton},
        {ui_->changeTokenNameButton, ui_->changeSoPinButton},
        {ui_->changeSoPinButton, ui_->unblockButton},
        {ui_->unblockButton, ui_->initializeButton}};
    for (auto [from, to] : chain) {
        if (watched == from) {
            focusButton(to);
            return true;
        }
    }
    if (watched == ui_->initializeButton) {
        setDefaultButton(ui_->loginButton);
        emit tabToTree();
        return true;
    }
    return false;
}

bool CTokenInfoFormView::eventFilter(QObject* watched, QEvent* event) {
    switch (event->type()) {
    case QEvent::KeyPress: {
        auto* key = static_cast<QKeyEvent*>(event);
        if (key->key() == Qt::Key_Tab &&
            (key->modifiers() & ~Qt::KeypadModifier) == Qt::NoModifier && handleTab(watched))
            return true;
        break;
    }
    case QEvent::FocusIn:
        if (watched == ui_->tokenList)
            selectFirstRow(ui_->tokenList);
        else if (auto* button = qobject_cast<QPushButton*>(watched))
            setDefaultButton(button);
        break;
    default:
        break;
    }
    return QWidget::eventFilter(watched, event);
}

void CTokenInfoFormView::paintEvent(QPaintEvent* event) {
    selectFirstRow(ui_->slotList);
    QWidget::paintEvent(event);
}

void CTokenInfoFormView::resizeEvent(QResizeEvent* event) {
    QWidget::resizeEvent(event);
    layoutControls();
}

void CTokenInfoFormView::showEvent(QShowEvent* event) {
    if (!translated_) {
        translated_ = true;
        translateDialog(this, kTemplateId);
        fitButtonBlock();
    }
    QWidget::showEvent(event);
    layoutControls();
}
