// Fuzz entry point of the text operations: the bytes (selector bytes and
// embedded zeros included) go through encoding detection, conversion to
// UTF-8 and back, in-place conversion, case folding and case-insensitive
// search, each into a buffer of exactly the size its contract promises.
// Aborts when an invariant breaks.
#pragma once
#include <cstddef>
#include <cstdint>

int TextFuzzOne(const uint8_t *data, size_t size);
