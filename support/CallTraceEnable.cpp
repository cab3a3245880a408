#include "Kovlib.h"

/* Switches the console line of each procedure entry; the depth checks and
 * the statistics run either way. */
void CallTraceEnable(int Enabled)
{
  if (!CallTraceInitialized)
    CallTraceInit();
  CallTraceEnabled = Enabled;
}
