// The built modules driven by other PKCS#11 applications: OpenSC's pkcs11-tool
// and GnuTLS's p11tool. Each test has its own store and configuration, made
// with tokenctl; the peers reach them through MERIDIA_TOKEN_CONF / SKYRA_TOKEN_CONF.

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <vector>
#include <sys/wait.h>
#include <unistd.h>

namespace {

namespace fs = std::filesystem;

struct Result {
    int status = -1;
    std::string output; // stdout and stderr together
};

Result shell(const std::string& command) {
    Result result;
    FILE* pipe = ::popen((command + " 2>&1").c_str(), "r");
    if (!pipe)
        return result;
    char buf[4096];
    std::size_t n;
    while ((n = std::fread(buf, 1, sizeof buf, pipe)) > 0)
        result.output.append(buf, n);
    const int status = ::pclose(pipe);
    result.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    return result;
}

bool onPath(const std::string& program) {
    const char* path = std::getenv("PATH");
    std::stringstream dirs(path ? path : "/usr/bin:/bin");
    std::string dir;
    while (std::getline(dirs, dir, ':'))
        if (!dir.empty() && ::access((dir + "/" + program).c_str(), X_OK) == 0)
            return true;
    return false;
}

bool contains(const std::string& text, const std::string& part) {
    return text.find(part) != std::string::npos;
}

std::string readFile(const std::string& path) {
    std::ifstream in(path);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
}

constexpr const char* kUserPin = "1234";
constexpr const char* kSoPin = "12345678";
constexpr const char* kLabel = "Interop token";

class Interop : public ::testing::Test {
protected:
    void SetUp() override {
        char tmpl[] = "/tmp/softtoken-interop-XXXXXX";
        ASSERT_TRUE(::mkdtemp(tmpl));
        root_ = tmpl;
        conf_ = root_ + "/token.conf";
        std::ofstream(conf_) << "store_dir = " << root_
                             << "/store\nslots = 2\npin_iterations = 100\n";
        // Room for a few 2048-bit key pairs.
        const Result created =
            tokenctl("create interop --label '" + std::string(kLabel) + "' --so-pin " + kSoPin +
                     " --user-pin " + kUserPin + " --public-memory 64000 --private-memory 64000");
        ASSERT_EQ(created.status, 0) << created.output;
        const Result inserted = tokenctl("insert interop --slot 1");
        ASSERT_EQ(inserted.status, 0) << inserted.output;
    }
    void TearDown() override {
        std::error_code ec;
        fs::remove_all(root_, ec);
    }

    Result tokenctl(const std::string& args) const {
        return shell(std::string(TOKENCTL_PATH) + " --conf " + conf_ + " " + args);
    }
    // Runs a peer with both modules' configuration variables naming this test's file.
    Result peer(const std::string& command) const {
        std::string env = "MERIDIA_TOKEN_CONF=" + conf_ + " SKYRA_TOKEN_CONF=" + conf_ + " ";
        if (*PEER_PRELOAD) // sanitizer builds: the peers lack the module's runtime
            env += std::string("LD_PRELOAD=") + PEER_PRELOAD +
                   " ASAN_OPTIONS=detect_leaks=0:verify_asan_link_order=0 ";
        return shell("cd " + root_ + " && " + env + command);
    }
    Result pkcs11Tool(const std::string& args, const char* module = MERIDIA_MODULE_PATH) const {
        return peer(std::string("pkcs11-tool --module ") + module + " " + args);
    }
    Result p11tool(const std::string& args, const std::string& env = "") const {
        return peer(env + " p11tool --provider " + MERIDIA_MODULE_PATH + " " + args);
    }
    void generateKey(const std::string& label, const std::string& id) const {
        const Result r =
            pkcs11Tool(std::string("--login --pin ") + kUserPin +
                       " --keypairgen --key-type rsa:2048 --label " + label + " --id " + id);
        ASSERT_EQ(r.status, 0) << r.output;
        EXPECT_TRUE(contains(r.output, "Key pair generated")) << r.output;
    }

