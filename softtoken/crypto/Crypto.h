#pragma once

// Pure OpenSSL building blocks of the software token: no database, no PKCS#11 state.
#include "softtoken/crypto/Mechanisms.h"
#include "softtoken/crypto/PinKeys.h"
#include "softtoken/crypto/Rsa.h"
#include "softtoken/crypto/Secure.h"
