#include "KernelFloor.h"

#include <cerrno>
#include <cstddef>
#include <cstring>
#include <dlfcn.h>
#include <link.h>
#include <linux/audit.h>
#include <linux/filter.h>
#include <linux/seccomp.h>
#include <map>
#include <mutex>
#include <sys/prctl.h>
#include <sys/syscall.h>
#include <vector>

#include "Common.h"
#include "Interpose.h"

namespace {

struct KernelCall {
  const char *name;
  long number;    // this build's number of the call
  uint32_t since; // the first version whose MIPS o32 table had it
};

#define CALL(name, a, b, c) {#name, SYS_##name, KernelVersion(a, b, c)},

// The versions are those of the recorder's architecture, MIPS o32, which
// got some calls later than the PC (accept4, for one).
const KernelCall kCalls[] = {
#ifdef SYS_statfs64
    CALL(statfs64, 2, 6, 0)
    CALL(fstatfs64, 2, 6, 0)
#endif
    CALL(clock_gettime, 2, 6, 0)
    CALL(clock_nanosleep, 2, 6, 0)
    CALL(waitid, 2, 6, 9)
    CALL(inotify_init, 2, 6, 13)
    CALL(inotify_add_watch, 2, 6, 13)
    CALL(openat, 2, 6, 16)
    CALL(mkdirat, 2, 6, 16)
    CALL(mknodat, 2, 6, 16)
    CALL(fchownat, 2, 6, 16)
    CALL(futimesat, 2, 6, 16)
#ifdef SYS_fstatat64
    CALL(fstatat64, 2, 6, 16)
#endif
#ifdef SYS_newfstatat
    CALL(newfstatat, 2, 6, 16)
#endif
    CALL(unlinkat, 2, 6, 16)
    CALL(renameat, 2, 6, 16)
    CALL(linkat, 2, 6, 16)
    CALL(symlinkat, 2, 6, 16)
    CALL(readlinkat, 2, 6, 16)
    CALL(fchmodat, 2, 6, 16)
    CALL(faccessat, 2, 6, 16)
    CALL(pselect6, 2, 6, 16)
    CALL(ppoll, 2, 6, 16)
    CALL(unshare, 2, 6, 16)
    CALL(splice, 2, 6, 17)
    CALL(sync_file_range, 2, 6, 17)
    CALL(tee, 2, 6, 17)
    CALL(vmsplice, 2, 6, 17)
    CALL(getcpu, 2, 6, 19)
    CALL(epoll_pwait, 2, 6, 19)
    CALL(utimensat, 2, 6, 22)
    CALL(signalfd, 2, 6, 22)
    CALL(eventfd, 2, 6, 22)
    CALL(fallocate, 2, 6, 23)
    CALL(timerfd_create, 2, 6, 25)
    CALL(signalfd4, 2, 6, 27)
    CALL(eventfd2, 2, 6, 27)
    CALL(epoll_create1, 2, 6, 27)
    CALL(dup3, 2, 6, 27)
    CALL(pipe2, 2, 6, 27)
    CALL(inotify_init1, 2, 6, 27)
    CALL(preadv, 2, 6, 30)
    CALL(pwritev, 2, 6, 30)
    CALL(accept4, 2, 6, 31)
    CALL(perf_event_open, 2, 6, 31)
    CALL(recvmmsg, 2, 6, 33)
    CALL(prlimit64, 2, 6, 36)
    CALL(fanotify_init, 2, 6, 37)
    CALL(name_to_handle_at, 2, 6, 39)
    CALL(open_by_handle_at, 2, 6, 39)
    CALL(syncfs, 2, 6, 39)
    CALL(sendmmsg, 3, 0, 0)
    CALL(setns, 3, 0, 0)
    CALL(process_vm_readv, 3, 2, 0)
    CALL(kcmp, 3, 5, 0)
    CALL(finit_module, 3, 8, 0)
    CALL(renameat2, 3, 15, 0)
    CALL(seccomp, 3, 17, 0)
    CALL(getrandom, 3, 17, 0)
    CALL(memfd_create, 3, 17, 0)
    CALL(execveat, 3, 19, 0)
    CALL(userfaultfd, 4, 3, 0)
    CALL(membarrier, 4, 3, 0)
    CALL(mlock2, 4, 4, 0)
    CALL(copy_file_range, 4, 5, 0)
    CALL(preadv2, 4, 6, 0)
    CALL(statx, 4, 11, 0)
#ifdef SYS_clock_gettime64
    CALL(clock_gettime64, 5, 1, 0)
#endif
#ifdef SYS_openat2
    CALL(openat2, 5, 6, 0)
#endif
#ifdef SYS_faccessat2
    CALL(faccessat2, 5, 8, 0)
#endif
#ifdef SYS_close_range
    CALL(close_range, 5, 9, 0)
#endif
};

#undef CALL

#if defined(__x86_64__)
constexpr uint32_t kAuditArch = AUDIT_ARCH_X86_64;
#elif defined(__mips__) && defined(__MIPSEL__)
constexpr uint32_t kAuditArch = AUDIT_ARCH_MIPSEL;
#elif defined(__aarch64__)
constexpr uint32_t kAuditArch = AUDIT_ARCH_AARCH64;
#else
constexpr uint32_t kAuditArch = 0;
#endif

constexpr uint32_t kIpLow = offsetof(struct seccomp_data, instruction_pointer) + (__BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__ ? 0 : 4);
constexpr uint32_t kIpHigh = offsetof(struct seccomp_data, instruction_pointer) + (__BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__ ? 4 : 0);

sock_filter Stmt(uint16_t code, uint32_t k) { return {code, 0, 0, k}; }
sock_filter Jump(uint16_t code, uint32_t k, uint8_t jt, uint8_t jf) { return {code, jt, jf, k}; }

// A call above the floor made anyway, with arguments that do nothing: the
// filter must turn it away.
bool FilterTakesEffect(uint32_t floor)
{
  static auto real = Real<long (*)(long, ...)>("syscall");
  errno = 0;
  if (KernelLacks(floor, SYS_openat))
    return real(SYS_openat, -1L, 0L, 0L, 0L) == -1 && errno == ENOSYS;
  if (KernelLacks(floor, SYS_syncfs))
    return real(SYS_syncfs, -1L) == -1 && errno == ENOSYS;
  if (KernelLacks(floor, SYS_statx))
    return real(SYS_statx, -1L, 0L, 0L, 0L, 0L) == -1 && errno == ENOSYS;
  return true;
}

std::mutex refusalsLock;
std::map<long, uint64_t> refusals;

} // namespace

