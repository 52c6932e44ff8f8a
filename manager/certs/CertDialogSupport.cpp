#include "CertDialogSupport.h"

#include "CertFileImport.h"

#include "DialogTranslation.h"
#include "ImportFlow.h"
#include "Messages.h"
#include "TextFit.h"

#include <QApplication>
#include <QDir>
#include <QFileDialog>
#include <QFileInfo>
#include <QLineEdit>
#include <QPalette>
#include <QShowEvent>

bool MessageBoxPrompter::confirm(int messageId, const char* defaultText) {
    // The question itself is answered with the normal cursor.
    wait_.reset();
    bool yes = showMessageOwned(messageId, defaultText, MB_YESNO) == IDYES;
    if (yes && waitAfterYes_)
        wait_.emplace();
    return yes;
}

CertDialog::CertDialog(int templateId, QWidget* parent)
    : QDialog(parent), templateId_(templateId) {}

void CertDialog::showEvent(QShowEvent* event) {
    if (!initialized_) {
        initialized_ = true;
        translateDialog(this, templateId_);
        initDialog();
        fitTexts(this);
    }
    QDialog::showEvent(event);
}

int CertDialog::runNested(QDialog& dialog) {
    nested_ = &dialog;
    int result = dialog.exec();
    nested_ = nullptr;
    return result;
}

namespace {

// A file dialog that never accepts a name with wildcards: the name is
// cleared and the dialog stays open, so no file called "*.cer" is made.
class FileChooser : public QFileDialog {
public:
    using QFileDialog::QFileDialog;
    void accept() override {
        QStringList files = selectedFiles();
        if (!files.isEmpty() && FileNameHasWildcards(utf8(QFileInfo(files.first()).fileName()))) {
            selectFile(QString());
            return;
        }
        QFileDialog::accept();
    }
};

} // namespace

std::optional<QString> CertDialog::chooseFile(void (*configure)(QFileDialog&)) {
    FileChooser dialog(this);
    configure(dialog);
    fileDialog_ = &dialog;
    int result = runNested(dialog);
    fileDialog_ = nullptr;
    if (result != QDialog::Accepted || dialog.selectedFiles().isEmpty())
        return std::nullopt;
    return QDir::toNativeSeparators(dialog.selectedFiles().first());
}


void CertDialog::done(int result) {
    // The nested dialog's event loop runs inside ours: it has to end first.
    if (QDialog* nested = nested_.data()) {
        nested_ = nullptr;
        nested->reject();
    }
    QDialog::done(result);
}

void showAsReadOnly(QLineEdit* edit) {
    edit->setReadOnly(true);
    QPalette palette = edit->palette();
    for (QPalette::ColorGroup group : {QPalette::Active, QPalette::Inactive, QPalette::Disabled})
        palette.setColor(group, QPalette::Base, palette.color(group, QPalette::Window));
    edit->setPalette(palette);
}

QString fileDialogFilter(const char* description, const char* pattern) {
    QString patterns = QString::fromLatin1(pattern);
    patterns.replace(QLatin1Char(';'), QLatin1Char(' '));
    return QString::fromLatin1(description) + QStringLiteral(" (") + patterns + QLatin1Char(')');
}

namespace {

QString& lastFolder() {
    static QString folder;
    return folder;
}

void commonOptions(QFileDialog& dialog) {
    dialog.setOption(QFileDialog::DontUseNativeDialog, true);
    dialog.setOption(QFileDialog::HideNameFilterDetails, true);
    dialog.setViewMode(QFileDialog::Detail);
    QString folder = lastFileDialogFolder();
    if (!folder.isEmpty())
        dialog.setDirectory(folder);
}

} // namespace

QString lastFileDialogFolder() {
    return lastFolder();
}

void rememberFileDialogFolder(const QString& path) {
    if (!path.isEmpty())
        lastFolder() = QFileInfo(path).absolutePath();
}

void configureImportFileDialog(QFileDialog& dialog) {
    commonOptions(dialog);
    dialog.setAcceptMode(QFileDialog::AcceptOpen);
    dialog.setFileMode(QFileDialog::ExistingFile);
    QStringList filters;
    for (const FileFilter& filter : ImportFileFilters())
        filters << fileDialogFilter(filter.description, filter.pattern);
    dialog.setNameFilters(filters);
    dialog.selectNameFilter(filters.first());
    // The default extension "*.PFX" as a suffix: what a typed name without one gets.
    QString suffix = QString::fromLatin1(kImportDefaultExtension);
    suffix.remove(QStringLiteral("*."));
    dialog.setDefaultSuffix(suffix);
}

void configureExportFileDialog(QFileDialog& dialog) {
    commonOptions(dialog);
    dialog.setAcceptMode(QFileDialog::AcceptSave);
    dialog.setFileMode(QFileDialog::AnyFile);
    // "Description|pattern|..." pairs, ended by an empty one.
    QStringList parts = QString::fromLatin1(kExportFilter).split(QLatin1Char('|'));
    QStringList filters;
    for (qsizetype i = 0; i + 1 < parts.size(); i += 2) {
        if (parts[i].isEmpty())
            break;
        filters << fileDialogFilter(parts[i].toLatin1().constData(),
                                    parts[i + 1].toLatin1().constData());
    }
    dialog.setNameFilters(filters);
    dialog.selectNameFilter(filters.first());
    // A name typed without an extension gets the first three letters of the
    // default extension "cert", as the save dialogs of the original platform
    // append them: "name.cer", the type the filter offers.
    dialog.setDefaultSuffix(QString::fromLatin1(kExportDefaultExtension).left(3));
    dialog.selectFile(QString());
}
