// The software token in a temporary store behind the program's own library
// binding and slot manager, so the view and the dialogs find it as they do
// in the manager; calls pass an interceptor that tests can make fail.
#pragma once

// Ahead of every Qt header: the token fixture has a member named like a Qt macro.
#include "TokenFixture.h"

#include "CertFixtures.h"
#include "DialogTestSupport.h"
#include "ImportResult.h"
#include "MessagePresenter.h"

#include <filesystem>
#include <memory>
#include <string>

class CCertManagerFormView;

// Readable failure output for Qt texts.
inline void PrintTo(const QString& text, std::ostream* out) {
    *out << '"' << text.toStdString() << '"';
}
inline void PrintTo(const QStringList& texts, std::ostream* out) {
    *out << '{';
    for (const QString& text : texts)
        *out << " \"" << text.toStdString() << '"';
    *out << " }";
}

class CertUiTest : public ::testing::Test {
protected:
    static void SetUpTestSuite() { ensureApplication(); }
    void SetUp() override;
    void TearDown() override;

    static SlotEntry* slot();
    CK_FUNCTION_LIST* realFns() { return real_.functions(); }
    Intercept& intercept() { return Intercept::current(); }
    CK_SESSION_HANDLE session();

    std::string path(const std::string& name) const { return (root_ / name).string(); }
    // A PKCS#12 file with a fresh self-signed RSA certificate for `cn`.
    std::string writePkcs12(const std::string& name, const std::string& cn,
                            const std::string& password = "secret");
    // Imports a PKCS#12 file as the import dialog would, without the dialog.
    ImportResult importPkcs12(const std::string& file, const std::string& password = "secret");
    // Every object on the token.
    std::vector<CK_OBJECT_HANDLE> objects();
    Bytes attribute(CK_OBJECT_HANDLE handle, CK_ATTRIBUTE_TYPE type);

    // A view that shows slot 1 as if its "Data management" item were selected
    // and logged in.
    std::unique_ptr<CCertManagerFormView> makeView(bool loggedIn = true);
    static QStringList treeTexts(const CCertManagerFormView& view);

    ScriptedPresenter presenter;
    std::filesystem::path root_;
    bool ready_ = false;

private:
    TokenLibrary real_;
    std::unique_ptr<ScopedMessagePresenter> scoped_;
};
