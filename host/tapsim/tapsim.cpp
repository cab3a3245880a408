// Minimal loader; the full simulator replaces it.
#include <dlfcn.h>
#include <cstdio>
#include <cstring>
#include <string>
#include <unistd.h>
#include "../firmware/Firmware.h"
#include "../runtime/TapRuntime.h"

int main(int argc, char **argv)
{
  std::string disk, image;
  for (int i = 1; i < argc; i++) {
    if (!strcmp(argv[i], "--disk") && i + 1 < argc) disk = argv[++i];
    else image = argv[i];
  }
  char self[4096];
  ssize_t n = readlink("/proc/self/exe", self, sizeof self - 1);
  self[n > 0 ? n : 0] = 0;
  std::string dir(self);
  dir = dir.substr(0, dir.rfind('/'));
  void *rt = dlopen((dir + "/libtap.so").c_str(), RTLD_NOW | RTLD_GLOBAL);
  if (!rt) { fprintf(stderr, "tapsim: %s\n", dlerror()); return 2; }
  auto control = (TapRuntime * (*)()) dlsym(rt, "TapRuntimeControl");
  TapRuntime *r = control();
  r->diskRoot = disk;
  TapRuntimeSyncPath(r);
  FirmwareSetTask(0, r->firmwarePath);
  void *img = dlopen(image.c_str(), RTLD_NOW);
  if (!img) { fprintf(stderr, "tapsim: %s\n", dlerror()); return 2; }
  auto init = (int (*)(TapInitRecord *)) dlsym(img, "__TAP_Init_");
  TapInitRecord rec{};
  init(&rec);
  rec.Main();
  for (int i = 0; i < 100000 && !r->exited; i++) rec.EventHandler(0, 0);
  return r->exited ? 0 : 1;
}
