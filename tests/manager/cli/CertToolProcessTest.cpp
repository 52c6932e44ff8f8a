// korvanng-tool's certificate commands as a separate process against the
// software token: imports of every file kind, the duplicate question, the
// container listing, export, delete, the inspector rows and bad usage.

#include "CertFixtures.h"
#include "ProcessRun.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include <unistd.h>

namespace fs = std::filesystem;

namespace {

using Result = ProcessResult;

bool contains(const std::string& text, const std::string& part) {
    return text.find(part) != std::string::npos;
}

std::vector<std::string> split(const std::string& text, char separator) {
    std::vector<std::string> parts;
    std::string part;
    std::istringstream in(text);
    while (std::getline(in, part, separator))
        parts.push_back(part);
    return parts;
}

struct Child {
    std::string kind;
    std::string handle;
    std::string validity;
};
struct Container {
    std::string text;
    std::string id;
    std::vector<Child> children;
};

// list-objects' output: container lines, then TAB-indented object lines.
std::vector<Container> parseListing(const std::string& out) {
    std::vector<Container> containers;
    for (const std::string& line : split(out, '\n')) {
        std::vector<std::string> cells = split(line, '\t');
        if (!line.empty() && line[0] != '\t') {
            containers.push_back({cells[0], cells.size() > 1 ? cells[1] : "", {}});
        } else if (!containers.empty() && cells.size() >= 3) {
            containers.back().children.push_back(
                {cells[1], cells[2], cells.size() > 3 ? cells[3] : ""});
        } else {
            ADD_FAILURE() << "unexpected line '" << line << "'";
        }
    }
    return containers;
}

const Child* findKind(const Container& container, const std::string& kind) {
    for (const Child& child : container.children)
        if (child.kind == kind)
            return &child;
    return nullptr;
}

// A copy of the tool beside the software token, a store with token "cli"
// (SO PIN 87654321, user PIN 1234) in slot 1, and fixture files.
class CertToolTest : public ::testing::Test {
protected:
    void SetUp() override {
        dir_ = fs::temp_directory_path() /
               ("korvan-cert-tool-" + std::to_string(::getpid()) + "-" +
                ::testing::UnitTest::GetInstance()->current_test_info()->name());
        fs::remove_all(dir_);
        fs::create_directories(dir_ / "bin");
        fs::create_directories(dir_ / "registry");
        fs::copy_file(KORVANNG_TOOL, dir_ / "bin" / "korvanng-tool");
        fs::create_symlink(MERIDIA_MODULE, dir_ / "bin" / "libmeridiaCsp11_2001.so");
        std::ofstream(dir_ / "token.conf")
            << "store_dir = " << (dir_ / "store").string() << "\npin_iterations = 1\n";
        environment_["KORVAN_REGISTRY_DIR"] = (dir_ / "registry").string();
        environment_["MERIDIA_TOKEN_CONF"] = (dir_ / "token.conf").string();
        environment_["LC_ALL"] = "C.UTF-8";
        ASSERT_EQ(run(TOKENCTL, {"create", "cli", "--label", "CLI token", "--pins-stdin"},
                      "87654321\n1234\n")
                      .exitCode,
                  0);
        ASSERT_EQ(run(TOKENCTL, {"insert", "cli", "--slot", "1"}).exitCode, 0);

        key_ = fixtures::rsaKey(2048);
        certificate_ = fixtures::selfSigned("Alice", key_.get());
        der_ = EncodeCertificateDer(certificate_.get());
        fixtures::writeFile(file("alice.p12"),
                            fixtures::makePkcs12(key_.get(), certificate_.get()));
    }
    void TearDown() override { fs::remove_all(dir_); }

    std::string file(const std::string& name) const { return (dir_ / name).string(); }

    Result run(const std::string& program, const std::vector<std::string>& arguments,
               const std::string& input = "") {
        return RunProcess(dir_, program, arguments, environment_, input);
    }
    Result tool(const std::vector<std::string>& arguments, const std::string& input = "") {
        return run((dir_ / "bin" / "korvanng-tool").string(), arguments, input);
    }
    // PIN 1234 and then the password on standard input.
    Result import(const std::string& path, const std::vector<std::string>& more = {},
                  const std::string& password = "secret") {
        std::vector<std::string> arguments{"import", "--slot",      "1",
                                           path,     "--pin-stdin", "--password-stdin"};
        arguments.insert(arguments.end(), more.begin(), more.end());
        return tool(arguments, "1234\n" + password + "\n");
    }
    std::vector<Container> listing(bool login = true) {
        Result listed =
            login ? tool({"list-objects", "--slot", "1", "--login", "--pin-stdin"}, "1234\n")
                  : tool({"list-objects", "--slot", "1"});
        EXPECT_EQ(listed.exitCode, 0) << listed.err;
        return parseListing(listed.out);
    }

