#include "InfoRows.h"
