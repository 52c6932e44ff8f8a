#pragma once

#include <p11-kit/pkcs11.h>

#include <string>

// "1.05" for 1.5, "1.12" for 1.12: the minor number gets a leading zero below 10.
std::string versionText(CK_VERSION version);
