#include "CertManagerFormView.h"

#include "CertDialogSupport.h"
#include "CertExportDlg.h"
#include "CertImages.h"
#include "CertImportDlg.h"
#include "ControlId.h"
#include "DialogTranslation.h"
#include "ImportFlow.h"
#include "Messages.h"
#include "ObjectInfoDlg.h"
#include "SlotManager.h"
#include "TokenLibrary.h"

#include "ui_CertManagerFormView.h"

#include <QHeaderView>
#include <QKeyEvent>
#include <QLabel>
#include <QTreeWidget>

#include <algorithm>
#include <ctime>

namespace {

constexpr int kLoginHintId = 1252;
constexpr int kLoginButtonId = 310;
// Between the line that explains the Login offer, its button and the list.
constexpr int kLoginOfferGap = 8;

} // namespace

CCertManagerFormView::CCertManagerFormView(QWidget* parent)
    : QWidget(parent), ui_(new Ui::CCertManagerFormView), loginHint_(new QLabel(this)),
      loginButton_(new QPushButton(this)), images_(certImages()) {
    ui_->setupUi(this);
    loginHint_->setTextFormat(Qt::PlainText);
    loginHint_->hide();
    loginButton_->hide();
    connect(loginButton_, &QPushButton::clicked, this, [this] { emit loginRequested(); });
    treeTemplate_ = ui_->objectTree->geometry();
    importTemplate_ = ui_->importButton->geometry();
    exportTemplate_ = ui_->exportButton->geometry();
    viewTemplate_ = ui_->viewButton->geometry();
    deleteTemplate_ = ui_->deleteButton->geometry();

    QTreeWidget* tree = ui_->objectTree;
    tree->setHeaderHidden(true);
    tree->setColumnCount(1);
    tree->setIconSize(QSize(16, 16));
    tree->setSelectionMode(QAbstractItemView::SingleSelection);
    tree->header()->setSectionResizeMode(0, QHeaderView::ResizeToContents);
    tree->header()->setStretchLastSection(false);

    connect(tree, &QTreeWidget::itemSelectionChanged, this, [this] { updateButtons(); });
    connect(tree, &QTreeWidget::itemDoubleClicked, this, [this](QTreeWidgetItem* item, int) {
        if (item != nullptr && item->parent() != nullptr)
            onView();
    });
    connect(ui_->importButton, &QPushButton::clicked, this, [this] { onImport(); });
    connect(ui_->exportButton, &QPushButton::clicked, this, [this] { onExport(); });
    connect(ui_->viewButton, &QPushButton::clicked, this, [this] { onView(); });
    connect(ui_->deleteButton, &QPushButton::clicked, this, [this] { onDelete(); });

    for (QWidget* watched : {static_cast<QWidget*>(tree), static_cast<QWidget*>(ui_->viewButton),
                             static_cast<QWidget*>(ui_->deleteButton)})
        watched->installEventFilter(this);
}

CCertManagerFormView::~CCertManagerFormView() {
    delete ui_;
}

QTreeWidget* CCertManagerFormView::tree() const {
    return ui_->objectTree;
}
QPushButton* CCertManagerFormView::importButton() const {
    return ui_->importButton;
}
QPushButton* CCertManagerFormView::exportButton() const {
    return ui_->exportButton;
}
QPushButton* CCertManagerFormView::viewButton() const {
    return ui_->viewButton;
}
QPushButton* CCertManagerFormView::deleteButton() const {
    return ui_->deleteButton;
}

void CCertManagerFormView::setNavigationQuery(std::function<std::optional<bool>()> query) {
    navigationQuery_ = std::move(query);
}

void CCertManagerFormView::refresh(CK_SLOT_ID slotId) {
    SlotEntry* slot = SlotManager::instance().findSlot(slotId);
    if (slot == nullptr)
        return;
    slotId_ = slotId;

    model_ = ContainerTree{};
    render();

    std::optional<bool> loggedIn =
        navigationQuery_ ? navigationQuery_() : std::optional<bool>(slot->loggedIn.load());
    canModify_ = loggedIn.value_or(false);
    showLoginOffer(loggedIn.has_value() && !*loggedIn);
    updateButtons();
    if (!loggedIn)
        return;

    model_ = BuildContainerTree(TokenLibrary::instance().functions(), *slot, std::time(nullptr));
    render();
    select(InitialSelection(model_));
}

