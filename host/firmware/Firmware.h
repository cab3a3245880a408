/* The recorder firmware's task table, as the simulator plays it (tapsim
 * loads it as a library of its own, so that a run can go without it). */
#ifndef VAULTRIX_FIRMWARE_H
#define VAULTRIX_FIRMWARE_H
#include "../../support/Kovlib.h"

#define FIRMWARE_TASKS 4
extern "C" FirmwareTask _tapTask[FIRMWARE_TASKS];
extern "C" dword _curTapTask;

/* Makes task `index` the running plug-in, its current folder the text at
 * `path` (a full path beginning "/mnt/hd", kept up to date by the runtime). */
extern "C" void FirmwareSetTask(dword index, char *path);
#endif
