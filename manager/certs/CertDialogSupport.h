#pragma once

// What the certificate view's dialogs share: translation on first show, the
// wait cursor, the duplicate and delete questions through the message boxes,
// nested dialogs that end with their owner, and the file dialog filters.

#include "CertCommon.h"
#include "QtText.h"

#include <QByteArray>
#include <QDialog>
#include <QPointer>
#include <QString>

#include <optional>
#include <string>

class QFileDialog;
class QLineEdit;

// The UTF-8 text of a toolkit string, as the certificate code takes it.
inline std::string utf8(const QString& text) {
    QByteArray bytes = text.toUtf8();
    return std::string(bytes.constData(), std::size_t(bytes.size()));
}

// Asks the certificate operations' Yes/No questions as message boxes owned
// by the active window. With `waitAfterYes` the wait cursor is shown from a
// Yes on, for the work the answer starts, until the prompter goes away.
class MessageBoxPrompter : public Prompter {
public:
    explicit MessageBoxPrompter(bool waitAfterYes = false) : waitAfterYes_(waitAfterYes) {}
    bool confirm(int messageId, const char* defaultText) override;
    void endWait() { wait_.reset(); }

private:
    bool waitAfterYes_;
    std::optional<WaitCursor> wait_;
};

// A dialog of the certificate view: translated with its template id when it
// is first shown. A dialog it runs on top of itself (a file dialog, the
// certificate viewer) goes through runNested(), so that ending this dialog
// from outside (the token went away) ends that one first.
class CertDialog : public QDialog {
    Q_OBJECT
public:
    static constexpr int kResultOk = 1;
    static constexpr int kResultCancel = 2;

    void done(int result) override;
    void reject() override { done(kResultCancel); }

    // Runs a dialog modally on top of this one.
    int runNested(QDialog& dialog);
    // The file dialog while chooseFile() runs it, else null.
    QFileDialog* fileDialog() const { return fileDialog_; }

protected:
    CertDialog(int templateId, QWidget* parent);
    void showEvent(QShowEvent* event) override;
    // Runs once, right after the translation.
    virtual void initDialog() {}
    // Runs a file dialog set up by `configure` on top of this one: the chosen
    // file with native separators, or nothing when none was chosen. A name
    // with wildcards is never taken.
    std::optional<QString> chooseFile(void (*configure)(QFileDialog&));

private:
    int templateId_;
    bool initialized_ = false;
    QPointer<QDialog> nested_;
    QFileDialog* fileDialog_ = nullptr;
};

// A name filter whose visible text is exactly `description` while the
// patterns (';'-separated, as the open dialogs take them) filter the list.
// Used with QFileDialog::HideNameFilterDetails.
QString fileDialogFilter(const char* description, const char* pattern);

// The open dialog of the import ("..."): its four filters in order, the
// first one chosen, existing files only.
void configureImportFileDialog(QFileDialog& dialog);
// The save dialog of the export: its two filters, the initial name and the
// default extension, a prompt before overwriting.
void configureExportFileDialog(QFileDialog& dialog);

// The path fields take their text from the file dialog only. Read-only
// edits look editable in this toolkit; this one is drawn in the window's
// colour instead, so that no one types into it in vain.
void showAsReadOnly(QLineEdit* edit);

// Where file dialogs start: the folder of the last chosen file.
QString lastFileDialogFolder();
void rememberFileDialogFolder(const QString& path);
