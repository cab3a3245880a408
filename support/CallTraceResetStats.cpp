#include "Kovlib.h"

/* Without a table, timing is simply not recorded. */
void CallTraceResetStats(void)
{
  if (!CallTraceInitialized)
    CallTraceInit();
  if (CallTraceStats)
    TAP_MemFree(CallTraceStats);
  dword size = CALLTRACE_STATS * sizeof(CallTraceStat);
  CallTraceStats = (CallTraceStat *)TAP_MemAlloc(size);
  if (CallTraceStats)
    TAP_MemSet(CallTraceStats, 0, size);
  CallTraceStatsEntries = 0;
}
