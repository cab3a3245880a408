#include <string.h>

#include "Kovlib.h"

#if UINTPTR_MAX == 0xFFFFFFFFu
static_assert(sizeof(CallTraceStat) == 20, "a statistics entry is five words");
#endif

int CallTraceInitialized, CallTraceEnabled, CallTraceDoNotReenter, CallLevel;
CallTraceStackEntry CallTraceStack[CALLTRACE_DEPTH];
CallTraceStat *CallTraceStats;
int CallTraceStatsEntries;

void CallTraceInit(void)
{
  CallTraceInitialized = 1;
  CallTraceDoNotReenter = 0;
  CallLevel = 0;
  CallTraceEnabled = 1;
  CallTraceResetStats();
  memset(CallTraceStack, 0, sizeof CallTraceStack);
}