void KernelFloorRefused(long number)
{
  std::lock_guard<std::mutex> hold(refusalsLock);
  refusals[number]++;
}

std::string KernelFloorRefusals()
{
  std::lock_guard<std::mutex> hold(refusalsLock);
  std::string text;
  for (const KernelCall &c : kCalls) {
    auto it = refusals.find(c.number);
    if (it != refusals.end())
      text += (text.empty() ? "" : ", ") + std::string(c.name) + " " + std::to_string(it->second);
  }
  return text;
}


bool ParseKernelVersion(const std::string &text, uint32_t *version)
{
  unsigned parts[3] = {0, 0, 0};
  size_t n = 0, i = 0;
  while (n < 3) {
    size_t start = i;
    unsigned v = 0;
    while (i < text.size() && text[i] >= '0' && text[i] <= '9' && v < 1000)
      v = v * 10 + (unsigned)(text[i++] - '0');
    if (i == start || v > 255)
      return false;
    parts[n++] = v;
    if (i == text.size())
      break;
    if (text[i++] != '.')
      return false;
  }
  if (n < 2 || i != text.size())
    return false;
  *version = KernelVersion(parts[0], parts[1], parts[2]);
  return *version >= kOldestKernel;
}

std::string KernelVersionText(uint32_t version)
{
  std::string text = std::to_string(version >> 16) + "." + std::to_string(version >> 8 & 255);
  if (version & 255)
    text += "." + std::to_string(version & 255);
  return text;
}

