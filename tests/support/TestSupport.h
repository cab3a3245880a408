#pragma once
#include "TestConfig.h"
#include "support/Kovlib.h"
