// Threads of the plug-in's process.  The plug-in's entry points run on one
// with a small stack of its own, as on a recorder: a guard page below it,
// painted, so that the deepest use can be read after the run, and the
// kernel floor set on it alone.  The commands the plug-in starts run from
// another thread, outside the floor: a recorder's shell and mount tools
// are built for its kernel.
#pragma once
#include <cstddef>
#include <cstdint>
#include <pthread.h>
#include <semaphore.h>
#include <string>

class CallThread {
public:
  CallThread() = default;
  CallThread(const CallThread &) = delete;
  CallThread &operator=(const CallThread &) = delete;

  // stackBytes 0: the C library's default stack, not measured.  setup runs
  // first on the new thread; Start returns once it has.
  bool Start(size_t stackBytes, void (*setup)(void *), void *setupArg, std::string *err);

  // Runs fn(arg) on the thread and returns when it has returned.
  void Call(void (*fn)(void *), void *arg);
  template <class F> void Run(F &f)
  {
    Call([](void *p) { (*static_cast<F *>(p))(); }, &f);
  }

  // Paints the stack below the thread's frame again: only what runs after
  // counts towards Deepest (call between runs).
  void Repaint();
  // Bytes below the thread's own frame that the calls have used, and what
  // the stack offers there.
  size_t Deepest() const;
  size_t Usable() const { return top_ - base_; }

private:
  static void *Body(void *self);

  pthread_t thread_ = {};
  sem_t go_ = {}, done_ = {};
  void (*fn_)(void *) = nullptr;
  void *arg_ = nullptr;
  void (*setup_)(void *) = nullptr;
  void *setupArg_ = nullptr;
  uintptr_t base_ = 0, top_ = 0; // lowest usable byte; the thread's frame
};

// What a sanitized build multiplies the plug-in's stack by: its frames
// carry red zones.
#ifdef __SANITIZE_ADDRESS__
constexpr size_t kStackFactor = 4;
#else
constexpr size_t kStackFactor = 1;
#endif
