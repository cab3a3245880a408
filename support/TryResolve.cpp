#include <dlfcn.h>

#include "Kovlib.h"

/* Mode 5 is RTLD_LAZY | RTLD_GLOBAL as the recorder's loader numbers them. */
void *TryResolve(const char *Name)
{
  void *handle = dlopen(NULL, RTLD_LAZY | RTLD_GLOBAL);
  if (!handle)
    return NULL;
  dlerror();
  void *address = dlsym(handle, Name);
  if (dlerror()) {
    dlclose(handle);
    return NULL;
  }
  dlclose(handle);
  return address;
}
