#include "softtoken/crypto/Crypto.h"
#include <gtest/gtest.h>
