// The bytes the plug-in image reads through the C library's read(): the
// simulator exports its own read(), which comes first in the image's symbol
// lookup, so the image's calls pass through here on their way to the system.
#pragma once
#include <cstdint>

// Counts, from now on, the reads called from the image loaded as handle.
void ReadCountWatch(void *handle);
// Bytes those reads returned so far.
uint64_t ReadCountBytes();
// Whether an address lies in that image.
bool InImage(const void *address);
