#include "TokenFixture.h"

#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <sys/wait.h>
#include <unistd.h>

namespace {

Intercept intercept;

std::vector<RecordedAttribute> record(CK_ATTRIBUTE_PTR attributes, CK_ULONG count) {
    std::vector<RecordedAttribute> copy;
    for (CK_ULONG i = 0; i < count; ++i) {
        const auto* bytes = static_cast<const unsigned char*>(attributes[i].pValue);
        copy.push_back({attributes[i].type, Bytes(bytes, bytes + attributes[i].ulValueLen)});
    }
    return copy;
}

CK_RV createObject(CK_SESSION_HANDLE session, CK_ATTRIBUTE_PTR attributes, CK_ULONG count,
                   CK_OBJECT_HANDLE_PTR handle) {
    auto copy = record(attributes, count);
    intercept.created.push_back(copy);
    if (intercept.onCreate)
        if (auto rv = intercept.onCreate(copy))
            return *rv;
    return intercept.real->C_CreateObject(session, attributes, count, handle);
}

CK_RV destroyObject(CK_SESSION_HANDLE session, CK_OBJECT_HANDLE handle) {
    intercept.destroyed.push_back(handle);
    if (intercept.onDestroy)
        if (auto rv = intercept.onDestroy(handle))
            return *rv;
    return intercept.real->C_DestroyObject(session, handle);
}

CK_RV getAttributeValue(CK_SESSION_HANDLE session, CK_OBJECT_HANDLE handle,
                        CK_ATTRIBUTE_PTR attributes, CK_ULONG count) {
    if (intercept.onGetAttribute)
        if (auto rv = intercept.onGetAttribute(handle, attributes, count))
            return *rv;
    return intercept.real->C_GetAttributeValue(session, handle, attributes, count);
}

CK_RV getSessionInfo(CK_SESSION_HANDLE session, CK_SESSION_INFO_PTR info) {
    if (intercept.sessionInfoResult)
        return *intercept.sessionInfoResult;
    return intercept.real->C_GetSessionInfo(session, info);
}

} // namespace

Intercept& Intercept::current() {
    return intercept;
}

void Intercept::bind(CK_FUNCTION_LIST* realTable) {
    *this = Intercept{};
    real = realTable;
    table = *realTable;
    table.C_CreateObject = createObject;
    table.C_DestroyObject = destroyObject;
    table.C_GetAttributeValue = getAttributeValue;
    table.C_GetSessionInfo = getSessionInfo;
}

