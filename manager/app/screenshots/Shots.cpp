#include "Shots.h"

#include "AboutDlg.h"
#include "CertExportDlg.h"
#include "CertFileImport.h"
#include "CertImportDlg.h"
#include "CertManagerFormView.h"
#include "CertViewerSource.h"
#include "SystemCertViewer.h"
#include "ChangeTokenNameDlg.h"
#include "InitTokenDlg.h"
#include "LeftTreeView.h"
#include "LoginDlg.h"
#include "MainFrame.h"
#include "ObjectInfoDlg.h"
#include "PaneView.h"
#include "PinDialogs.h"
#include "Pkcs12Import.h"
#include "SlotManager.h"
#include "TokenLibrary.h"

#include <openssl/x509v3.h>

#include <cstdio>
#include <memory>

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QLineEdit>
#include <QMenu>
#include <QTabWidget>
#include <QTableWidget>
#include <QTemporaryDir>
#include <QTreeWidget>
#include <QTreeWidgetItem>

namespace {

// The main window after the tree item has been selected, as a click would.
QPixmap mainWindowWith(CMainFrame& frame, QTreeWidgetItem* item, int expectedPane) {
    if (item == nullptr)
        return {};
    frame.tree()->selectItem(item);
    settle();
    if (frame.pane()->currentIndex() != expectedPane)
        return {};
    return frame.grab();
}

QTreeWidgetItem* firstTokenItem(CMainFrame& frame) {
    QTreeWidgetItem* root = frame.tree()->rootItem();
    for (int i = 0; root != nullptr && i < root->childCount(); ++i)
        if (root->child(i)->childCount() > 0)
            return root->child(i);
    return nullptr;
}

// The administration dialogs are shown for the first token's slot, so their
// labels carry that token's PIN bounds and name.
template <typename Dialog> QPixmap adminDialog(CMainFrame& frame) {
    TreeItemData* data = CLeftTreeView::itemData(firstTokenItem(frame));
    Dialog dialog(data != nullptr ? data->slotId : 0, &frame);
    return grabDialog(dialog);
}

// The certificate pictures show the demo token logged in, holding two key
// containers imported from PKCS#12 files made here and one expired
// certificate imported from a .cer file. They are removed again after the
// last certificate picture, so every language starts from the same token.
struct DemoName {
    const char* commonName;
    const char* organization;
};

X509_NAME* demoName(const DemoName& demo) {
    X509_NAME* name = X509_NAME_new();
    auto add = [name](const char* field, const char* value) {
        X509_NAME_add_entry_by_txt(name, field, MBSTRING_UTF8,
                                   reinterpret_cast<const unsigned char*>(value), -1, -1, 0);
    };
    add("C", "CN");
    add("O", demo.organization);
    add("CN", demo.commonName);
    return name;
}

certs::X509Ptr demoCertificate(const DemoName& subject, EVP_PKEY* key, X509* issuer,
                               EVP_PKEY* issuerKey, long serial, long fromDays, long toDays) {
    certs::X509Ptr certificate(X509_new());
    X509* x = certificate.get();
    X509_set_version(x, 2);
    ASN1_INTEGER_set(X509_get_serialNumber(x), serial);
    X509_gmtime_adj(X509_getm_notBefore(x), fromDays * 86400L);
    X509_gmtime_adj(X509_getm_notAfter(x), toDays * 86400L);
    X509_NAME* name = demoName(subject);
    X509_set_subject_name(x, name);
    X509_set_issuer_name(x, issuer != nullptr ? X509_get_subject_name(issuer) : name);
    X509_NAME_free(name);
    X509_set_pubkey(x, key);
    X509V3_CTX context;
    X509V3_set_ctx(&context, issuer != nullptr ? issuer : x, x, nullptr, nullptr, 0);
    const bool ca = issuer == nullptr;
    const std::pair<int, const char*> extensions[] = {
        {NID_basic_constraints, ca ? "critical,CA:TRUE" : "critical,CA:FALSE"},
        {NID_key_usage,
         ca ? "critical,keyCertSign,cRLSign" : "critical,digitalSignature,keyEncipherment"},
        {NID_subject_key_identifier, "hash"},
        {NID_ext_key_usage, ca ? nullptr : "clientAuth,emailProtection"},
    };
    for (const auto& [nid, value] : extensions) {
        if (value == nullptr)
            continue;
        if (X509_EXTENSION* extension = X509V3_EXT_conf_nid(nullptr, &context, nid, value)) {
            X509_add_ext(x, extension, -1);
            X509_EXTENSION_free(extension);
        }
    }
    X509_sign(x, issuerKey, EVP_sha256());
    return certificate;
}

bool writePkcs12(const std::string& path, const char* password, const char* friendlyName,
                 EVP_PKEY* key, X509* certificate) {
    certs::Pkcs12Ptr p12(
        PKCS12_create(password, friendlyName, key, certificate, nullptr, 0, 0, 0, 0, 0));
    std::FILE* file = p12 ? std::fopen(path.c_str(), "wb") : nullptr;
    if (file == nullptr)
        return false;
    bool written = i2d_PKCS12_fp(file, p12.get()) == 1;
    return std::fclose(file) == 0 && written;
}

QTreeWidgetItem* dataManagementItem(CMainFrame& frame) {
    QTreeWidgetItem* slot = firstTokenItem(frame);
    return slot != nullptr && slot->childCount() > 0 ? slot->child(0) : nullptr;
}

// The index of the certificate among the first container's children (the
// order follows the translated texts).
int certificateChild(const CCertManagerFormView& view, int root) {
    const ContainerNode& node = view.model().roots[static_cast<size_t>(root)];
    for (size_t i = 0; i < node.children.size(); ++i)
        if (node.children[i].record->objectClass == CKO_CERTIFICATE)
            return static_cast<int>(i);
    return 0;
}

// Logs in, imports the demo containers once, and shows the certificate view
// with its first container's certificate selected. Null when that fails.
CCertManagerFormView* demoCertificateView(CMainFrame& frame) {
    QTreeWidgetItem* item = dataManagementItem(frame);
    TreeItemData* data = CLeftTreeView::itemData(item);
    SlotEntry* slot = data != nullptr ? SlotManager::instance().findSlot(data->slotId) : nullptr;
    CK_FUNCTION_LIST* functions = TokenLibrary::instance().functions();
    if (slot == nullptr || functions == nullptr)
        return nullptr;
    if (!slot->loggedIn) {
        const char pin[] = "1234";
        if (slot->login(reinterpret_cast<const CK_UTF8CHAR*>(pin), 4) != CKR_OK)
            return nullptr;
    }
    CCertManagerFormView* view = frame.pane()->certManagerView();
    static bool imported = false;
    if (!imported) {
        imported = true;
        QTemporaryDir folder;
        CK_SESSION_HANDLE session = CK_INVALID_HANDLE;
        if (!folder.isValid() || slot->getSession(&session) != CKR_OK)
            return nullptr;
        certs::EvpPkeyPtr caKey(EVP_RSA_gen(2048));
        certs::X509Ptr ca = demoCertificate({"Demo Issuing CA", "Example Trust"}, caKey.get(),
                                            nullptr, caKey.get(), 1, -400, 3650);
        const DemoName people[] = {{"Alice Chen", "Example Ltd"}, {"Bob Li", "Example Ltd"}};
        long serial = 100;
        for (const DemoName& person : people) {
            certs::EvpPkeyPtr key(EVP_RSA_gen(2048));
            certs::X509Ptr certificate =
                demoCertificate(person, key.get(), ca.get(), caKey.get(), serial++, -30, 700);
            std::string path = (folder.path() + QStringLiteral("/demo.p12")).toStdString();
            ContainerNameResult name = MakeContainerName(TokenLibrary::instance());
            if (!writePkcs12(path, "demo", person.commonName, key.get(), certificate.get()) ||
                ImportPkcs12File(functions, session, path, "demo", {}, name.name, UsageBoth,
                                 nullptr)
                        .result != ImportResult::Success)
                return nullptr;
        }
        certs::EvpPkeyPtr oldKey(EVP_RSA_gen(2048));
        certs::X509Ptr old = demoCertificate({"Old Device", "Example Ltd"}, oldKey.get(), ca.get(),
                                             caKey.get(), serial, -800, -70);
        std::string cer = (folder.path() + QStringLiteral("/old.cer")).toStdString();
        Bytes der = EncodeCertificateDer(old.get());
        std::FILE* file = std::fopen(cer.c_str(), "wb");
        if (file == nullptr)
            return nullptr;
        std::fwrite(der.data(), 1, der.size(), file);
        std::fclose(file);
        ContainerNameResult name = MakeContainerName(TokenLibrary::instance());
        CCertFileImporter importer({}, nullptr);
        if (importer.import(functions, session, slot->tokenNumber(3), cer, name.name) !=
            ImportResult::Success)
            return nullptr;
        slot->refreshTokenInfo();
    }
    CLeftTreeView::itemData(item->parent())->loggedIn = 1;
    data->loggedIn = 1;
    frame.tree()->selectItem(item);
    settle();
    if (frame.pane()->currentIndex() != CPaneView::kCertManager || view->model().roots.empty())
        return nullptr;
    view->select(TreeSelection{0, certificateChild(*view, 0)});
    return view;
}

const TokenObjectInfo* demoRecord(CMainFrame& frame, CK_OBJECT_CLASS objectClass) {
    CCertManagerFormView* view = demoCertificateView(frame);
    if (view == nullptr)
        return nullptr;
    for (const ObjectNode& child : view->model().roots.front().children)
        if (child.record->objectClass == objectClass)
            return child.record;
    return nullptr;
}

// Removes what demoCertificateView imported and logs out again.
void removeDemoObjects(CMainFrame& frame) {
    CCertManagerFormView* view = frame.pane()->certManagerView();
    SlotEntry* slot = SlotManager::instance().findSlot(view->slotId());
    CK_FUNCTION_LIST* functions = TokenLibrary::instance().functions();
    CK_SESSION_HANDLE session = CK_INVALID_HANDLE;
    if (slot == nullptr || functions == nullptr || slot->getSession(&session) != CKR_OK)
        return;
    for (const ContainerNode& root : view->model().roots)
        for (const ObjectNode& child : root.children)
            functions->C_DestroyObject(session, child.record->handle);
    slot->logout();
    slot->refreshTokenInfo();
}

QPixmap certificateViewer(CMainFrame& frame, bool details) {
    const TokenObjectInfo* record = demoRecord(frame, CKO_CERTIFICATE);
    CertificateDetails description;
    if (record == nullptr || ReadCertificateForViewer(TokenLibrary::instance().functions(),
                                                      frame.pane()->certManagerView()->slotId(),
                                                      record->handle, description) != CKR_OK)
        return {};
    CCertViewerDlg viewer(description, &frame, ManagerViewerTexts());
    if (details) {
        viewer.tabs()->setCurrentIndex(1);
        QTreeWidget* fields = viewer.fieldList();
        if (fields->topLevelItemCount() > 10)
            fields->setCurrentItem(fields->topLevelItem(10));
    }
    QPixmap picture = grabDialog(viewer);
    if (details)
        removeDemoObjects(frame);
    return picture;
}

} // namespace