    std::string root_;
    std::string conf_;
};

#define REQUIRE_PEER(program)                                                                      \
    do {                                                                                           \
        if (!onPath(program))                                                                      \
            GTEST_SKIP() << program << " is not installed";                                        \
    } while (0)

TEST_F(Interop, PkcsToolListsSlotsNumberedFromOne) {
    REQUIRE_PEER("pkcs11-tool");
    const Result r = pkcs11Tool("--list-slots");
    ASSERT_EQ(r.status, 0) << r.output;
    // pkcs11-tool prints its own index, then the slot id in hex.
    EXPECT_TRUE(contains(r.output, "(0x1): Virtual USB Token Reader 1")) << r.output;
    EXPECT_TRUE(contains(r.output, "(0x2): Virtual USB Token Reader 2")) << r.output;
    EXPECT_FALSE(contains(r.output, "(0x0)")) << r.output;
    EXPECT_TRUE(contains(r.output, std::string("token label        : ") + kLabel)) << r.output;
    EXPECT_TRUE(contains(r.output, "(empty)")) << r.output;

    // The skyra build reads its own variable and reports the same store.
    const Result skyra = pkcs11Tool("--list-slots", SKYRA_MODULE_PATH);
    ASSERT_EQ(skyra.status, 0) << skyra.output;
    EXPECT_TRUE(contains(skyra.output, kLabel)) << skyra.output;
}

TEST_F(Interop, PkcsToolLoginGeneratesSignsAndVerifies) {
    REQUIRE_PEER("pkcs11-tool");
    const Result bad = pkcs11Tool("--login --pin 9999 --list-objects");
    EXPECT_NE(bad.status, 0) << bad.output;
    EXPECT_TRUE(contains(bad.output, "CKR_PIN_INCORRECT")) << bad.output;

    generateKey("signer", "a1");
    const Result pub = pkcs11Tool("--list-objects");
    ASSERT_EQ(pub.status, 0) << pub.output;
    EXPECT_TRUE(contains(pub.output, "Public Key Object; RSA 2048 bits")) << pub.output;
    EXPECT_FALSE(contains(pub.output, "Private Key Object")) << "private key shown before login\n"
                                                             << pub.output;
    const Result all = pkcs11Tool(std::string("--login --pin ") + kUserPin + " --list-objects");
    ASSERT_EQ(all.status, 0) << all.output;
    EXPECT_TRUE(contains(all.output, "Private Key Object; RSA")) << all.output;
    EXPECT_TRUE(contains(all.output, "label:      signer")) << all.output;
    EXPECT_TRUE(contains(all.output, "sensitive")) << all.output;

    std::ofstream(root_ + "/data.bin") << "to be signed by the software token\n";
    for (const char* mech : {"SHA256-RSA-PKCS", "MD5-RSA-PKCS"}) {
        SCOPED_TRACE(mech);
        const std::string m = std::string(" --mechanism ") + mech;
        const Result sign = pkcs11Tool(std::string("--login --pin ") + kUserPin +
                                       " --sign --id a1 -i data.bin -o data.sig" + m);
        ASSERT_EQ(sign.status, 0) << sign.output;
        EXPECT_EQ(fs::file_size(root_ + "/data.sig"), 256u);
        const Result verify =
            pkcs11Tool("--verify --id a1 -i data.bin --signature-file data.sig" + m);
        EXPECT_EQ(verify.status, 0) << verify.output;
        EXPECT_TRUE(contains(verify.output, "Signature is valid")) << verify.output;

        std::ofstream(root_ + "/other.bin") << "something else\n";
        const Result forged =
            pkcs11Tool("--verify --id a1 -i other.bin --signature-file data.sig" + m);
        // pkcs11-tool exits 0 here; it prints this for CKR_SIGNATURE_INVALID only.
        EXPECT_TRUE(contains(forged.output, "Invalid signature")) << forged.output;
        EXPECT_FALSE(contains(forged.output, "Signature is valid")) << forged.output;
    }

    // An independent check: OpenSSL verifies the token's signature with the exported key.
    const Result exported = pkcs11Tool("--read-object --type pubkey --id a1 -o pub.der");
    ASSERT_EQ(exported.status, 0) << exported.output;
    const Result sign = pkcs11Tool(std::string("--login --pin ") + kUserPin +
                                   " --sign --id a1 -i data.bin -o data.sig --mechanism "
                                   "SHA256-RSA-PKCS");
    ASSERT_EQ(sign.status, 0) << sign.output;
    const Result ossl = peer("openssl dgst -sha256 -verify pub.der -keyform DER -signature "
                             "data.sig data.bin");
    EXPECT_EQ(ossl.status, 0) << ossl.output;
    EXPECT_TRUE(contains(ossl.output, "Verified OK")) << ossl.output;
    const Result osslForged = peer("openssl dgst -sha256 -verify pub.der -keyform DER -signature "
                                   "data.sig other.bin");
    EXPECT_NE(osslForged.status, 0) << osslForged.output;
}

TEST_F(Interop, PkcsToolSelfTestFindsNoErrors) {
    REQUIRE_PEER("pkcs11-tool");
    generateKey("tested", "b2");
    const Result r = pkcs11Tool(std::string("--login --pin ") + kUserPin + " --test");
    EXPECT_EQ(r.status, 0) << r.output;
    EXPECT_TRUE(contains(r.output, "No errors")) << r.output;
    EXPECT_TRUE(contains(r.output, "all 4 digest functions seem to work")) << r.output;
    // The signature part runs only when the mechanisms look like the device's own.
    EXPECT_FALSE(contains(r.output, "Signatures: not implemented")) << r.output;
    for (const char* line :
         {"RSA-PKCS: OK", "SHA1-RSA-PKCS: OK", "MD5-RSA-PKCS: OK", "SHA256-RSA-PKCS: OK"})
        EXPECT_TRUE(contains(r.output, line)) << line << "\n" << r.output;
    // Decryption is tried with every OAEP set-up the token lists.
    EXPECT_TRUE(contains(r.output, "RSA-PKCS-OAEP")) << r.output;
    EXPECT_FALSE(contains(r.output, "ERR")) << r.output;
}

// A child that calls C_Initialize after fork() without C_Finalize gets a working module.
TEST_F(Interop, PkcsToolForkTestPasses) {
    REQUIRE_PEER("pkcs11-tool");
    const Result r = pkcs11Tool("--test-fork");
    EXPECT_EQ(r.status, 0) << r.output;
    EXPECT_FALSE(contains(r.output, "failed")) << r.output;
    EXPECT_FALSE(contains(r.output, "Aborting")) << r.output;
}

// PSS signatures made by the peers check out with OpenSSL and the exported public key.
TEST_F(Interop, PssSignaturesOfThePeersVerifyWithOpenSsl) {
    REQUIRE_PEER("pkcs11-tool");
    generateKey("pss", "d4");
    const Result exported = pkcs11Tool("--read-object --type pubkey --id d4 -o pub.der");
    ASSERT_EQ(exported.status, 0) << exported.output;
    std::ofstream(root_ + "/data.bin") << "signed with RSA-PSS\n";
    const struct {
        const char* mechanism;
        const char* digest;
        const char* salt;
    } cases[] = {{"SHA256-RSA-PKCS-PSS", "sha256", "32"},
                 {"SHA384-RSA-PKCS-PSS", "sha384", "48"},
                 {"SHA512-RSA-PKCS-PSS", "sha512", "64"}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.mechanism);
        const Result sign = pkcs11Tool(std::string("--login --pin ") + kUserPin +
                                       " --sign --id d4 -i data.bin -o data.sig --mechanism " +
                                       c.mechanism);
        ASSERT_EQ(sign.status, 0) << sign.output;
        const std::string openssl = std::string("openssl dgst -") + c.digest +
                                    " -verify pub.der -keyform DER -sigopt rsa_padding_mode:pss "
                                    "-sigopt rsa_pss_saltlen:" +
                                    c.salt + " -signature data.sig ";
        const Result ok = peer(openssl + "data.bin");
        EXPECT_EQ(ok.status, 0) << ok.output;
        EXPECT_TRUE(contains(ok.output, "Verified OK")) << ok.output;
    }

