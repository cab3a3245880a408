#include "Kovlib.h"

#define INDENT_MAX 100

static void Record(const char *ProcName, dword Duration)
{
  int i = 0;
  while (i < CallTraceStatsEntries && CallTraceStats[i].ProcName != ProcName)
    i++;
  if (i >= CALLTRACE_STATS)
    return;
  CallTraceStat *s = &CallTraceStats[i];
  if (i == CallTraceStatsEntries) {
    s->ProcName = ProcName;
    s->MinTicks = s->MaxTicks = s->TotalTicks = Duration;
    s->Calls = 1;
    CallTraceStatsEntries++;
    return;
  }
  if (Duration < s->MinTicks)
    s->MinTicks = Duration;
  if (Duration > s->MaxTicks)
    s->MaxTicks = Duration;
  s->TotalTicks += Duration;
  if (s->Calls != 0xFFFFFFFFu)
    s->Calls++;
}

/* Frames are matched by depth, not by name.  CheckWord, when given, is a
 * caller's guard word that must hold the magic value. */
void CallTraceExit(dword *CheckWord)
{
  if (CallTraceDoNotReenter)
    return;
  CallTraceDoNotReenter = 1;
  /* Read first, so the trace's own work is not timed. */
  dword end = TAP_GetTick();
  if (!CallTraceInitialized)
    CallTraceInit();
  if (CallLevel == 0) {
    LogEntryKovlibPrintf(1, "CallLevel Underflow! (TAPID 0x%8.8x)", (unsigned)__tap_ud__);
  } else {
    CallLevel--;
    if (CallTraceStats && CallLevel < CALLTRACE_DEPTH && CallTraceStack[CallLevel].ProcName)
      Record(CallTraceStack[CallLevel].ProcName, end - CallTraceStack[CallLevel].StartTick);
  }
  if (CheckWord && *CheckWord != CALLTRACE_MAGIC) {
    int indent = 2 * CallLevel < INDENT_MAX ? 2 * CallLevel : INDENT_MAX;
    PrintNetFormat("%*sINVALID MAGIC!\n", indent, "");
    *CheckWord = CALLTRACE_MAGIC;
  }
  CallTraceDoNotReenter = 0;
}
