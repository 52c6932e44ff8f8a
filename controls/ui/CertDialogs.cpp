#include "controls/CertDialogs.h"

#include "controls/DisplayProbe.h"
#include "controls/TextCodecs.h"
#include "platform/win/UserWait.h"

#include <cryptuiapi.h>

#include <QApplication>
#include <QComboBox>
#include <QDialog>
#include <QFontMetrics>
#include <QLabel>
#include <QLineEdit>
#include <QMainWindow>
#include <QMessageBox>
#include <QPushButton>
#include <QTimer>

#include <cstring>
#include <optional>
#include <string>

// The dialog result ids of winuser.h.
#ifndef IDOK
#define IDOK 1
#endif
#ifndef IDCANCEL
#define IDCANCEL 2
#endif

namespace certdialogs {

namespace {

using certflows::CertFamilyState;
using certflows::MarkerFilter;

void defaultMessage(QWidget* parent, const Message& message) {
    QMessageBox box(QMessageBox::NoIcon, message.caption, message.text, QMessageBox::Ok, parent);
    box.exec();
}

int defaultRunner(QDialog& dialog) {
    return dialog.exec();
}

MessagePresenter messagePresenter = defaultMessage;
DialogRunner dialogRunner = defaultRunner;

// A control of a dialog template: its id (0 for a static), text and rectangle in dialog units.
struct ControlTemplate {
    int id;
    const char* text;
    int x, y, cx, cy;
};

struct DialogTemplate {
    const char* caption;
    int cx, cy;
    ControlTemplate prompt, list, view, ok, cancel;
    DWORD viewerStructSize;
    const char* noSelectionOnOk;
    const char* noSelectionOnView;
    const char* viewFailed;
    bool pickBySelection;
};

// Template 201 of the 64-bit control.
constexpr DialogTemplate kTemplate64 = {
    "选择证书", 207, 78,
    {0, "请选择证书", 13, 10, 144, 13},
    {201, "", 13, 27, 180, 129},
    {202, "查看证书", 21, 54, 50, 14},
    {IDOK, "确 定", 81, 54, 50, 14},
    {IDCANCEL, "取 消", 141, 54, 50, 14},
    120, "Please Select Certificate!", "Please Select Certificate!", "View Certificate Error!", false};

// Template 201 of the 32-bit control.
constexpr DialogTemplate kTemplate32 = {
    "证书选择", 211, 62,
    {0, "请选择证书：", 13, 7, 116, 10},
    {202, "", 13, 19, 188, 85},
    {201, "查看证书", 13, 39, 50, 14},
    {IDOK, "确定", 79, 39, 50, 14},
    {IDCANCEL, "取消", 145, 39, 50, 14},
    72, "Please Select Certificate!", "请选择数字证书.", "查看数字证书信息失败!", true};

// The template's 10-point font; hosts without it fall back to an installed CJK face.
QFont dialogFont() {
    QFont font;
    font.setFamilies({QStringLiteral("宋体"), QStringLiteral("SimSun"), QStringLiteral("Noto Sans CJK SC"),
                      QStringLiteral("Noto Serif CJK SC")});
    font.setPointSize(10);
    return font;
}

// Dialog units to pixels from the font's average character width and height, as the Windows
// dialog manager converts them.
struct DialogUnits {
    int baseX;
    int baseY;
    explicit DialogUnits(const QFont& font) {
        const QFontMetrics metrics(font);
        const QString letters = QStringLiteral("ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz");
        baseX = (metrics.horizontalAdvance(letters) / 26 + 1) / 2;
        baseY = metrics.height();
    }
    int x(int units) const { return units * baseX / 4; }
    int y(int units) const { return units * baseY / 8; }
    QRect rect(const ControlTemplate& c) const { return QRect(x(c.x), y(c.y), x(c.cx), y(c.cy)); }
};

bool isTrailingSpace(char c) {
    return c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\v' || c == '\f';
}

std::string trimmedRight(std::string text) {
    while (!text.empty() && isTrailingSpace(text.back()))
        text.pop_back();
    return text;
}

bool qualifies(MarkerFilter filter, const char* storedName) {
    const std::string trimmed = trimmedRight(storedName);
    const bool marked = trimmed.find("_TQB") != std::string::npos || trimmed.find("_tqb") != std::string::npos;
    return filter == MarkerFilter::None || (filter == MarkerFilter::Require) == marked;
}

HWND mainWindow() {
    for (QWidget* widget : QApplication::topLevelWidgets())
        if (qobject_cast<QMainWindow*>(widget))
            return static_cast<HWND>(widget);
    return NULL;
}

void tagControl(QWidget* widget, int id) {
    widget->setObjectName(QString::number(id));
    widget->setProperty("controlId", id);
}

class ChoiceWindow : public QDialog {
public:
    ChoiceWindow(const DialogTemplate& layout, CertFamilyState& state, MarkerFilter filter, UINT codePage)
        : QDialog(nullptr), layout_(layout), state_(state), codePage_(codePage) {
        setObjectName(QString::number(IDD_CERTSELECT));
        setProperty("controlId", IDD_CERTSELECT);
        setWindowTitle(QString::fromUtf8(layout.caption));
        setFont(dialogFont());
        const DialogUnits units(font());
        setFixedSize(units.x(layout.cx), units.y(layout.cy));

        auto* prompt = new QLabel(QString::fromUtf8(layout.prompt.text), this);
        prompt->setGeometry(units.rect(layout.prompt));

        // A drop-down with an edit field, made read-only so only list entries can be picked.
        list_ = new QComboBox(this);
        list_->setEditable(true);
        list_->setInsertPolicy(QComboBox::NoInsert);
        tagControl(list_, layout.list.id);
        list_->setGeometry(units.x(layout.list.x), units.y(layout.list.y), units.x(layout.list.cx),
                           list_->sizeHint().height());

        auto button = [&](const ControlTemplate& c) {
            auto* b = new QPushButton(QString::fromUtf8(c.text), this);
            tagControl(b, c.id);
            b->setGeometry(units.rect(c));
            b->setAutoDefault(false);
            return b;
        };
        QPushButton* view = button(layout.view);
        QPushButton* ok = button(layout.ok);
        QPushButton* cancel = button(layout.cancel);
        ok->setDefault(true);
        connect(view, &QPushButton::clicked, this, [this] { onView(); });
        connect(ok, &QPushButton::clicked, this, [this] { onOk(); });
        connect(cancel, &QPushButton::clicked, this, [this] { reject(); });

        for (DWORD i = 0; i < state_.containerCount && i < certflows::kMaxContainers; ++i)
            if (layout.pickBySelection || qualifies(filter, state_.certificateNames[i]))
                list_->addItem(QString::fromStdU16String(certflows::fromAnsi(codePage_, state_.certificateNames[i])));
        list_->lineEdit()->setReadOnly(true);
        list_->setCurrentIndex(-1);

        limit_.setSingleShot(true);
        limit_.setInterval(korvanUserWaitLimitSeconds() * 1000);
        connect(&limit_, &QTimer::timeout, this, [this] { onLimit(); });
    }