void CCertManagerFormView::showLoginOffer(bool shown) {
    if (shown) {
        loginHint_->setText(qtext(
            translate(kLoginHintId, "Log in to see the certificates on this token.")));
        loginButton_->setText(qtext(translate(kLoginButtonId, "Login")));
        loginHint_->resize(loginHint_->sizeHint());
        loginButton_->resize(std::max(importTemplate_.width(), loginButton_->sizeHint().width()),
                             importTemplate_.height());
    }
    loginHint_->setVisible(shown);
    loginButton_->setVisible(shown);
    layoutControls();
}

void CCertManagerFormView::render() {
    QTreeWidget* tree = ui_->objectTree;
    QSignalBlocker block(tree);
    tree->clear();
    for (const ContainerNode& root : model_.roots) {
        auto* rootItem = new QTreeWidgetItem(tree);
        rootItem->setText(0, qtext(root.text));
        rootItem->setIcon(0, images_.value(static_cast<int>(TreeImage::Container)));
        for (const ObjectNode& child : root.children) {
            auto* childItem = new QTreeWidgetItem(rootItem);
            childItem->setText(0, qtext(child.text));
            childItem->setIcon(0, images_.value(static_cast<int>(child.image)));
        }
        rootItem->setExpanded(true);
    }
    block.unblock();
    updateButtons();
}

TreeSelection CCertManagerFormView::selection() const {
    TreeSelection selection;
    QList<QTreeWidgetItem*> selected = ui_->objectTree->selectedItems();
    if (selected.isEmpty())
        return selection;
    QTreeWidgetItem* item = selected.first();
    if (QTreeWidgetItem* parent = item->parent()) {
        selection.root = ui_->objectTree->indexOfTopLevelItem(parent);
        selection.child = parent->indexOfChild(item);
    } else {
        selection.root = ui_->objectTree->indexOfTopLevelItem(item);
    }
    return selection;
}

void CCertManagerFormView::select(TreeSelection selection) {
    QTreeWidget* tree = ui_->objectTree;
    QTreeWidgetItem* item = selection.none() ? nullptr : tree->topLevelItem(selection.root);
    if (item != nullptr && selection.child >= 0)
        item = item->child(selection.child);
    if (item == nullptr) {
        tree->clearSelection();
        tree->setCurrentItem(nullptr);
    } else {
        tree->setCurrentItem(item);
        item->setSelected(true);
    }
    updateButtons();
}

void CCertManagerFormView::updateButtons() {
    ButtonStates states = ButtonStatesFor(model_, selection(), canModify_);
    ui_->importButton->setEnabled(states.importEnabled);
    ui_->exportButton->setEnabled(states.exportEnabled);
    ui_->viewButton->setEnabled(states.viewEnabled);
    ui_->deleteButton->setEnabled(states.deleteEnabled);
}

const TokenObjectInfo* CCertManagerFormView::selectedRecord() const {
    TreeSelection current = selection();
    if (!current.isObject() || current.root >= static_cast<int>(model_.roots.size()))
        return nullptr;
    const ContainerNode& root = model_.roots[static_cast<size_t>(current.root)];
    if (current.child >= static_cast<int>(root.children.size()))
        return nullptr;
    return root.children[static_cast<size_t>(current.child)].record;
}

int CCertManagerFormView::runDialog(QDialog& dialog) {
    runningDialog = &dialog;
    int result = dialog.exec();
    runningDialog = nullptr;
    return result;
}

void CCertManagerFormView::onImport() {
    if (!ImportAllowedForSlot(slotId_))
        return;
    const CK_SLOT_ID slotId = slotId_;
    bool imported = false;
    {
        CCertImportDlg dialog(slotId, model_.knownCertificates, this);
        runDialog(dialog);
        imported = dialog.imported();
    }
    if (imported)
        refresh(slotId);
    RefreshSlotAfterImport(SlotManager::instance(), slotId);
}

void CCertManagerFormView::onExport() {
    const TokenObjectInfo* record = selectedRecord();
    if (record == nullptr || record->objectClass != CKO_CERTIFICATE)
        return;
    CCertExportDlg dialog(slotId_, record->handle, this);
    runDialog(dialog);
}

void CCertManagerFormView::onView() {
    const TokenObjectInfo* record = selectedRecord();
    if (record == nullptr)
        return;
    CObjectInfoDlg dialog(slotId_, record, this);
    runDialog(dialog);
}

