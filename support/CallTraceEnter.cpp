#include "Kovlib.h"

#define INDENT_MAX 100

/* ProcName must stay valid for the plug-in's life: the stack and the
 * statistics keep the pointer.  Frames beyond the depth limit are counted
 * but not stored, so their exits still pair up by depth. */
void CallTraceEnter(const char *ProcName)
{
  if (CallTraceDoNotReenter)
    return;
  CallTraceDoNotReenter = 1;
  if (!CallTraceInitialized)
    CallTraceInit();
  if (CallLevel >= CALLTRACE_DEPTH)
    LogEntryKovlibPrintf(1, "CallLevel Overflow! (TAPID 0x%8.8x)", (unsigned)__tap_ud__);
  if (ProcName) {
    if (CallTraceEnabled) {
      char *name;
      StrToISOAlloc(ProcName, &name);
      if (name) {
        int indent = 2 * CallLevel < INDENT_MAX ? 2 * CallLevel : INDENT_MAX;
        PrintNetFormat("%*s%s\n", indent, "", name);
        TAP_MemFree(name);
      }
    }
  }
  /* A nameless frame clears its slot, so its exit times nobody. */
  if (CallLevel < CALLTRACE_DEPTH) {
    CallTraceStack[CallLevel].ProcName = ProcName;
    CallTraceStack[CallLevel].StartTick = TAP_GetTick();
  }
  CallLevel++;
  CallTraceDoNotReenter = 0;
}