    // Runs the dialog as a wait for the user: announced while it is open, and cancelled when
    // nobody has decided within the limit.
    void runAsWait() {
        wait_.emplace();
        limit_.start();
        dialogRunner(*this);
        limit_.stop();
        wait_.reset();
    }

    // Cancel, Escape and the close box.
    void reject() override {
        state_.dialogConfirmed = false;
        state_.certificateChosen = false;
        QDialog::reject();
    }

private:
    // While the viewer is open it is the wait (waits do not nest, and it has its own limit); ours
    // resumes with a fresh limit when it closes, the user having just been here.
    class ViewerInterlude {
    public:
        explicit ViewerInterlude(ChoiceWindow& window) : window_(window), waiting_(window.wait_.has_value()) {
            window_.limit_.stop();
            window_.wait_.reset();
        }
        ~ViewerInterlude() {
            if (!waiting_)
                return;
            window_.wait_.emplace();
            window_.limit_.start();
        }
        ViewerInterlude(const ViewerInterlude&) = delete;
        ViewerInterlude& operator=(const ViewerInterlude&) = delete;

    private:
        ChoiceWindow& window_;
        bool waiting_;
    };

    // A message box still open over the dialog goes first: its own loop would hold ours open.
    void onLimit() {
        for (QDialog* child : findChildren<QDialog*>())
            if (child->isVisible())
                child->reject();
        reject();
    }

