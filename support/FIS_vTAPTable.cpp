#include "Kovlib.h"

static void *vTAP_TableAddress;

FirmwareTask *FIS_vTAPTable(void)
{
  if (!vTAP_TableAddress)
    vTAP_TableAddress = TryResolve("_tapTask");
  return (FirmwareTask *)vTAP_TableAddress;
}
