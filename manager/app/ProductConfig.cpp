#include "ProductConfig.h"

// Both fixed GUIDs were chosen once for this edition; never change them, other
// installations and the single-instance lock name depend on them.
const ProductConfig productConfig = {
    {0xF7, 0x3A, 0xB4, 0x3B, 0xF6, 0xF4, 0x42, 0x5D, 0x83, 0x99, 0x79, 0xB2, 0x40, 0xA3, 0xE0,
     0x21},
    0x000008A1,
    {0x00, 0x01},
    {},
    "784ED2B3-7EFB-4256-BB8E-AEBA55A8CD15",
    "0EF3A67A-CD3A-4167-A99F-8205A220A567_HALVOR",
    "Vaultora Korvan2001 CSP for Meridia v1.0",
    "meridiaCsp11_2001.dll",
    {0x00, 0x00, 0x00, 0x00, 0x01},
    "Vaultora PKCS#11 Library.",
    "Halvor Technologies Co., Ltd.",
    "Halvor Technologies Co., Ltd.",
    "Vaultora USB Key",
    4,
    16,
    4,
    16,
    0,
    0,
    1,
    0x00000900,
    "Software\\Vaultora\\meridia_Korvan2001",
    "lang\\vtcsp_meridia",
    "lang\\vtcertd_meridia",
    "lang\\vtmgr_meridia",
    "vtcfg.ini",
};