    // The entry the user picked, or -1.
    LONG pick() const {
        if (layout_.pickBySelection)
            return list_->currentIndex();
        const std::string text = trimmedRight(certflows::toAnsi(codePage_, list_->currentText().toStdU16String()));
        // Nothing picked: an empty text is no pick, even beside a certificate without a name.
        if (text.empty())
            return -1;
        for (DWORD i = 0; i < state_.containerCount && i < certflows::kMaxContainers; ++i)
            if (text == state_.certificateNames[i])
                return static_cast<LONG>(i);
        return -1;
    }

    // The boxes are given no caption, so the platform's box shows "Error".
    void message(const char* text) {
        messagePresenter(this, Message{QStringLiteral("Error"), QString::fromUtf8(text), kMessageOk});
    }

    void onView() {
        const LONG index = pick();
        // The 32-bit control keeps its index when nothing is selected, so it is never -1.
        if (!layout_.pickBySelection || index >= 0)
            state_.chosenIndex = index;
        if (index < 0) {
            message(layout_.noSelectionOnView);
            return;
        }
        PCCERT_CONTEXT cert = CertCreateCertificateContext(X509_ASN_ENCODING | PKCS_7_ASN_ENCODING,
                                                           state_.certificates[index],
                                                           state_.certificateLengths[index]);
        BOOL shown = FALSE;
        if (cert) {
            HCERTSTORE store = cert->hCertStore;
            CRYPTUI_VIEWCERTIFICATE_STRUCTA view;
            std::memset(&view, 0, sizeof view);
            view.dwSize = layout_.viewerStructSize;
            view.hwndParent = mainWindow();
            view.dwFlags = 0;
            view.szTitle = NULL;
            view.pCertContext = cert;
            view.cStores = 1;
            view.rghStores = &store;
            BOOL changed = FALSE;
            const ViewerInterlude interlude(*this);
            shown = CryptUIDlgViewCertificateA(&view, &changed);
            CertFreeCertificateContext(cert);
        }
        if (!shown)
            message(layout_.viewFailed);
    }

    void onOk() {
        const LONG index = pick();
        if (!layout_.pickBySelection)
            state_.chosenIndex = -1;
        if (index < 0) {
            message(layout_.noSelectionOnOk);
            return;
        }
        state_.chosenIndex = index;
        state_.dialogConfirmed = true;
        accept();
    }

    const DialogTemplate& layout_;
    CertFamilyState& state_;
    UINT codePage_;
    QComboBox* list_ = nullptr;
    QTimer limit_;
    std::optional<KorvanUserWait> wait_;
};

} // namespace

MessagePresenter setMessagePresenter(MessagePresenter presenter) {
    const MessagePresenter previous = messagePresenter;
    messagePresenter = presenter ? presenter : defaultMessage;
    return previous;
}

DialogRunner setDialogRunner(DialogRunner runner) {
    const DialogRunner previous = dialogRunner;
    dialogRunner = runner ? runner : defaultRunner;
    return previous;
}

namespace {

QApplication* madeApplication = nullptr;

// What a dialog does where no window can be shown: the choice ends as a cancel would.
void leaveAsCancelled(CertFamilyState& state) {
    state.dialogConfirmed = false;
    state.certificateChosen = false;
}

} // namespace

bool ensureApplication() {
    if (QCoreApplication::instance())
        return qobject_cast<QApplication*>(QCoreApplication::instance()) != nullptr;
    const PlatformChoice choice = choosePlatform();
    if (!choice.usable)
        return false;
    // Qt keeps argc and argv for the application's life; the module stays loaded that long.
    static int argc = 1;
    static char name[] = "korvan-control";
    static char platformOption[] = "-platform";
    static std::string platform;
    static char* argv[] = {name, nullptr, nullptr, nullptr};
    if (!choice.platform.empty()) {
        platform = choice.platform;
        argv[1] = platformOption;
        argv[2] = platform.data();
        argc = 3;
    }
    madeApplication = new QApplication(argc, argv);
    return true;
}

bool applicationMadeHere() {
    return madeApplication != nullptr;
}

void CCertSelect::run(CertFamilyState& state) {
    if (!ensureApplication())
        return leaveAsCancelled(state);
    ChoiceWindow window(kTemplate64, state, filter(), codePage_);
    window.runAsWait();
}

void CCertSelect32::run(CertFamilyState& state) {
    if (!ensureApplication())
        return leaveAsCancelled(state);
    ChoiceWindow window(kTemplate32, state, MarkerFilter::None, codePage_);
    window.runAsWait();
}

} // namespace certdialogs
