// An older kernel for the plug-in: the system calls it reaches through the
// C library's syscall() that came after a chosen version fail with ENOSYS,
// as on a recorder whose kernel predates them.  The C library's own
// wrappers (open through openat, stat through newfstatat) stand for the
// recorder's C library, which uses the calls its kernel has, and pass.
#pragma once
#include <cstdint>
#include <string>

// A version a.b.c as one comparable number; 0 stands for "no floor".
constexpr uint32_t KernelVersion(unsigned a, unsigned b, unsigned c) { return a << 16 | b << 8 | c; }
constexpr uint32_t kNoKernelFloor = 0;
// The oldest kernel the floor accepts: the table starts there.
constexpr uint32_t kOldestKernel = KernelVersion(2, 6, 0);

// "2.6.12" or "3.17"; false for anything else or a version before the table.
bool ParseKernelVersion(const std::string &text, uint32_t *version);
std::string KernelVersionText(uint32_t version);

// Whether a kernel of version floor lacks the call (false for calls not in
// the table, and without a floor).
bool KernelLacks(uint32_t floor, long number);

// Counts a call the floor refused the image, and names them with their
// counts ("openat 12, syncfs 1"; empty when none was).
void KernelFloorRefused(long number);
std::string KernelFloorRefusals();

// Sets a seccomp filter on the calling thread (and what it starts): the
// calls the floor lacks, made from the C library's syscall(), fail with
// ENOSYS.  False with a message where the kernel does not take the filter
// (qemu user emulation refuses it), or it did not take effect.
bool InstallKernelFloor(uint32_t floor, std::string *err);
