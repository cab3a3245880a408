#include "Firmware.h"

extern "C" {
FirmwareTask _tapTask[FIRMWARE_TASKS];
dword _curTapTask;
}

static FirmwareDirRecord dirRecords[FIRMWARE_TASKS];

void FirmwareSetTask(dword index, char *path)
{
  dirRecords[index].Path = path;
  _tapTask[index].Dir = &dirRecords[index];
  _curTapTask = index;
}