void settle(int milliseconds) {
    QElapsedTimer timer;
    timer.start();
    do {
        QCoreApplication::processEvents(QEventLoop::AllEvents, milliseconds);
    } while (timer.elapsed() < milliseconds);
}

QPixmap grabDialog(QWidget& dialog) {
    dialog.show();
    settle();
    QPixmap picture = dialog.grab();
    dialog.hide();
    return picture;
}

const std::vector<Shot>& shotTable() {
    static const std::vector<Shot> shots = {
        {"main-slots",
         [](CMainFrame& frame) {
             return mainWindowWith(frame, frame.tree()->rootItem(), CPaneView::kSlotInfo);
         }},
        {"main-token",
         [](CMainFrame& frame) {
             return mainWindowWith(frame, firstTokenItem(frame), CPaneView::kTokenInfo);
         }},
        {"main-certs",
         [](CMainFrame& frame) {
             QTreeWidgetItem* slot = firstTokenItem(frame);
             return mainWindowWith(frame, slot ? slot->child(0) : nullptr, CPaneView::kCertManager);
         }},
        {"menu-context",
         [](CMainFrame& frame) {
             std::unique_ptr<QMenu> menu = frame.tree()->createContextMenu(firstTokenItem(frame));
             if (!menu || menu->actions().isEmpty() || !menu->actions().first()->menu())
                 return QPixmap();
             QMenu* popup = menu->actions().first()->menu();
             popup->popup(frame.mapToGlobal(QPoint(60, 60)));
             settle();
             QPixmap picture = popup->grab();
             popup->close();
             return picture;
         }},
        {"about",
         [](CMainFrame& frame) {
             CAboutDlg about(&frame);
             return grabDialog(about);
         }},
        {"dialog-login", adminDialog<CLoginDlg>},
        {"dialog-change-user-pin", adminDialog<CChangeUserPinDlg>},
        {"dialog-unblock-token", adminDialog<CUnblockTokenDlg>},
        {"dialog-init-token", adminDialog<CInitTokenDlg>},
        {"dialog-change-so-pin", adminDialog<CChangeSoPinDlg>},
        {"dialog-change-token-name", adminDialog<CChangeTokenNameDlg>},
        {"main-certs-containers",
         [](CMainFrame& frame) {
             return demoCertificateView(frame) != nullptr ? frame.grab() : QPixmap();
         }},
        {"dialog-cert-import",
         [](CMainFrame& frame) {
             CCertManagerFormView* view = demoCertificateView(frame);
             if (view == nullptr)
                 return QPixmap();
             CCertImportDlg dialog(view->slotId(), view->model().knownCertificates, &frame);
             dialog.setPath(QDir::homePath() + QStringLiteral("/Documents/alice-chen.pfx"));
             if (auto* password = dialog.findChild<QLineEdit*>(QStringLiteral("passwordEdit")))
                 password->setText(QStringLiteral("password"));
             return grabDialog(dialog);
         }},
        {"dialog-cert-export",
         [](CMainFrame& frame) {
             const TokenObjectInfo* record = demoRecord(frame, CKO_CERTIFICATE);
             if (record == nullptr)
                 return QPixmap();
             CCertExportDlg dialog(frame.pane()->certManagerView()->slotId(), record->handle,
                                   &frame);
             dialog.setPath(QDir::homePath() + QStringLiteral("/Documents/alice-chen.cer"));
             return grabDialog(dialog);
         }},
        {"dialog-object-info",
         [](CMainFrame& frame) {
             const TokenObjectInfo* record = demoRecord(frame, CKO_CERTIFICATE);
             if (record == nullptr)
                 return QPixmap();
             CObjectInfoDlg dialog(frame.pane()->certManagerView()->slotId(), record, &frame);
             dialog.show();
             settle();
             // The certificate's value with its dump.
             dialog.attributeList()->selectRow(10);
             QPixmap picture = grabDialog(dialog);
             return picture;
         }},
        {"dialog-object-info-private-key",
         [](CMainFrame& frame) {
             const TokenObjectInfo* record = demoRecord(frame, CKO_PRIVATE_KEY);
             if (record == nullptr)
                 return QPixmap();
             CObjectInfoDlg dialog(frame.pane()->certManagerView()->slotId(), record, &frame);
             dialog.show();
             settle();
             dialog.attributeList()->selectRow(20); // CKA_MODULUS
             return grabDialog(dialog);
         }},
        {"dialog-cert-viewer", [](CMainFrame& frame) { return certificateViewer(frame, false); }},
        {"dialog-cert-viewer-details",
         [](CMainFrame& frame) { return certificateViewer(frame, true); }},
    };
    return shots;
}
