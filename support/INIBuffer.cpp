#include "Kovlib.h"

/* The one open settings text of the process, and the size of its block. */
char *INIBuffer;
dword BufferSize;
