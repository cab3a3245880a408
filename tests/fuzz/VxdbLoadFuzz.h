// Fuzz entry point of the catalogue loader: the bytes become a "VXDB.db",
// which is checked in memory, loaded, grown, saved and loaded again.
// Aborts when an invariant breaks.
#pragma once
#include <cstddef>
#include <cstdint>

int VxdbLoadFuzzOne(const uint8_t *data, size_t size);