bool KernelLacks(uint32_t floor, long number)
{
  if (floor == kNoKernelFloor)
    return false;
  for (const KernelCall &c : kCalls)
    if (c.number == number)
      return c.since > floor;
  return false;
}

bool InstallKernelFloor(uint32_t floor, std::string *err)
{
  if (!kAuditArch) {
    *err = "no seccomp architecture known for this build";
    return false;
  }
  // The calls of the C library's syscall() are those whose instruction
  // pointer lies in that function.
  void *entry = reinterpret_cast<void *>(Real<long (*)(long, ...)>("syscall"));
  Dl_info info;
  void *symbol = nullptr;
  if (!entry || !dladdr1(entry, &info, &symbol, RTLD_DL_SYMENT)) {
    *err = "cannot find the C library's syscall()";
    return false;
  }
  auto *sym = static_cast<const ElfW(Sym) *>(symbol);
  uint64_t from = (uintptr_t)entry, to = from + (sym && sym->st_size ? sym->st_size : 64);
  if (from >> 32 != to >> 32) {
    *err = "the C library's syscall() straddles a 4 GiB boundary";
    return false;
  }

  // Jumps are relative: each call's test is pointed at the check of the
  // instruction pointer once its place is known.
  std::vector<sock_filter> prog;
  prog.push_back(Stmt(BPF_LD | BPF_W | BPF_ABS, offsetof(struct seccomp_data, arch)));
  prog.push_back(Jump(BPF_JMP | BPF_JEQ | BPF_K, kAuditArch, 1, 0));
  prog.push_back(Stmt(BPF_RET | BPF_K, SECCOMP_RET_ALLOW));
  prog.push_back(Stmt(BPF_LD | BPF_W | BPF_ABS, offsetof(struct seccomp_data, nr)));
  std::vector<size_t> toCheck;
  for (const KernelCall &c : kCalls)
    if (c.since > floor) {
      toCheck.push_back(prog.size());
      prog.push_back(Jump(BPF_JMP | BPF_JEQ | BPF_K, (uint32_t)c.number, 0, 0));
    }
  if (toCheck.empty())
    return true;
  if (toCheck.size() > 250) {
    *err = "too many calls for one filter";
    return false;
  }
  prog.push_back(Stmt(BPF_RET | BPF_K, SECCOMP_RET_ALLOW));
  size_t checkAt = prog.size();
  for (size_t at : toCheck)
    prog[at].jt = (uint8_t)(checkAt - at - 1);
  prog.push_back(Stmt(BPF_LD | BPF_W | BPF_ABS, kIpHigh));
  prog.push_back(Jump(BPF_JMP | BPF_JEQ | BPF_K, (uint32_t)(from >> 32), 0, 4));
  prog.push_back(Stmt(BPF_LD | BPF_W | BPF_ABS, kIpLow));
  prog.push_back(Jump(BPF_JMP | BPF_JGE | BPF_K, (uint32_t)from, 0, 2));
  prog.push_back(Jump(BPF_JMP | BPF_JGT | BPF_K, (uint32_t)to, 1, 0));
  prog.push_back(Stmt(BPF_RET | BPF_K, SECCOMP_RET_ERRNO | ENOSYS));
  prog.push_back(Stmt(BPF_RET | BPF_K, SECCOMP_RET_ALLOW));

  struct sock_fprog fprog = {(unsigned short)prog.size(), prog.data()};
  if (prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0) != 0)
    return SysError(err, "prctl(PR_SET_NO_NEW_PRIVS)");
  if (prctl(PR_SET_SECCOMP, SECCOMP_MODE_FILTER, &fprog, 0, 0) != 0)
    return SysError(err, "prctl(PR_SET_SECCOMP)");
  if (!FilterTakesEffect(floor)) {
    *err = "the seccomp filter was taken but has no effect";
    return false;
  }
  return true;
}
