#include "PluginThread.h"

#include <algorithm>
#include <cerrno>
#include <climits>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <sys/mman.h>
#include <unistd.h>

#include "Common.h"
#include "Interpose.h"

namespace {

constexpr uint32_t kPaint = 0x5AA5C33Cu;
// What the painting function's own frame may take below its frame address.
constexpr uintptr_t kPaintMargin = 512;

uintptr_t gGuardLow, gGuardHigh; // the plug-in thread's guard page

#ifndef __SANITIZE_ADDRESS__
char gOverflowText[96];
int gOverflowLength;
ssize_t (*gRawWrite)(int, const void *, size_t);

// A fault in the guard page is a stack overflow: say so before the crash
// is reported (a sanitized build reports it itself).
void OnFault(int, siginfo_t *info, void *)
{
  uintptr_t at = (uintptr_t)info->si_addr;
  if (at >= gGuardLow && at < gGuardHigh && gRawWrite && gOverflowLength > 0)
    (void)!gRawWrite(STDERR_FILENO, gOverflowText, (size_t)gOverflowLength);
  // SA_RESETHAND has put the default back: the fault, repeated, ends the run.
}
#endif

void WatchForOverflow(size_t stackBytes)
{
#ifndef __SANITIZE_ADDRESS__
  gOverflowLength = snprintf(gOverflowText, sizeof gOverflowText,
                             "tapsim: the plug-in overflowed its %zu-byte stack\n", stackBytes);
  static char altStack[32 * 1024];
  stack_t ss = {};
  ss.ss_sp = altStack;
  ss.ss_size = sizeof altStack;
  if (sigaltstack(&ss, nullptr) != 0)
    return;
  gRawWrite = Real<ssize_t (*)(int, const void *, size_t)>("write");
  struct sigaction sa = {};
  sa.sa_sigaction = OnFault;
  sa.sa_flags = SA_SIGINFO | SA_ONSTACK | SA_RESETHAND;
  sigemptyset(&sa.sa_mask);
  sigaction(SIGSEGV, &sa, nullptr);
#else
  (void)stackBytes;
#endif
}

__attribute__((no_sanitize_address, noinline)) void PaintBelow(uintptr_t base)
{
  uintptr_t top = ((uintptr_t)__builtin_frame_address(0) - kPaintMargin) & ~(uintptr_t)3;
  for (volatile uint32_t *p = (volatile uint32_t *)base; (uintptr_t)p < top; p++)
    *p = kPaint;
}

} // namespace

bool CallThread::Start(size_t stackBytes, void (*setup)(void *), void *setupArg, std::string *err)
{
  setup_ = setup;
  setupArg_ = setupArg;
  if (sem_init(&go_, 0, 0) != 0 || sem_init(&done_, 0, 0) != 0)
    return SysError(err, "sem_init");
  pthread_attr_t attr;
  pthread_attr_init(&attr);
  if (stackBytes) {
    // The C library wants a larger stack than a recorder gives on some
    // targets (128 KiB on MIPS): the part below the size asked for is
    // made part of the guard.
    size_t page = (size_t)sysconf(_SC_PAGESIZE);
    size_t size = (stackBytes + page - 1) / page * page;
    size_t given = std::max(size, ((size_t)PTHREAD_STACK_MIN + page - 1) / page * page);
    void *map = mmap(nullptr, given + page, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS | MAP_STACK, -1, 0);
    if (map == MAP_FAILED)
      return SysError(err, "mmap of the plug-in's stack");
    gGuardLow = (uintptr_t)map;
    gGuardHigh = gGuardLow + page + (given - size);
    if (mprotect(map, gGuardHigh - gGuardLow, PROT_NONE) != 0)
      return SysError(err, "mprotect of the stack's guard");
    base_ = gGuardHigh;
    for (uint32_t *p = (uint32_t *)base_; (uintptr_t)p < base_ + size; p++)
      *p = kPaint;
    int rc = pthread_attr_setstack(&attr, (void *)(gGuardLow + page), given);
    if (rc != 0) {
      errno = rc;
      return SysError(err, "pthread_attr_setstack");
    }
  }
  int rc = pthread_create(&thread_, &attr, Body, this);
  pthread_attr_destroy(&attr);
  if (rc != 0) {
    errno = rc;
    return SysError(err, "pthread_create");
  }
  while (sem_wait(&done_) != 0 && errno == EINTR)
    ;
  return true;
}

void *CallThread::Body(void *self)
{
  auto *t = static_cast<CallThread *>(self);
  t->top_ = (uintptr_t)__builtin_frame_address(0);
  if (t->base_)
    WatchForOverflow(t->top_ - t->base_);
  if (t->setup_)
    t->setup_(t->setupArg_);
  sem_post(&t->done_);
  for (;;) {
    while (sem_wait(&t->go_) != 0 && errno == EINTR)
      ;
    t->fn_(t->arg_);
    sem_post(&t->done_);
  }
  return nullptr;
}

void CallThread::Call(void (*fn)(void *), void *arg)
{
  fn_ = fn;
  arg_ = arg;
  sem_post(&go_);
  while (sem_wait(&done_) != 0 && errno == EINTR)
    ;
}

void CallThread::Repaint()
{
  if (!base_)
    return;
  auto paint = [this] { PaintBelow(base_); };
  Run(paint);
}

__attribute__((no_sanitize_address)) size_t CallThread::Deepest() const
{
  if (!base_)
    return 0;
  const volatile uint32_t *p = (const volatile uint32_t *)base_;
  while ((uintptr_t)p < top_ && *p == kPaint)
    p++;
  return top_ - (uintptr_t)p;
}
