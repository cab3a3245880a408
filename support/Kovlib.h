/* Kovlib, the plug-in support library: settings store, folders, firmware
 * symbols, dates, text encodings, logs and call tracing.  Every operation
 * has C linkage so that plug-ins written in C can use it. */
#ifndef VAULTRIX_KOVLIB_H
#define VAULTRIX_KOVLIB_H

#include <stdarg.h>
#include <stddef.h>
#include <stdint.h>

#include "tap.h"

/* Firmware task record (read only).  Word 10 points to a record whose word 1
 * points to the task's current folder, a full path beginning "/mnt/hd".  On
 * the recorder the words are 32 bits (44-byte record); a 64-bit host uses
 * pointer-sized words. */
typedef struct FirmwareDirRecord {
  void *Unused;
  char *Path;
} FirmwareDirRecord;
typedef struct FirmwareTask {
  void *Unused[10];
  FirmwareDirRecord *Dir;
} FirmwareTask;
#if UINTPTR_MAX == 0xFFFFFFFFu
static_assert(sizeof(FirmwareTask) == 44, "task record is 44 bytes");
static_assert(__builtin_offsetof(FirmwareDirRecord, Path) == 4, "path word at 4");
#endif

#define DIR_STACK_DEPTH 16
#define DIR_STACK_ENTRY 200
#define PUFFER_SIZE 1024
#define TIMESTAMP_SIZE 25
#define CALLTRACE_DEPTH 50
#define CALLTRACE_STATS 5000
#define CALLTRACE_MAGIC 0x4B4F5631u

typedef struct StringDBRecord {
  dword capacity;
  char *start;
  char *cursor;
  char *end;
} StringDBRecord;

/* The search index of one string list at a time (the scan keeps one):
 * open addressing over the strings' hashes, each slot an offset + 1, 0 for
 * empty.  Valid while the list still has the buffer and the bytes in use it
 * was last brought up to date with. */
typedef struct StringDBIndexRecord {
  const StringDBRecord *list;
  const char *start;
  dword used;
  dword count; /* slots in use */
  dword mask;  /* slots - 1; the slot count is a power of two */
  dword *slots;
} StringDBIndexRecord;

typedef struct CallTraceStackEntry {
  const char *ProcName;
  dword StartTick;
} CallTraceStackEntry;

typedef struct CallTraceStat {
  const char *ProcName; /* identity of the literal, not its text */
  dword MinTicks;
  dword MaxTicks;
  dword Calls;
  dword TotalTicks;
} CallTraceStat;

