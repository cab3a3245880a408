#include "Kovlib.h"

/* Console lines of the log writers and the call trace are built here. */
char puffer[PUFFER_SIZE];
