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
    unsetenv("XDG_CONFIG_HOME");
}

} // namespace
