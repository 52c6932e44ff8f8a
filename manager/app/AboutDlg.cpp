#include "AboutDlg.h"

#include "DialogTranslation.h"
#include "MainWindowRules.h"
#include "TextFit.h"
#include "TreeImages.h"
#include "ui_AboutDlg.h"

CAboutDlg::CAboutDlg(QWidget* parent) : QDialog(parent), ui_(std::make_unique<Ui::CAboutDlg>()) {
    ui_->setupUi(this);
    setFixedSize(size());
    // The program's picture: the token image at twice its size.
    qreal ratio = devicePixelRatioF();
    QPixmap picture = treeImagePixmap(kImageSlotToken, 2 * ratio);
    picture.setDevicePixelRatio(ratio);
    ui_->icon->setPixmap(picture);
    translateDialog(this, kDialogId);
    fitTexts(this);
}

CAboutDlg::~CAboutDlg() = default;
