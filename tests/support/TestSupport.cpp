#include "TestSupport.h"

extern "C" const dword __tap_ud__ = 0x2A565854;
