// MeridiaVaultora as a script host sees it: registration, type information, object safety and
// the certificate family over the Meridia provider and the software token.
#include "Control32Fixture.h"
#include "MeridiaVaultora.h"

#include <objbase.h>
#include <objsafe.h>
#include <ocidl.h>

#include "platform/Registry.h"
#include "platform/com/GuidText.h"

#include <QApplication>
#include <QComboBox>
#include <QDialog>
#include <QLoggingCategory>
#include <QPushButton>
#include <QTimer>
#include <QString>

#include <openssl/evp.h>
#include <openssl/x509.h>

#include <map>

namespace control32_test {
namespace {

using platform::RegistryKey;
using platform::RegistryRoot;

constexpr int kOkButton = 1;
constexpr int kCancelButton = 2;
constexpr const char* kClsidKey = "CLSID\\{350EF65B-EF6E-456C-A932-61705315AE42}";

// Debug lines of the program's debug channel while the object lives.
class DebugLines {
public:
    DebugLines() {
        lines().clear();
        QLoggingCategory::setFilterRules("korvan.debug=true");
        previous_ = qInstallMessageHandler(&DebugLines::handle);
    }
    ~DebugLines() { qInstallMessageHandler(previous_); }
    static std::vector<std::string>& lines() {
        static std::vector<std::string> all;
        return all;
    }

private:
    static void handle(QtMsgType, const QMessageLogContext&, const QString& message) {
        lines().push_back(message.toStdString());
    }
    QtMessageHandler previous_ = nullptr;
};

std::string certificateDerHex(X509* certificate) {
    unsigned char* der = nullptr;
    const int length = i2d_X509(certificate, &der);
    std::string text = control_host::toHex(std::vector<unsigned char>(der, der + length));
    OPENSSL_free(der);
    return text;
}

TEST_F(Control32Test, RegistrationWithTheToolWritesBothProgIdsAndUnregistrationKeepsTheClsidKey) {
    const std::string tool = CONTROL_HOST_REGSVR32;
    ASSERT_EQ(control_host::runCommand(tool + " /u /s " + CONTROL32_MODULE).exitCode, 0);
    EXPECT_FALSE(RegistryKey::open(RegistryRoot::ClassesRoot, "MeridiaVaultora.MeridiaCtrl.1"));
    EXPECT_FALSE(RegistryKey::open(RegistryRoot::ClassesRoot, "MeridiaVaultora.MeridiaCtrl"));
    EXPECT_FALSE(RegistryKey::open(RegistryRoot::ClassesRoot, kClsidKey));
    EXPECT_TRUE(RegistryKey::open(RegistryRoot::ClassesRoot, "CLSID"));
    EXPECT_FALSE(Control::create(kProgId));

    ASSERT_EQ(control_host::runCommand(tool + " /s " + CONTROL32_MODULE).exitCode, 0);
    auto versioned = RegistryKey::open(RegistryRoot::ClassesRoot, "MeridiaVaultora.MeridiaCtrl.1");
    ASSERT_TRUE(versioned);
    EXPECT_EQ(versioned->stringValue(""), "MeridiaCtrl Class");
    auto independent = RegistryKey::open(RegistryRoot::ClassesRoot, "MeridiaVaultora.MeridiaCtrl\\CurVer");
    ASSERT_TRUE(independent);
    EXPECT_EQ(independent->stringValue(""), "MeridiaVaultora.MeridiaCtrl.1");
    auto server = RegistryKey::open(RegistryRoot::ClassesRoot, std::string(kClsidKey) + "\\InprocServer32");
    ASSERT_TRUE(server);
    EXPECT_EQ(server->stringValue("ThreadingModel"), "Apartment");
    EXPECT_NE(server->stringValue("")->find("libMeridiaVaultora.so"), std::string::npos);
    auto typeLib = RegistryKey::open(RegistryRoot::ClassesRoot, std::string(kClsidKey) + "\\TypeLib");
    ASSERT_TRUE(typeLib);
    EXPECT_EQ(typeLib->stringValue(""), "{F560E6C0-E9FD-4596-B1B8-06397A6AE2A2}");
    EXPECT_TRUE(Control::create(kIndependentProgId));
}

TEST_F(Control32Test, TypeInformationHasTheFourteenMembersWithTheirParametersAndA32BitLibrary) {
    Control control = create();
    ASSERT_TRUE(control);
    const std::map<std::string, DISPID> members = {
        {"IsOnline", 1},      {"GetHash", 2},        {"HashResult", 3},     {"SignResult", 4},
        {"GetSignature", 5},  {"GenRandomNumber", 6}, {"SetCertResult", 7}, {"GetCertName", 8},
        {"GetCertSerial", 9}, {"GetKeyModule", 10},  {"VerifyResult", 11},  {"GetCertContent", 12},
        {"CryptByPukey", 13}, {"DecryByPrikey", 14}};
    for (const auto& [name, id] : members)
        EXPECT_EQ(control.idOf(name.c_str()), id) << name;
    EXPECT_EQ(control.invoke(15).hr, DISP_E_MEMBERNOTFOUND);

    ITypeInfo* info = nullptr;
    ASSERT_EQ(control.dispatch()->GetTypeInfo(0, 0x409, &info), S_OK);
    ITypeLib* library = nullptr;
    UINT index = 0;
    ASSERT_EQ(info->GetContainingTypeLib(&library, &index), S_OK);
    TLIBATTR* libraryAttributes = nullptr;
    ASSERT_EQ(library->GetLibAttr(&libraryAttributes), S_OK);
    EXPECT_EQ(libraryAttributes->syskind, SYS_WIN32);
    EXPECT_EQ(libraryAttributes->guid, LIBID_MERIDIAVAULTORALib);
    library->ReleaseTLibAttr(libraryAttributes);
    library->Release();

    // Parameter names, and [in] only on CryptByPukey's and DecryByPrikey's inputs.
    TYPEATTR* attributes = nullptr;
    ASSERT_EQ(info->GetTypeAttr(&attributes), S_OK);
    const WORD functions = attributes->cFuncs;
    info->ReleaseTypeAttr(attributes);
    std::map<DISPID, std::vector<std::string>> names;
    std::map<DISPID, std::vector<USHORT>> flags;
    for (WORD i = 0; i < functions; ++i) {
        FUNCDESC* function = nullptr;
        ASSERT_EQ(info->GetFuncDesc(i, &function), S_OK);
        BSTR raw[8] = {};
        UINT count = 0;
        info->GetNames(function->memid, raw, 8, &count);
        for (UINT n = 1; n < count; ++n) {
            names[function->memid].push_back(QString::fromUtf16(raw[n]).toStdString());
        }
        for (UINT n = 0; n < count; ++n)
            SysFreeString(raw[n]);
        for (SHORT p = 0; p < function->cParams; ++p)
            flags[function->memid].push_back(function->lprgelemdescParam[p].paramdesc.wParamFlags);
        info->ReleaseFuncDesc(function);
    }
    info->Release();
    EXPECT_EQ(names[11], (std::vector<std::string>{"KeyModule", "PlanText", "Sign", "pVal"}));
    EXPECT_EQ(names[13], (std::vector<std::string>{"plainText", "publicKey", "pVal"}));
    EXPECT_EQ(names[14], (std::vector<std::string>{"cryptText", "pVal"}));
    EXPECT_EQ(names[6], (std::vector<std::string>{"Len", "pVal"}));
    const USHORT result = PARAMFLAG_FOUT | PARAMFLAG_FRETVAL;
    EXPECT_EQ(flags[13], (std::vector<USHORT>{PARAMFLAG_FIN, PARAMFLAG_FIN, result}));
    EXPECT_EQ(flags[14], (std::vector<USHORT>{PARAMFLAG_FIN, result}));
    EXPECT_EQ(flags[11], (std::vector<USHORT>{0, 0, 0, result}));
    EXPECT_EQ(flags[3], (std::vector<USHORT>{0, result}));
}

TEST_F(Control32Test, ObjectSafetyOffersBothOptionsAndNoSiteInterface) {
    Control control = create();
    ASSERT_TRUE(control);
    IObjectSafety* safety = nullptr;
    ASSERT_EQ(control.dispatch()->QueryInterface(IID_IObjectSafety, reinterpret_cast<void**>(&safety)), S_OK);
    void* site = nullptr;
    EXPECT_EQ(control.dispatch()->QueryInterface(IID_IObjectWithSite, &site), E_NOINTERFACE);

    DWORD supported = 99, enabled = 99;
    EXPECT_EQ(safety->SetInterfaceSafetyOptions(IID_IDispatch, 4, 4), E_FAIL);
    EXPECT_EQ(safety->SetInterfaceSafetyOptions(IID_IDispatch, 3, 3), S_OK);
    EXPECT_EQ(safety->GetInterfaceSafetyOptions(IID_IDispatch, &supported, &enabled), S_OK);
    EXPECT_EQ(supported, 3u);
    EXPECT_EQ(enabled, 3u);
    EXPECT_EQ(safety->GetInterfaceSafetyOptions(IID_IObjectWithSite, &supported, &enabled), E_NOINTERFACE);
    EXPECT_EQ(supported, 0u);
    EXPECT_EQ(enabled, 0u);
    safety->Release();
}

TEST_F(Control32Test, OnlyIsOnlineWritesADebugLine) {
    tokenWith({singleIdentity()});
    DebugLines debug;
    Control control = create();
    ASSERT_TRUE(control);
    EXPECT_TRUE(DebugLines::lines().empty()) << DebugLines::lines().front();
    EXPECT_EQ(control.call("IsOnline").status(), 0);
    EXPECT_EQ(DebugLines::lines(), std::vector<std::string>{"OOOKKK"});
}

TEST_F(Control32Test, TypicalScriptGivesTheCertificateHashSignatureAndVerification) {
    const Identity identity = singleIdentity();
    tokenWith({identity});
    Control control = create();
    ASSERT_TRUE(control);
    EXPECT_FALSE(control.call("GetCertName").hasValue()); // nothing before the scan
    goOnlineAndChoose(control);

    EXPECT_EQ(control.call("GetCertName").text(), "Zhang San");
    EXPECT_EQ(control.call("GetCertSerial").text(), "1234AB");
    const std::string keyModule = control.call("GetKeyModule").text();
    EXPECT_EQ(keyModule, keyModuleOf(identity.key));
    EXPECT_EQ(control.call("GetCertContent").text(), certificateDerHex(identity.certificate));

    EXPECT_EQ(control.call("HashResult", {"abc"}).status(), 0);
    EXPECT_EQ(control.call("GetHash").text(), "900150983CD24FB0D6963F7D28E17F72");

    const CallResult signed_ = control.call("SignResult", {"hello"});
    EXPECT_EQ(signed_.hr, S_OK);
    EXPECT_EQ(signed_.status(), 0);
    const std::string signature = control.call("GetSignature").text();
    EXPECT_EQ(signature.size(), 256u);
    EXPECT_TRUE(control_host::opensslVerifies(identity.key, EVP_md5(), "hello", control_host::fromHex(signature)));
    EXPECT_EQ(control.call("VerifyResult", {keyModule.c_str(), "hello", signature.c_str()}).status(), 0);
    EXPECT_EQ(control.call("VerifyResult", {keyModule.c_str(), "hellO", signature.c_str()}).status(), 4);
    EXPECT_EQ(control.call("GenRandomNumber", {7}).text().size(), 6u);

    // The state is the module's: a second object sees the same choice.
    Control other = create();
    EXPECT_EQ(other.call("GetCertName").text(), "Zhang San");
}

// The choice dialog, answered by a script once it shows: pick `row` (or none) and press `button`.
void answerDialog(int row, int button) {
    QTimer::singleShot(0, [row, button] {
        for (QWidget* window : QApplication::topLevelWidgets()) {
            auto* dialog = qobject_cast<QDialog*>(window);
            if (dialog == nullptr || !dialog->isVisible() || dialog->objectName() != "201")
                continue;
            auto* list = dialog->findChild<QComboBox*>("202");
            ASSERT_NE(list, nullptr);
            EXPECT_EQ(dialog->windowTitle(), QString::fromUtf8("证书选择"));
            EXPECT_EQ(list->count(), 2);
            list->setCurrentIndex(row);
            auto* pressed = dialog->findChild<QPushButton*>(QString::number(button));
            ASSERT_NE(pressed, nullptr);
            pressed->click();
            return;
        }
        ADD_FAILURE() << "no certificate choice dialog";
    });
}

class ChoiceTest : public Control32Test {
protected:
    void SetUp() override {
        Control32Test::SetUp();
        if (QApplication::instance() == nullptr) {
            static int argc = 1;
            static char name[] = "control32_tests";
            static char* argv[] = {name, nullptr};
            new QApplication(argc, argv);
        }
        EVP_PKEY* secondKey = control_host::testKey(1024, 1);
        second_ = {"C32-0002", "Li Si", 7, secondKey, control_host::selfSignedCertificate("Li Si", secondKey, 7)};
        tokenWith({singleIdentity(), second_});
    }
    Identity second_;
};

TEST_F(ChoiceTest, TheSecondListEntryConfirmedIsTheChosenContainer) {
    Control control = create();
    ASSERT_EQ(control.call("IsOnline").status(), 0);
    answerDialog(1, kOkButton);
    EXPECT_EQ(control.call("SetCertResult").status(), 0);
    EXPECT_EQ(control.call("GetCertName").text(), "Li Si");
    const std::string keyModule = control.call("GetKeyModule").text();
    EXPECT_EQ(keyModule, keyModuleOf(second_.key));
    const std::string encrypted = control.call("CryptByPukey", {"to Li Si", keyModule.c_str()}).text();
    EXPECT_EQ(control.call("DecryByPrikey", {encrypted.c_str()}).text(), "to Li Si");
}

TEST_F(ChoiceTest, CancelReportsFourAndLeavesNoChosenCertificate) {
    Control control = create();
    ASSERT_EQ(control.call("IsOnline").status(), 0);
    answerDialog(1, kCancelButton);
    const CallResult scan = control.call("SetCertResult");
    EXPECT_EQ(scan.hr, S_FALSE);
    EXPECT_EQ(scan.status(), 4);
    EXPECT_FALSE(control.call("GetCertName").hasValue());
    EXPECT_FALSE(control.call("GetCertContent").hasValue());
    EXPECT_EQ(control.call("SignResult", {"x"}).status(), 3);
}

TEST_F(Control32Test, IsOnlineWithoutTheProviderReportsOneAndKeepsTheChoice) {
    tokenWith({singleIdentity()});
    Control control = create();
    goOnlineAndChoose(control);
    ASSERT_EQ(control_host::unregisterModule(CONTROL_HOST_MERIDIA_PROVIDER), S_OK);
    EXPECT_EQ(control.call("IsOnline").status(), 1);
    ASSERT_EQ(control_host::registerModule(CONTROL_HOST_MERIDIA_PROVIDER), S_OK);
    EXPECT_EQ(control.call("GetCertName").text(), "Zhang San");
}

} // namespace
} // namespace control32_test