    fs::path dir_;
    std::map<std::string, std::string> environment_;
    certs::EvpPkeyPtr key_;
    certs::X509Ptr certificate_;
    Bytes der_;
};

TEST_F(CertToolTest, Pkcs12ImportMakesOneContainerAndExportReturnsTheCertificate) {
    Result imported = import(file("alice.p12"));
    ASSERT_EQ(imported.exitCode, 0) << imported.err;
    EXPECT_EQ(imported.err, "");

    std::vector<Container> containers = listing();
    ASSERT_EQ(containers.size(), 1u);
    EXPECT_EQ(containers[0].text, "Alice's Alice ID");
    EXPECT_EQ(containers[0].id.size(), 36u) << containers[0].id;
    ASSERT_EQ(containers[0].children.size(), 3u);
    EXPECT_EQ(containers[0].children[0].kind, "Certificate");
    EXPECT_EQ(containers[0].children[0].validity, "valid");
    EXPECT_EQ(containers[0].children[1].kind, "PrivateKey");
    EXPECT_EQ(containers[0].children[2].kind, "PublicKey");
    // Without a login the private key is not shown.
    std::vector<Container> publicOnly = listing(false);
    ASSERT_EQ(publicOnly.size(), 1u);
    EXPECT_EQ(publicOnly[0].children.size(), 2u);

    Result byHandle = tool({"export", "--slot", "1", "--object", containers[0].children[0].handle,
                            "--out", file("out.cer")});
    ASSERT_EQ(byHandle.exitCode, 0) << byHandle.err;
    EXPECT_EQ(byHandle.err, "Export certificate successfully!\n");
    EXPECT_EQ(fixtures::readFile(file("out.cer")), der_);
    Result byContainer =
        tool({"export", "--slot", "1", "--container", containers[0].id, "--out", file("out2.cer")});
    ASSERT_EQ(byContainer.exitCode, 0) << byContainer.err;
    EXPECT_EQ(fixtures::readFile(file("out2.cer")), der_);
}

TEST_F(CertToolTest, ImportFailuresShowTheirMessageAndLeaveTheTokenEmpty) {
    Result wrong = import(file("alice.p12"), {}, "not-the-password");
    EXPECT_EQ(wrong.exitCode, 1);
    EXPECT_EQ(wrong.err, "Wrong password!\n");

    Result missing = import(file("absent.p12"));
    EXPECT_EQ(missing.exitCode, 3);
    EXPECT_EQ(missing.err, "File not found!\n");

    fixtures::writeFile(file("garbage.cer"), std::string("no certificate here\n"));
    Result garbage = tool({"import", "--slot", "1", file("garbage.cer"), "--pin-stdin"}, "1234\n");
    EXPECT_EQ(garbage.exitCode, 4);
    EXPECT_EQ(garbage.err, "Not supported certificate!\n");

    Result noPassword = tool(
        {"import", "--slot", "1", file("alice.p12"), "--pin-stdin", "--password-stdin"}, "1234\n");
    EXPECT_EQ(noPassword.exitCode, 6);
    EXPECT_EQ(noPassword.err, "A password is missing on standard input.\n");
    Result noTerminal = tool({"import", "--slot", "1", file("alice.p12"), "--pin-stdin"}, "1234\n");
    EXPECT_EQ(noTerminal.exitCode, 6);
    EXPECT_TRUE(contains(noTerminal.err, "--password-stdin")) << noTerminal.err;

    // None of the failures touched the token.
    EXPECT_TRUE(listing().empty());
    ASSERT_EQ(import(file("alice.p12")).exitCode, 0);
    Result badPin = tool(
        {"import", "--slot", "1", file("alice.p12"), "--pin-stdin", "--password-stdin", "--yes"},
        "9999\nsecret\n");
    EXPECT_EQ(badPin.exitCode, 5);
    EXPECT_EQ(badPin.err, "Wrong PIN.\n");
    EXPECT_EQ(listing().size(), 1u);
}

TEST_F(CertToolTest, DuplicateQuestionAnsweredByOptionOrTakenAsNo) {
    ASSERT_EQ(import(file("alice.p12")).exitCode, 0);
    fixtures::writeFile(file("alice.cer"), der_);

    for (const std::string& path : {file("alice.p12"), file("alice.cer")}) {
        Result declined = import(path, {"--no"});
        EXPECT_EQ(declined.exitCode, 0) << declined.err;
        EXPECT_EQ(declined.err, "The certificate already exists, continue?\n");
        Result unattended = import(path);
        EXPECT_EQ(unattended.exitCode, 0);
        EXPECT_EQ(unattended.err, "The certificate already exists, continue?\n"
                                  "No terminal to answer the question; taken as No.\n");
    }
    EXPECT_EQ(listing().size(), 1u);

    Result again = import(file("alice.p12"), {"--yes"});
    EXPECT_EQ(again.exitCode, 0) << again.err;
    Result againCer = import(file("alice.cer"), {"--yes"});
    EXPECT_EQ(againCer.exitCode, 0) << againCer.err;
    std::vector<Container> containers = listing();
    ASSERT_EQ(containers.size(), 3u);
    EXPECT_EQ(containers[1].children.size(), 3u);
    EXPECT_EQ(containers[2].children.size(), 1u);
}

TEST_F(CertToolTest, CertificateFilesAndBundlesUnderEveryName) {
    auto caKey = fixtures::rsaKey(2048, 1);
    std::vector<certs::X509Ptr> certificates;
    for (const char* name : {"Bob", "Carol", "Dave", "Erin", "Frank"})
        certificates.push_back(fixtures::selfSigned(name, caKey.get()));
    fixtures::writeFile(file("bob.der"), EncodeCertificateDer(certificates[0].get()));
    // Base64 without armour and with odd line lengths goes the text way.
    fixtures::writeFile(file("carol.pem"),
                        fixtures::base64(EncodeCertificateDer(certificates[1].get()), 50));
    fixtures::writeFile(file("dave.crt"), fixtures::pem(certificates[2].get()));
    fixtures::writeFile(
        file("bundle.p7b"),
        fixtures::makePkcs7({certificates[3].get(), certificates[4].get(), certificate_.get()}));
    fixtures::writeFile(file("empty.p7b"), fixtures::makePkcs7({}));

    for (const char* name : {"bob.der", "carol.pem", "dave.crt", "bundle.p7b"}) {
        Result imported = tool({"import", "--slot", "1", file(name), "--pin-stdin"}, "1234\n");
        EXPECT_EQ(imported.exitCode, 0) << name << ": " << imported.err;
    }
    Result empty = tool({"import", "--slot", "1", file("empty.p7b"), "--pin-stdin"}, "1234\n");
    EXPECT_NE(empty.exitCode, 0);
    EXPECT_FALSE(empty.err.empty());

    std::vector<Container> containers = listing();
    std::vector<std::string> texts;
    for (const Container& container : containers)
        texts.push_back(container.text);
    // The bundle's three certificates share one container.
    EXPECT_EQ(texts, (std::vector<std::string>{"Bob's Bob ID", "Carol's Carol ID", "Dave's Dave ID",
                                               "Erin's Erin ID"}));
    ASSERT_EQ(containers.size(), 4u);
    EXPECT_EQ(containers[3].children.size(), 3u);
}

TEST_F(CertToolTest, DeleteContainerAndSingleObject) {
    ASSERT_EQ(import(file("alice.p12")).exitCode, 0);
    ASSERT_EQ(import(file("alice.p12"), {"--yes"}).exitCode, 0);
    std::vector<Container> before = listing();
    ASSERT_EQ(before.size(), 2u);

    // Without --yes and without a terminal nothing goes.
    Result unconfirmed =
        tool({"delete", "--slot", "1", "--container", before[0].id, "--pin-stdin"}, "1234\n");
    EXPECT_EQ(unconfirmed.exitCode, 6);
    EXPECT_TRUE(contains(unconfirmed.err, "use --yes")) << unconfirmed.err;
    EXPECT_EQ(listing().size(), 2u);

    Result container = tool(
        {"delete", "--slot", "1", "--container", before[0].id, "--pin-stdin", "--yes"}, "1234\n");
    EXPECT_EQ(container.exitCode, 0) << container.err;
    EXPECT_TRUE(contains(container.err, "Are you sure to delete it?\nDelete data successfully!\n"))
        << container.err;
    std::vector<Container> afterContainer = listing();
    ASSERT_EQ(afterContainer.size(), 1u);
    EXPECT_EQ(afterContainer[0].id, before[1].id);

    const Child* privateKey = findKind(afterContainer[0], "PrivateKey");
    ASSERT_NE(privateKey, nullptr);
    Result object =
        tool({"delete", "--slot", "1", "--object", privateKey->handle, "--pin-stdin", "--yes"},
             "1234\n");
    EXPECT_EQ(object.exitCode, 0) << object.err;
    std::vector<Container> afterObject = listing();
    ASSERT_EQ(afterObject.size(), 1u);
    ASSERT_EQ(afterObject[0].children.size(), 2u);
    EXPECT_EQ(findKind(afterObject[0], "PrivateKey"), nullptr);

    Result unknown =
        tool({"delete", "--slot", "1", "--object", "0123456789AB", "--pin-stdin", "--yes"}, "1234\n");
    EXPECT_EQ(unknown.exitCode, 7);
    EXPECT_EQ(unknown.err, "No such object: 0123456789ab\n");
    Result unknownContainer =
        tool({"delete", "--slot", "1", "--container", "NOT-A-CONTAINER", "--pin-stdin", "--yes"},
             "1234\n");
    EXPECT_EQ(unknownContainer.exitCode, 7);
}

TEST_F(CertToolTest, HandlesNameTheSameObjectInEveryListingAndCommand) {
    ASSERT_EQ(import(file("alice.p12")).exitCode, 0);
    ASSERT_EQ(import(file("alice.p12"), {"--yes"}).exitCode, 0);
    std::vector<Container> plain = listing(false);
    std::vector<Container> loggedIn = listing(true);
    ASSERT_EQ(plain.size(), 2u);
    ASSERT_EQ(loggedIn.size(), 2u);
    for (size_t c = 0; c < plain.size(); ++c)
        for (const Child& child : plain[c].children) {
            const Child* same = findKind(loggedIn[c], child.kind);
            ASSERT_NE(same, nullptr) << child.kind;
            EXPECT_EQ(same->handle, child.handle) << child.kind;
        }

    // A handle from the plain listing, used by commands that log in first.
    const Child* publicKey = findKind(plain[1], "PublicKey");
    ASSERT_NE(publicKey, nullptr);
    Result inspected = tool(
        {"inspect", "--slot", "1", "--object", publicKey->handle, "--login", "--pin-stdin"}, "1234\n");
    ASSERT_EQ(inspected.exitCode, 0) << inspected.err;
    EXPECT_EQ(inspected.out.substr(0, inspected.out.find('\n')), "Public Key");
    Result deleted = tool(
        {"delete", "--slot", "1", "--object", publicKey->handle, "--pin-stdin", "--yes"}, "1234\n");
    ASSERT_EQ(deleted.exitCode, 0) << deleted.err;
    std::vector<Container> after = listing(true);
    ASSERT_EQ(after.size(), 2u);
    EXPECT_EQ(after[0].children.size(), 3u);
    ASSERT_EQ(after[1].children.size(), 2u);
    EXPECT_EQ(findKind(after[1], "PublicKey"), nullptr);
    EXPECT_NE(findKind(after[1], "Certificate"), nullptr);
    EXPECT_NE(findKind(after[1], "PrivateKey"), nullptr);
}

TEST_F(CertToolTest, AHandleKeepsNamingItsObjectWhileOthersAreDeletedOrAdded) {
    ASSERT_EQ(import(file("alice.p12")).exitCode, 0);
    ASSERT_EQ(import(file("alice.p12"), {"--yes"}).exitCode, 0);
    std::vector<Container> first = listing();
    ASSERT_EQ(first.size(), 2u);
    const Child* certificateA = findKind(first[0], "Certificate");
    const Child* publicKeyA = findKind(first[0], "PublicKey");
    ASSERT_NE(certificateA, nullptr);
    ASSERT_NE(publicKeyA, nullptr);
    auto handlesOf = [](const std::vector<Container>& containers) {
        std::map<std::string, std::string> handles; // handle -> container id and kind
        for (const Container& container : containers)
            for (const Child& child : container.children)
                handles[child.handle] = container.id + "/" + child.kind;
        return handles;
    };
    std::map<std::string, std::string> before = handlesOf(first);
    ASSERT_EQ(before.size(), 6u) << "two objects share a handle";

    // One delete, then a handle from the listing before it.
    Result one = tool({"delete", "--slot", "1", "--object", certificateA->handle, "--pin-stdin",
                       "--yes"},
                      "1234\n");
    ASSERT_EQ(one.exitCode, 0) << one.err;
    Result two = tool(
        {"delete", "--slot", "1", "--object", publicKeyA->handle, "--pin-stdin", "--yes"}, "1234\n");
    ASSERT_EQ(two.exitCode, 0) << two.err;
    std::vector<Container> after = listing();
    ASSERT_EQ(after.size(), 2u);
    std::map<std::string, std::string> remaining = handlesOf(after);
    before.erase(certificateA->handle);
    before.erase(publicKeyA->handle);
    EXPECT_EQ(remaining, before) << "the other container lost an object or a handle moved";

    // Objects added later leave the earlier handles as they were; a handle
    // of a deleted object names nothing.
    ASSERT_EQ(import(file("alice.p12"), {"--yes"}).exitCode, 0);
    std::map<std::string, std::string> grown = handlesOf(listing(true));
    for (const auto& [handle, what] : before)
        EXPECT_EQ(grown[handle], what) << handle;
    Result gone = tool(
        {"inspect", "--slot", "1", "--object", publicKeyA->handle, "--login", "--pin-stdin"}, "1234\n");
    EXPECT_EQ(gone.exitCode, 7);
    EXPECT_EQ(gone.err, "No such object: " + publicKeyA->handle + "\n");
}

TEST_F(CertToolTest, HandlesDoNotDependOnTheModulesNumbering) {
    ASSERT_EQ(import(file("alice.p12")).exitCode, 0);
    std::vector<Container> before = listing(true);
    // From here on the module hands out other handles once logged in.
    fs::remove(dir_ / "bin" / "libmeridiaCsp11_2001.so");
    fs::create_symlink(HANDLES_SHIFT_MODULE, dir_ / "bin" / "libmeridiaCsp11_2001.so");
    environment_["SHIFTED_INNER_MODULE"] = MERIDIA_MODULE;
    std::vector<Container> plain = listing(false);
    ASSERT_EQ(plain.size(), 1u);
    const Child* publicKey = findKind(plain[0], "PublicKey");
    ASSERT_NE(publicKey, nullptr);
    EXPECT_EQ(findKind(before[0], "PublicKey")->handle, publicKey->handle);

    Result inspected = tool(
        {"inspect", "--slot", "1", "--object", publicKey->handle, "--login", "--pin-stdin"}, "1234\n");
    ASSERT_EQ(inspected.exitCode, 0) << inspected.err;
    EXPECT_EQ(inspected.out.substr(0, inspected.out.find('\n')), "Public Key");
    Result deleted = tool(
        {"delete", "--slot", "1", "--object", publicKey->handle, "--pin-stdin", "--yes"}, "1234\n");
    ASSERT_EQ(deleted.exitCode, 0) << deleted.err;
    std::vector<Container> after = listing(true);
    ASSERT_EQ(after.size(), 1u);
    ASSERT_EQ(after[0].children.size(), 2u);
    EXPECT_EQ(findKind(after[0], "PublicKey"), nullptr);
}

TEST_F(CertToolTest, InspectShowsRowsAndDumpsWithoutSecrets) {
    ASSERT_EQ(import(file("alice.p12")).exitCode, 0);
    std::vector<Container> containers = listing();
    ASSERT_EQ(containers.size(), 1u);
    const Child* certificate = findKind(containers[0], "Certificate");
    const Child* privateKey = findKind(containers[0], "PrivateKey");
    ASSERT_NE(certificate, nullptr);
    ASSERT_NE(privateKey, nullptr);

    Result cert = tool({"inspect", "--slot", "1", "--object", certificate->handle});
    ASSERT_EQ(cert.exitCode, 0) << cert.err;
    std::vector<std::string> lines = split(cert.out, '\n');
    ASSERT_GE(lines.size(), 3u);
    EXPECT_EQ(lines[0], "Certificate");
    EXPECT_EQ(lines[1], "CKA_CLASS\t0x00000000\tCKO_CERTIFICATE"); // the decoded value
    EXPECT_EQ(lines[2], "    01 00 00 00 00 00 00 00                           |  ........");
    EXPECT_TRUE(contains(cert.out, "CKA_TOKEN\t0x00000001\tTRUE\n")) << cert.out;
    EXPECT_TRUE(contains(cert.out, "CKA_CONTAINER_NAME\t0x")) << cert.out;
    // The value's dump begins with the certificate's first 16 DER bytes.
    char first[64];
    std::snprintf(first, sizeof first, "%02X %02X %02X %02X", der_[0], der_[1], der_[2], der_[3]);
    size_t value = cert.out.find("CKA_VALUE\t");
    ASSERT_NE(value, std::string::npos);
    EXPECT_EQ(cert.out.find(std::string("    ") + first, value), cert.out.find('\n', value) + 1);

    Result key =
        tool({"inspect", "--slot", "1", "--object", privateKey->handle, "--login", "--pin-stdin"},
             "1234\n");
    ASSERT_EQ(key.exitCode, 0) << key.err;
    EXPECT_EQ(split(key.out, '\n')[0], "Private Key");
    EXPECT_TRUE(contains(key.out, "CKA_SENSITIVE\t0x00000103\tTRUE\n")) << key.out;
    EXPECT_TRUE(contains(key.out, "CKA_MODULUS\t")) << key.out;
    EXPECT_FALSE(contains(key.out, "PRIVATE_EXPONENT")) << key.out;
    EXPECT_FALSE(contains(key.out, "CKA_PRIME")) << key.out;

    // Logged out, the private key is out of reach.
    Result loggedOut = tool({"inspect", "--slot", "1", "--object", privateKey->handle});
    EXPECT_FALSE(contains(loggedOut.out, "Private Key")) << loggedOut.out;
}

TEST_F(CertToolTest, ExportRefusesWhatIsNoCertificate) {
    ASSERT_EQ(import(file("alice.p12")).exitCode, 0);
    std::vector<Container> containers = listing(false);
    ASSERT_EQ(containers.size(), 1u);
    const Child* publicKey = findKind(containers[0], "PublicKey");
    ASSERT_NE(publicKey, nullptr);
    Result notCertificate =
        tool({"export", "--slot", "1", "--object", publicKey->handle, "--out", file("x.cer")});
    EXPECT_EQ(notCertificate.exitCode, 7);
    EXPECT_EQ(notCertificate.err, "The object is not a certificate: " + publicKey->handle + "\n");
    EXPECT_FALSE(fs::exists(file("x.cer")));

    const Child* certificate = findKind(containers[0], "Certificate");
    ASSERT_NE(certificate, nullptr);
    Result unwritable = tool({"export", "--slot", "1", "--object", certificate->handle, "--out",
                              file("no-such-folder/x.cer")});
    EXPECT_EQ(unwritable.exitCode, 5);
    EXPECT_EQ(unwritable.err, "The certificate could not be exported.\n");
}

TEST_F(CertToolTest, BadUsageIsRefusedBeforeTheToken) {
    const std::vector<std::vector<std::string>> cases = {
        {"list-objects"},
        {"list-objects", "--slot", "x"},
        {"import", "--slot", "1"},
        {"import", "--slot", "1", "a.p12", "b.p12"},
        {"import", "--slot", "1", "a.p12", "--yes", "--no"},
        {"import", "--slot", "1", "a.p12", "--password", "secret"},
        {"export", "--slot", "1", "--object", "1"},
        {"export", "--slot", "1", "--out", "x.cer"},
        {"export", "--slot", "1", "--object", "1", "--container", "C", "--out", "x.cer"},
        {"delete", "--slot", "1"},
        {"delete", "--slot", "1", "--object", "-3"},
        {"delete", "--slot", "1", "--object", "4", "--yes"},
        {"delete", "--slot", "1", "--object", "1", "--no"},
        {"inspect", "--slot", "1"},
        {"inspect", "--slot", "1", "--object", "1", "--out", "x"},
    };
    for (const auto& arguments : cases) {
        Result refused = tool(arguments);
        EXPECT_EQ(refused.exitCode, 1) << arguments.back();
        EXPECT_TRUE(contains(refused.err, "Usage: korvanng-tool " + arguments[0])) << refused.err;
    }
    Result secret = tool({"import", "--slot", "1", "a.p12", "--password=secret"});
    EXPECT_TRUE(contains(secret.err, "not taken from the command line")) << secret.err;

    Result slot = tool({"list-objects", "--slot", "9"});
    EXPECT_EQ(slot.exitCode, 4);
    EXPECT_EQ(slot.err, "No such slot: 9\n");
}

} // namespace
