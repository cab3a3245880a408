/* The recorder's TAP runtime as the plug-in sees it: every service is a
 * function pointer that /tapapi/TMS/libtap.so exports under the TAP_ name. */
#ifndef VAULTRIX_TAP_H
#define VAULTRIX_TAP_H

#include <stdint.h>

typedef uint8_t byte;
typedef uint16_t word;
typedef uint32_t dword;

/* Attribute words of the host's directory entries and of TAP_Hdd_Create. */
enum { TAP_ATTR_FOLDER = 224, TAP_ATTR_FILE = 208, TAP_ATTR_OTHER = 240 };

/* The host's 152-byte directory-entry record: attribute at 0, name at 24.
 * A name that does not fit Name is reported with TAP_ATTR_OTHER. */
#define TAP_ENTRY_SIZE 152
#define TAP_ENTRY_NAME_SIZE 128
typedef struct TapFolderEntry {
  dword Attr;
  byte Reserved[20];
  char Name[TAP_ENTRY_NAME_SIZE];
} TapFolderEntry;
static_assert(sizeof(TapFolderEntry) == TAP_ENTRY_SIZE, "entry record is 152 bytes");
static_assert(__builtin_offsetof(TapFolderEntry, Name) == 24, "entry name at offset 24");

typedef struct TapFile TapFile; /* opaque host file handle */

/* Host initialisation record: slot 0 TAP_Main, slot 1 TAP_EventHandler. */
typedef struct TapInitRecord {
  int (*Main)(void);
  dword (*EventHandler)(dword event, dword param);
} TapInitRecord;

#define EVT_IDLE 0x0000
#define EVT_STOP 0x0900

extern "C" {
extern void *(*TAP_MemAlloc)(dword size);
extern int (*TAP_MemFree)(void *block);
extern void (*TAP_MemSet)(void *dest, byte value, dword n);
extern void (*TAP_MemCpy)(void *dest, const void *src, dword n);
extern int (*TAP_MemCmp)(const void *a, const void *b, dword n);
extern int (*TAP_SPrint)(char *dest, const char *format, ...);
extern int (*TAP_Print)(const char *format, ...);
extern dword (*TAP_GetTick)(void);
extern int (*TAP_GetTime)(word *mjd, byte *hour, byte *min, byte *sec);
extern void (*TAP_ExtractMjd)(word mjd, word *year, byte *month, byte *day, byte *weekday);
extern void (*TAP_Sleep)(dword ticks);
extern void (*TAP_Exit)(void);
extern dword (*TAP_Hdd_ChangeDir)(const char *path);
extern int (*TAP_Hdd_Exist)(const char *name);
extern dword (*TAP_Hdd_Create)(const char *name, dword attr);
extern int (*TAP_Hdd_Delete)(const char *name);
extern TapFile *(*TAP_Hdd_Fopen)(const char *name);
extern dword (*TAP_Hdd_Flen)(TapFile *file);
extern dword (*TAP_Hdd_Fread)(void *buf, dword size, dword count, TapFile *file);
extern dword (*TAP_Hdd_Fwrite)(const void *buf, dword size, dword count, TapFile *file);
extern dword (*TAP_Hdd_Fseek)(TapFile *file, long pos, dword where);
extern void (*TAP_Hdd_Fclose)(TapFile *file);
extern dword (*TAP_Hdd_FindFirst)(TapFolderEntry *entry, const char *filter);
extern dword (*TAP_Hdd_FindNext)(TapFolderEntry *entry);
}

#endif