bool RunTokenctl(const std::vector<std::string>& arguments) {
    pid_t pid = fork();
    if (pid == 0) {
        int null = open("/dev/null", O_WRONLY);
        dup2(null, 1);
        std::vector<char*> argv{const_cast<char*>(TOKENCTL)};
        for (const auto& argument : arguments)
            argv.push_back(const_cast<char*>(argument.c_str()));
        argv.push_back(nullptr);
        execv(TOKENCTL, argv.data());
        _exit(127);
    }
    int status = 0;
    waitpid(pid, &status, 0);
    return WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

::testing::AssertionResult CreateTokenStore(const std::filesystem::path& root,
                                            const std::string& extraConfig,
                                            const std::vector<std::string>& createArguments) {
    std::filesystem::create_directories(root / "store");
    std::ofstream(root / "token.conf")
        << "store_dir = " << (root / "store").string() << "\nslots = 1\npin_iterations = 1\n"
        << extraConfig;
    setenv("MERIDIA_TOKEN_CONF", (root / "token.conf").c_str(), 1);
    std::vector<std::string> create = {"create",   "t1",       "--label",    "Demo token",
                                       "--so-pin", "12345678", "--user-pin", "1234"};
    create.insert(create.end(), createArguments.begin(), createArguments.end());
    if (!RunTokenctl(create))
        return ::testing::AssertionFailure() << "tokenctl create failed";
    if (!RunTokenctl({"insert", "t1", "--slot", "1"}))
        return ::testing::AssertionFailure() << "tokenctl insert failed";
    return ::testing::AssertionSuccess();
}

void TokenTest::SetUp() {
    if (!std::filesystem::exists(MERIDIA_MODULE) || !std::filesystem::exists(TOKENCTL))
        GTEST_SKIP() << "the software token is not built";
    char pattern[] = "/tmp/certs-core-XXXXXX";
    ASSERT_NE(mkdtemp(pattern), nullptr);
    root_ = pattern;
    ASSERT_TRUE(CreateTokenStore(root_, extraConfig(), createArguments()));

    ASSERT_TRUE(library_.load(MERIDIA_MODULE));
    Intercept::current().bind(library_.functions());
    wrapped_.bindTables(&Intercept::current().table, library_.auxFunctions());
    slots_ = std::make_unique<SlotManager>(wrapped_);
    slots_->setPollInterval(std::chrono::hours(24));
    ASSERT_TRUE(slots_->initialize());
    ASSERT_NE(slot(), nullptr);
    ASSERT_TRUE(slot()->tokenPresent);
    const char pin[] = "1234";
    ASSERT_EQ(slot()->login(reinterpret_cast<const CK_UTF8CHAR*>(pin), 4), CKR_OK);
    ready_ = true;
}

void TokenTest::TearDown() {
    if (slots_)
        slots_->shutdown();
    slots_.reset();
    library_.unload();
    unsetenv("MERIDIA_TOKEN_CONF");
    if (!root_.empty())
        std::filesystem::remove_all(root_);
}

CK_SESSION_HANDLE TokenTest::session() {
    CK_SESSION_HANDLE handle = CK_INVALID_HANDLE;
    EXPECT_EQ(slot()->getSession(&handle), CKR_OK);
    return handle;
}

std::vector<CK_OBJECT_HANDLE> TokenTest::objects() {
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

Bytes TokenTest::attribute(CK_OBJECT_HANDLE handle, CK_ATTRIBUTE_TYPE type) {
    Bytes value;
    EXPECT_EQ(ReadAttributeValue(realFns(), session(), handle, type, value), CKR_OK)
        << "attribute 0x" << std::hex << type;
    return value;
}

CK_ULONG TokenTest::ulongAttribute(CK_OBJECT_HANDLE handle, CK_ATTRIBUTE_TYPE type) {
    Bytes value = attribute(handle, type);
    CK_ULONG number = 0;
    EXPECT_EQ(value.size(), sizeof number);
    if (value.size() == sizeof number)
        std::copy(value.begin(), value.end(), reinterpret_cast<unsigned char*>(&number));
    return number;
}

CK_OBJECT_CLASS TokenTest::objectClass(CK_OBJECT_HANDLE handle) {
    return ulongAttribute(handle, CKA_CLASS);
}

bool TokenTest::boolAttribute(CK_OBJECT_HANDLE handle, CK_ATTRIBUTE_TYPE type) {
    Bytes value = attribute(handle, type);
    EXPECT_EQ(value.size(), 1u);
    return !value.empty() && value[0] != 0;
}

CK_OBJECT_HANDLE TokenTest::putCertificate(X509* certificate,
                                           const std::optional<std::string>& container) {
    Bytes der = EncodeCertificateDer(certificate);
    CK_OBJECT_CLASS objectClass = CKO_CERTIFICATE;
    CK_CERTIFICATE_TYPE type = CKC_X_509;
    CK_BBOOL yes = CK_TRUE;
    unsigned char* subject = nullptr;
    int subjectLength = i2d_X509_NAME(X509_get_subject_name(certificate), &subject);
    std::vector<CK_ATTRIBUTE> attributes = {
        {CKA_CLASS, &objectClass, sizeof objectClass},
        {CKA_TOKEN, &yes, sizeof yes},
        {CKA_CERTIFICATE_TYPE, &type, sizeof type},
        {CKA_SUBJECT, subject, static_cast<CK_ULONG>(subjectLength)},
        {CKA_VALUE, der.data(), der.size()},
    };
    if (container)
        attributes.push_back(
            {CKA_CONTAINER_NAME, const_cast<char*>(container->c_str()), container->size() + 1});
    CK_OBJECT_HANDLE handle = CK_INVALID_HANDLE;
    EXPECT_EQ(realFns()->C_CreateObject(session(), attributes.data(), attributes.size(), &handle),
              CKR_OK);
    OPENSSL_free(subject);
    return handle;
}

CK_OBJECT_HANDLE TokenTest::putData(const std::string& label,
                                    const std::optional<std::string>& container) {
    CK_OBJECT_CLASS objectClass = CKO_DATA;
    CK_BBOOL yes = CK_TRUE;
    const char value[] = "payload";
    std::vector<CK_ATTRIBUTE> attributes = {
        {CKA_CLASS, &objectClass, sizeof objectClass},
        {CKA_TOKEN, &yes, sizeof yes},
        {CKA_LABEL, const_cast<char*>(label.c_str()), label.size()},
        {CKA_VALUE, const_cast<char*>(value), sizeof value - 1},
    };
    if (container)
        attributes.push_back(
            {CKA_CONTAINER_NAME, const_cast<char*>(container->c_str()), container->size() + 1});
    CK_OBJECT_HANDLE handle = CK_INVALID_HANDLE;
    EXPECT_EQ(realFns()->C_CreateObject(session(), attributes.data(), attributes.size(), &handle),
              CKR_OK);
    return handle;
}