extern "C" {

/* The plug-in's identifier, defined by the image glue (tapinit). */
extern const dword __tap_ud__;

/* Bounded formatting into a fixed buffer: always terminated when Size > 0;
 * returns the length the whole text would have, so a result >= Size means
 * the text was cut at Size - 1 characters. */
int StrFormat(char *Dest, dword Size, const char *Format, ...) __attribute__((format(printf, 3, 4)));
int StrFormatV(char *Dest, dword Size, const char *Format, va_list Args);
/* Bounded copy; same result convention as StrFormat. */
int StrCopy(char *Dest, dword Size, const char *Source);

/* String list */
int StringDBInit(StringDBRecord *list, dword size);
dword StringDBAdd(StringDBRecord *list, const char *text);
dword StringDBCurrent(StringDBRecord *list);
char *StringDBGet(StringDBRecord *list, dword offset);
int StringDBEOF(StringDBRecord *list);
dword StringDBNext(StringDBRecord *list);
int StringDBDestroy(StringDBRecord *list);
extern StringDBIndexRecord StringDBIndex;
/* Releases the index if it belongs to the list. */
void StringDBDropIndex(const StringDBRecord *list);

/* Settings-file store */
extern char *INIBuffer;
extern dword BufferSize;
#define INI_KEY_MAX 78
#define INI_PATTERN_SIZE (INI_KEY_MAX + 2)
/* The search text of a key: its first 78 characters and "="; returns its
 * length.  Pattern holds INI_PATTERN_SIZE bytes. */
dword INIKeyPattern(const char *Key, char *Pattern);
int INILocateFile(const char *FileName, const char *AppName);
int INIOpenFile(const char *FileName, const char *AppName);
void INIFindStartEnd(const char *Pattern, char **Start, char **End, dword MaxLen);
int INIGetString(const char *Key, char *Dest, const char *Default, dword Len);
word INIGetHexWord(const char *Key, word Default, word Min, word Max);
void INISetString(const char *Key, const char *Value);
void INISetHexWord(const char *Key, word Value);
int INISaveFile(const char *FileName, int Location, const char *AppName);
/* A save without the Linux path (no task table) writes and checks a copy
 * named FileName and this suffix first, and removes it only once the file
 * itself is rewritten, checked and on the disk.  INIOpenFile reads the copy
 * instead of the file only while the file is missing or a proper prefix of
 * the copy, as a cut save leaves them; every successful save removes it. */
#define INI_COPY_SUFFIX ".copy"
#define INI_NAME_SIZE 256
void INICloseFile(void);

/* Directory navigation */
extern char TAPDirStack[DIR_STACK_DEPTH][DIR_STACK_ENTRY];
extern int TAPDirStackDepth;
extern int ReturnTypeToBeChecked;
extern dword ChDirSuccessful;
int HDD_ChangeDir(const char *path);
int HDD_TAP_GetCurrentDir(char *dest);
int HDD_TAP_PushDir(void);
int HDD_TAP_PopDir(void);
/* The Linux path of the current folder ("/mnt/hd" + folder); 1 on success. */
int HDD_TAP_GetCurrentDirLinux(char *dest, dword size);

/* Firmware symbol resolution */
void *TryResolve(const char *Name);
FirmwareTask *FIS_vTAPTable(void);
dword *FIS_vCurTapTask(void);
void *FIS_fwAppl_ConvertToValidUTF8Str(void);

/* Date and time */
dword Now(byte *Sec);
char *TimeFormat(dword DateTime, byte Sec, dword Format);

/* UTF-8 primitives and encoding detection.  A text may begin with a
 * character-table selector.  One that begins 0x10 0x00 must hold a third
 * byte, even when it ends at that zero: a non-zero third byte is the table
 * number of the three-byte selector, and the text runs on behind the zero,
 * where strlen does not look. */
int isUTF8Char(const char *Text, byte *LengthOut);
dword UTF8ToUTF32(const char *Text, byte *LengthOut);
void UTF32ToUTF8(dword CodePoint, char *Out, byte *LengthOut);
int strlenUC(const char *Text);
char *SkipCharTableBytes(const char *Text);
void GetStringEncoding(const char *Text, int *HasSingleByteOut, int *HasUTF8Out);
int isUTFFirmware(void);

/* Legacy character sets */
extern const word UTFLookupISO8859_1[96], UTFLookupISO8859_2[96], UTFLookupISO8859_3[96],
    UTFLookupISO8859_4[96], UTFLookupISO8859_5[96], UTFLookupISO8859_6[96], UTFLookupISO8859_7[96],
    UTFLookupISO8859_8[96], UTFLookupISO8859_9[96], UTFLookupISO8859_10[96], UTFLookupISO8859_11[96],
    UTFLookupISO8859_13[96], UTFLookupISO8859_14[96], UTFLookupISO8859_15[96], UTFLookupISO8859_16[96],
    UTFLookupISO6937[96];
int StrToUTF8(const char *Source, char *Dest, dword DefaultTable);
void StrToISO(const char *Source, char *Dest);
void StrToISOAlloc(const char *Source, char **DestOut);
int StrMkISO(char *Text);

/* Case folding and case-insensitive search */
void LowerCase(char *Text);
char *stricstr(const char *Text, const char *Pattern);

/* Logs and network console */
extern char puffer[PUFFER_SIZE];
void LogEntryGeneric(const char *ProgramName, int Console, const char *Text);
void LogEntryKovlibPrintf(int Console, const char *Format, ...) __attribute__((format(printf, 2, 3)));
void PrintNet(const char *Text);
/* Where the consoles are: "/dev/pts/" on the recorder; tests point it at a
 * folder of their own so that no real terminal is written. */
extern const char *PrintNetDevicePrefix;
/* Bounded format into puffer, then PrintNet; a cut line keeps its LF. */
void PrintNetFormat(const char *Format, ...) __attribute__((format(printf, 1, 2)));
/* Shared steps of the two logs: enter (and create) /ProgramFiles/Settings,
 * make the time stamp "YYYY-MM-DD hh:mm:ss " (in TimeFormat's buffer), and
 * append "<Stamp><Text>" CR LF to a file of the current folder. */
void LogEntryEnterFolder(void);
char *LogEntryTimeStamp(void);
void LogEntryAppend(const char *FileName, const char *Stamp, const char *Text);

/* Call tracing */
extern int CallTraceInitialized, CallTraceEnabled, CallTraceDoNotReenter, CallLevel;
extern CallTraceStackEntry CallTraceStack[CALLTRACE_DEPTH];
extern CallTraceStat *CallTraceStats;
extern int CallTraceStatsEntries;
void CallTraceInit(void);
void CallTraceEnable(int Enabled);
void CallTraceEnter(const char *ProcName);
void CallTraceExit(dword *CheckWord);
void CallTraceResetStats(void);
}

#endif
