// The OLE headers an in-process server includes in one go.
#pragma once

#include <objbase.h>
#include <oleauto.h>
