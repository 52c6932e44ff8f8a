#include "bridge/policy/ProgIds.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <cstdlib>

namespace {

using bridge::policy::progIdListed;
using bridge::policy::progIdsFromConfig;

TEST(ProgIds, ConfigLinesAddValidNamesOnce) {
    std::vector<std::string> malformed;
    const auto list = progIdsFromConfig("# extra controls\n"
                                        "progid = Acme.Signer\r\n"
                                        "  ProgID=Acme.Signer.2  \n"
                                        "\n"
                                        "progid = acme.signer\n"
                                        "progid = Bad Name\n"
                                        "progid =\n"
                                        "clsid = {x}\n",
                                        &malformed);
    EXPECT_EQ(list, (std::vector<std::string>{"Acme.Signer", "Acme.Signer.2"}));
    EXPECT_EQ(malformed, (std::vector<std::string>{"progid = Bad Name", "progid =", "clsid = {x}"}));
    EXPECT_TRUE(progIdListed(list, "ACME.SIGNER.2"));
    EXPECT_FALSE(progIdListed(list, "Acme.Signer.3"));
}

TEST(ProgIds, BuiltInsComeFirstAndTheConfigFileIsOptional) {
    QTemporaryDir dir;
    ASSERT_TRUE(dir.isValid());
    setenv("XDG_CONFIG_HOME", dir.path().toLocal8Bit().constData(), 1);
    const std::vector<std::string> builtIn = {"QXMeridiaControl.SGN", "QXMeridiaControl.SGN.1",
                                              "MeridiaVaultora.MeridiaCtrl", "MeridiaVaultora.MeridiaCtrl.1"};
    EXPECT_EQ(bridge::policy::scriptableProgIds(), builtIn);

    ASSERT_TRUE(QDir(dir.path()).mkpath("korvanng"));
    QFile file(dir.path() + "/korvanng/bridge.conf");
    ASSERT_TRUE(file.open(QIODevice::WriteOnly));
    file.write("progid = qxmeridiacontrol.sgn\nprogid = Acme.Signer\n");
    file.close();
    auto expected = builtIn;
    expected.push_back("Acme.Signer");
    EXPECT_EQ(bridge::policy::scriptableProgIds(), expected);

    // An oversized file is read up to its last whole line within 64 KiB, and said so.
    ASSERT_TRUE(file.open(QIODevice::WriteOnly));
    file.write("progid = Acme.Early\n");
    file.write(QByteArray(70 * 1024, '#'));
    file.write("\nprogid = Acme.Late\n");
    file.close();
    std::vector<std::string> malformed;
    const auto cut = bridge::policy::scriptableProgIds(&malformed);
    EXPECT_TRUE(progIdListed(cut, "Acme.Early"));
    EXPECT_FALSE(progIdListed(cut, "Acme.Late"));
    EXPECT_EQ(malformed.size(), 1u);
    unsetenv("XDG_CONFIG_HOME");
}

TEST(ProgIds, TheMachinesFileComesBeforeTheUsersAndOtherSettingsAreNotMalformed) {
    QTemporaryDir dir;
    ASSERT_TRUE(dir.isValid());
    setenv("XDG_CONFIG_HOME", dir.path().toLocal8Bit().constData(), 1);
    ASSERT_TRUE(QDir(dir.path()).mkpath("korvanng"));
    QFile user(dir.path() + "/korvanng/bridge.conf");
    ASSERT_TRUE(user.open(QIODevice::WriteOnly));
    user.write("progid = Acme.User\nallow = https://bank.example\ntoken-env = SOFTHSM2_CONF\n");
    user.close();
    QFile machine(dir.path() + "/machine.conf");
    ASSERT_TRUE(machine.open(QIODevice::WriteOnly));
    machine.write("allow = https://tax.example\nprogid = Acme.Machine\nTOKEN-PATH = /var/lib/softhsm\nprogid = acme.user\n");
    machine.close();

    std::vector<std::string> malformed;
    const auto list = bridge::policy::scriptableProgIds(&malformed, machine.fileName().toStdString());
    ASSERT_GE(list.size(), 2u);
    EXPECT_EQ(list[list.size() - 2], "Acme.Machine");
    EXPECT_EQ(list.back(), "acme.user"); // named by both: once, as the machine wrote it
    EXPECT_TRUE(malformed.empty()) << malformed.front();
    unsetenv("XDG_CONFIG_HOME");
}

} // namespace