    if (!onPath("p11tool") || !onPath("certtool"))
        GTEST_SKIP() << "GnuTLS's p11tool and certtool are not installed";
    const std::string env = std::string("GNUTLS_PIN=") + kUserPin;
    const Result test = p11tool("--login --test-sign --sign-params RSA-PSS "
                                "'pkcs11:object=pss;type=private'",
                                env);
    EXPECT_EQ(test.status, 0) << test.output;
    EXPECT_TRUE(contains(test.output, "Signing using RSA-PSS-SHA256... ok")) << test.output;
    EXPECT_TRUE(contains(test.output, "Verifying against public key in the token... ok"))
        << test.output;
    // A certificate GnuTLS signs with the token's key under RSA-PSS, checked by OpenSSL.
    std::ofstream(root_ + "/cert.tmpl") << "cn = \"PSS interop\"\nca\ncert_signing_key\n"
                                           "expiration_days = 2\n";
    const Result cert = peer(env + " certtool --generate-self-signed --provider " +
                             MERIDIA_MODULE_PATH +
                             " --load-privkey 'pkcs11:object=pss;type=private' --sign-params "
                             "RSA-PSS --template cert.tmpl --outfile cert.pem");
    ASSERT_EQ(cert.status, 0) << cert.output;
    EXPECT_TRUE(contains(peer("openssl x509 -in cert.pem -noout -text").output, "rsassaPss"));
    const Result verified = peer("openssl verify -CAfile cert.pem cert.pem");
    EXPECT_EQ(verified.status, 0) << verified.output;
    EXPECT_TRUE(contains(verified.output, "cert.pem: OK")) << verified.output;
}

