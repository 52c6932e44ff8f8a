#include "CertUiFixture.h"

#include "CertManagerFormView.h"
#include "ImportFlow.h"
#include "Pkcs12Import.h"

#include <QTreeWidget>

#include <cstdlib>

void CertUiTest::SetUp() {
    if (!std::filesystem::exists(MERIDIA_MODULE) || !std::filesystem::exists(TOKENCTL))
        GTEST_SKIP() << "the software token is not built";
    char pattern[] = "/tmp/certs-ui-XXXXXX";
    ASSERT_NE(mkdtemp(pattern), nullptr);
    root_ = pattern;
    ASSERT_TRUE(CreateTokenStore(root_));

    ASSERT_TRUE(real_.load(MERIDIA_MODULE));
    Intercept::current().bind(real_.functions());
    TokenLibrary::instance().bindTables(&Intercept::current().table, real_.auxFunctions());
    SlotManager::instance().setPollInterval(std::chrono::hours(24));
    ASSERT_TRUE(SlotManager::instance().initialize());
    ASSERT_NE(slot(), nullptr);
    const char pin[] = "1234";
    ASSERT_EQ(slot()->login(reinterpret_cast<const CK_UTF8CHAR*>(pin), 4), CKR_OK);
    scoped_ = std::make_unique<ScopedMessagePresenter>(presenter);
    ready_ = true;
}

void CertUiTest::TearDown() {
    scoped_.reset();
    if (!ready_ && root_.empty())
        return;
    SlotManager::instance().shutdown();
    TokenLibrary::instance().bindTables(nullptr, nullptr);
    real_.unload();
    unsetenv("MERIDIA_TOKEN_CONF");
    if (!root_.empty())
        std::filesystem::remove_all(root_);
}

SlotEntry* CertUiTest::slot() {
    return SlotManager::instance().findSlot(1);
}

CK_SESSION_HANDLE CertUiTest::session() {
    CK_SESSION_HANDLE handle = CK_INVALID_HANDLE;
    EXPECT_EQ(slot()->getSession(&handle), CKR_OK);
    return handle;
}

std::string CertUiTest::writePkcs12(const std::string& name, const std::string& cn,
                                    const std::string& password) {
    certs::EvpPkeyPtr key = fixtures::rsaKey(2048);
    certs::X509Ptr certificate = fixtures::selfSigned(cn, key.get());
    fixtures::Pkcs12Recipe recipe;
    recipe.password = password;
    std::string file = path(name);
    fixtures::writeFile(file, fixtures::makePkcs12(key.get(), certificate.get(), recipe));
    return file;
}

ImportResult CertUiTest::importPkcs12(const std::string& file, const std::string& password) {
    ContainerNameResult name = MakeContainerName(TokenLibrary::instance());
    EXPECT_EQ(name.rv, CKR_OK);
    ImportOutcome outcome = ImportPkcs12File(TokenLibrary::instance().functions(), session(), file,
                                             password, {}, name.name, UsageBoth, nullptr);
    return outcome.result;
}

std::vector<CK_OBJECT_HANDLE> CertUiTest::objects() {
    CK_SESSION_HANDLE s = session();
    std::vector<CK_OBJECT_HANDLE> found;
    EXPECT_EQ(realFns()->C_FindObjectsInit(s, nullptr, 0), CKR_OK);
    CK_OBJECT_HANDLE handle;
    CK_ULONG count = 0;
    while (realFns()->C_FindObjects(s, &handle, 1, &count) == CKR_OK && count == 1)
        found.push_back(handle);
    realFns()->C_FindObjectsFinal(s);
    return found;
}

Bytes CertUiTest::attribute(CK_OBJECT_HANDLE handle, CK_ATTRIBUTE_TYPE type) {
    Bytes value;
    EXPECT_EQ(ReadAttributeValue(realFns(), session(), handle, type, value), CKR_OK);
    return value;
}

std::unique_ptr<CCertManagerFormView> CertUiTest::makeView(bool loggedIn) {
    auto view = std::make_unique<CCertManagerFormView>();
    view->setNavigationQuery([loggedIn] { return std::optional<bool>(loggedIn); });
    view->resize(420, 325);
    view->show();
    view->refresh(1);
    return view;
}

QStringList CertUiTest::treeTexts(const CCertManagerFormView& view) {
    // "root" for a container, "  child" for an object under it.
    QStringList texts;
    QTreeWidget* tree = view.tree();
    for (int i = 0; i < tree->topLevelItemCount(); ++i) {
        QTreeWidgetItem* root = tree->topLevelItem(i);
        texts << root->text(0);
        for (int j = 0; j < root->childCount(); ++j)
            texts << QStringLiteral("  ") + root->child(j)->text(0);
    }
    return texts;
}
