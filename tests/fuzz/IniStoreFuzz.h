// Fuzz entry point of the settings-file store: the bytes become a settings
// file, which is opened, read, changed, saved and read back.  Aborts when an
// invariant breaks.  The first call enters the recorder's mount namespace.
#pragma once
#include <cstddef>
#include <cstdint>

int IniStoreFuzzOne(const uint8_t *data, size_t size);