TEST_F(Interop, P11toolListsTokensAndObjects) {
    REQUIRE_PEER("p11tool");
    const Result tokens = p11tool("--list-tokens");
    ASSERT_EQ(tokens.status, 0) << tokens.output;
    EXPECT_TRUE(contains(tokens.output, "Label: Interop token")) << tokens.output;
    EXPECT_TRUE(contains(tokens.output, "token=Interop%20token")) << tokens.output;
    EXPECT_TRUE(contains(tokens.output, "Type: Hardware token")) << tokens.output;

    if (!onPath("pkcs11-tool"))
        GTEST_SKIP() << "pkcs11-tool is needed to make a key";
    generateKey("listed", "c3");
    const Result anonymous = p11tool("--list-all");
    ASSERT_EQ(anonymous.status, 0) << anonymous.output;
    EXPECT_TRUE(contains(anonymous.output, "Type: Public key (RSA-2048)")) << anonymous.output;
    EXPECT_FALSE(contains(anonymous.output, "Private key")) << anonymous.output;

    const Result all = p11tool("--login --list-all", std::string("GNUTLS_PIN=") + kUserPin);
    ASSERT_EQ(all.status, 0) << all.output;
    EXPECT_TRUE(contains(all.output, "Type: Private key (RSA-2048)")) << all.output;
    EXPECT_TRUE(contains(all.output, "object=listed;type=private")) << all.output;
    EXPECT_TRUE(contains(all.output, "CKA_SENSITIVE")) << all.output;

    const Result wrong = p11tool("--login --list-all", "GNUTLS_PIN=9999");
    EXPECT_NE(wrong.status, 0) << wrong.output;
    EXPECT_FALSE(contains(wrong.output, "Private key")) << wrong.output;
}

// The p11-kit module files name the installed module.
// One module file only: both modules open the same store, so a second file would list every
// token twice. It names the meridia library where it is installed and is not critical, so a
// user without a store does not stop p11-kit from offering the other modules.
TEST(P11KitModuleFile, OneNonCriticalFileForTheMeridiaModule) {
    std::vector<std::string> names;
    for (const auto& entry : fs::directory_iterator(P11KIT_FILES_DIR))
        names.push_back(entry.path().filename().string());
    ASSERT_EQ(names, std::vector<std::string>{"meridia-softtoken.module"});

    const std::string text = readFile(std::string(P11KIT_FILES_DIR) + "/meridia-softtoken.module");
    std::istringstream lines(text);
    std::string line;
    std::map<std::string, std::string> options;
    while (std::getline(lines, line)) {
        if (line.empty() || line[0] == '#')
            continue;
        const auto colon = line.find(": ");
        ASSERT_NE(colon, std::string::npos) << "unexpected line: " << line;
        ASSERT_TRUE(options.emplace(line.substr(0, colon), line.substr(colon + 2)).second)
            << "repeated option: " << line;
    }
    ASSERT_EQ(options.size(), 2u);
    EXPECT_EQ(options["critical"], "no");
    const fs::path installed(options["module"]);
    EXPECT_TRUE(installed.is_absolute()) << installed;
    EXPECT_EQ(installed.parent_path(), fs::path(MODULE_INSTALL_DIR));
    EXPECT_EQ(installed.filename(), fs::path(MERIDIA_MODULE_PATH).filename());
}

} // namespace
