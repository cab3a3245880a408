/* Image glue: the identification sections the recorder's loader reads, the
 * initialisation function through which it learns the entry points, and the
 * few functions the compiler's run-time support expects. */
#include "Vaultrix.h"

static_assert(__BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__, "the recorder is little-endian");

#define TAP_SECTION(name) __attribute__((section(name), used, aligned(4)))

/* The six sections stand in this order (app/sections.ld), 356 bytes, no gaps. */
extern "C" {
extern const char __tap_etc_str__[64];
extern const char __tap_description__[128];
extern const char __tap_author_name__[64];
extern const char __tap_program_name__[64];
extern const dword __tap_ud__;
extern const byte __tap_Header__[32];

TAP_SECTION("._tap_etcinfo") const char __tap_etc_str__[64] = __DATE__;
TAP_SECTION("._tap_description") const char __tap_description__[128] = "Backup everything from ProgramFiles";
TAP_SECTION("._tap_author_name") const char __tap_author_name__[64] = "Vaultrix developers";
TAP_SECTION("._tap_program_name") const char __tap_program_name__[64] = "Vaultrix V1.0";
TAP_SECTION("._tap_id") const dword __tap_ud__ = 0x2A565854; /* "TXV*" */
TAP_SECTION("._tap_header") const byte __tap_Header__[32] = {'T', 'F', 'A', 'P', 'M', 'I', 'P', 'S', 16, 0, 0, 0};

int __TAP_Init_(TapInitRecord *record)
{
  record->Main = TAP_Main;
  record->EventHandler = TAP_EventHandler;
  return 0;
}

/* Suspends the caller for good instead of ending the recorder's process. */
__attribute__((noreturn)) void abort(void)
{
  for (;;)
    TAP_Sleep(1000);
}

void *BuiltinNew(dword size) __asm__("__builtin_new");
void *BuiltinNew(dword size)
{
  TAP_Print("__builtin_new. size=%d\n", (int)size);
  return TAP_MemAlloc(size);
}

void _init(void) {}
void _finit(void) {}
}
