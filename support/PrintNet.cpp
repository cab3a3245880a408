#include <fcntl.h>
#include <string.h>
#include <unistd.h>

#include "Kovlib.h"

#define CONSOLE_COUNT 20

const char *PrintNetDevicePrefix = "/dev/pts/";

/* The network console is the first pseudo-terminal that opens, that is the
 * terminal of the oldest remote login.  The terminating zero goes out too. */
void PrintNet(const char *Text)
{
  char device[256];

  if (!Text)
    return;
  size_t length = strlen(Text);
  for (int n = 0; n < CONSOLE_COUNT; n++) {
    if (StrFormat(device, sizeof device, "%s%d", PrintNetDevicePrefix, n) >= (int)sizeof device)
      return;
    int fd = open(device, O_RDWR);
    if (fd < 0)
      continue;
    (void)write(fd, Text, length + 1);
    close(fd);
    return;
  }
}