void CCertManagerFormView::onDelete() {
    MessageBoxPrompter prompter(true);
    DeleteOutcome outcome =
        DeleteSelection(TokenLibrary::instance().functions(),
                        SlotManager::instance().findSlot(slotId_), model_, selection(), prompter);
    prompter.endWait();
    if (outcome.attempted) {
        render();
        select(outcome.selection);
    }
    if (outcome.message.id != 0)
        showMessage(outcome.message.id, outcome.message.defaultText, outcome.message.flags);
}

bool CCertManagerFormView::eventFilter(QObject* watched, QEvent* event) {
    if (event->type() != QEvent::KeyPress)
        return QWidget::eventFilter(watched, event);
    auto* key = static_cast<QKeyEvent*>(event);
    if (watched == ui_->objectTree && (key->key() == Qt::Key_Return || key->key() == Qt::Key_Enter))
        return true;
    if (key->key() == Qt::Key_Tab && (key->modifiers() & ~Qt::KeypadModifier) == 0) {
        FocusControl focus = watched == ui_->objectTree   ? FocusControl::Tree
                             : watched == ui_->viewButton ? FocusControl::View
                                                          : FocusControl::Delete;
        ButtonStates states{ui_->importButton->isEnabled(), ui_->exportButton->isEnabled(),
                            ui_->viewButton->isEnabled(), ui_->deleteButton->isEnabled()};
        if (TabLeavesView(focus, states)) {
            emit tabToNavigation();
            return true;
        }
    }
    return QWidget::eventFilter(watched, event);
}

void CCertManagerFormView::layoutControls() {
    const int w = width();
    const int h = height();
    // Import keeps its size and left margin and sits that margin above the
    // bottom edge; the other buttons move down by as much.
    const int margin = importTemplate_.x();
    const int importTop = h - margin - importTemplate_.height();
    const int shift = importTop - importTemplate_.y();
    ui_->importButton->move(importTemplate_.x(), importTop);
    ui_->exportButton->move(exportTemplate_.x(), exportTemplate_.y() + shift);
    ui_->viewButton->move(viewTemplate_.x(), viewTemplate_.y() + shift);
    ui_->deleteButton->move(deleteTemplate_.x(), deleteTemplate_.y() + shift);

    const int treeMargin = treeTemplate_.x();
    int treeTop = treeTemplate_.y();
    // Before a login a line above the list says why it shows no
    // certificates, with Login beside it; the list starts below them.
    if (loginButton_->isVisibleTo(this)) {
        const int line = std::max(loginButton_->height(), loginHint_->height());
        loginHint_->move(treeMargin, treeTop + (line - loginHint_->height()) / 2);
        loginButton_->move(treeMargin + loginHint_->width() + kLoginOfferGap,
                           treeTop + (line - loginButton_->height()) / 2);
        treeTop += line + kLoginOfferGap;
    }
    ui_->objectTree->setGeometry(treeMargin, treeTop, std::max(0, w - 2 * treeMargin),
                                 std::max(0, importTop - treeMargin - treeTop));
}

void CCertManagerFormView::fitButtons() {
    // One width for the four buttons, the widest text's; the row keeps its
    // left edge and its gaps.
    QPushButton* buttons[] = {ui_->importButton, ui_->exportButton, ui_->viewButton,
                              ui_->deleteButton};
    QRect* templates[] = {&importTemplate_, &exportTemplate_, &viewTemplate_, &deleteTemplate_};
    int width = 0;
    for (QPushButton* button : buttons)
        width = std::max({width, button->width(), button->sizeHint().width()});
    const int gap = exportTemplate_.x() - (importTemplate_.x() + importTemplate_.width());
    for (int i = 0; i < 4; ++i) {
        QRect& geometry = *templates[i];
        geometry = QRect(importTemplate_.x() + i * (width + gap), geometry.y(), width,
                         geometry.height());
        buttons[i]->resize(geometry.size());
    }
}

void CCertManagerFormView::resizeEvent(QResizeEvent* event) {
    QWidget::resizeEvent(event);
    layoutControls();
}

void CCertManagerFormView::showEvent(QShowEvent* event) {
    if (!translated_) {
        translated_ = true;
        translateDialog(this, kTemplateId);
        fitButtons();
    }
    QWidget::showEvent(event);
    layoutControls();
}
