/* On-disk layout of the catalogue "VXDB.db", shared by the plug-in and the
 * PC tools so that the two can never drift.  All integers little-endian,
 * whatever the host's byte order.
 *
 *   header   36 bytes (VXDBHeader)
 *   entries  NrEntries x 48 bytes (VXDBEntry), in scan order
 *   text     TextLength bytes: a zero byte, then zero-terminated strings
 *            (absent when NrEntries is 0, although TextLength reads 1)
 *
 * Plain C types and static inline functions only, so that the plug-in (no
 * C++ library) and the tools (full C++) compile the very same code. */
#ifndef VAULTRIX_VXDBFORMAT_H
#define VAULTRIX_VXDBFORMAT_H

#include <stddef.h>
#include <stdint.h>

#define VXDB_HEADER_SIZE 36
#define VXDB_ENTRY_SIZE 48
#define VXDB_VERSION 1
#define VXDB_FILE_NAME "VXDB.db"
#define VXDB_ENTRY_STEP 100
#define VXDB_TEXT_STEP 1026
#define VXDB_MAGIC "VXDB"
/* Written into a backup folder before its catalogue is removed: a folder
 * holding it and no catalogue is a backup whose removal was cut short. */
#define VXDB_REMOVING_NAME "VXDB.removing"
/* The catalogue of a run that did not take every file it listed, in the
 * same format: a base for later links, never a complete backup. */
#define VXDB_PARTIAL_NAME "VXDB.partial"
/* Written when a dated folder is made and removed once its catalogue
 * stands: a folder holding it is one the plug-in began and never finished. */
#define VXDB_UNFINISHED_NAME "VXDB.unfinished"
/* A catalogue is written under its name and this suffix, then renamed. */
#define VXDB_SAVE_SUFFIX ".part"
/* In the destination root: which share of earlier copies the next backup
 * reads in full. */
#define VXDB_SHARE_NAME "VXDB.share"
/* The disk probe's files, made and removed in a dated folder beside where
 * its catalogue will stand. */
#define VXDB_PROBE_NAME "VXDB.probe"
#define VXDB_PROBE_LINK_NAME "VXDB.probe.link"
/* Beside a catalogue: what its fixed entries cannot say (format below). */
#define VXDB_NOTES_NAME "VXDB.notes"
/* Entries and text together stay below 2 GiB, so that every size fits the
 * signed 32-bit fields and a 32-bit allocation. */
#define VXDB_MAX_BODY 0x7FFFFFFFu

/* Field offsets of the header. */
#define VXDB_OFS_MAGIC 0
#define VXDB_OFS_VERSION 4
#define VXDB_OFS_BACKUPDATE 8
#define VXDB_OFS_ENTRIESALLOCATED 12
#define VXDB_OFS_NRENTRIES 16
#define VXDB_OFS_ENTRIESREF 20
#define VXDB_OFS_TEXTALLOCATED 24
#define VXDB_OFS_TEXTLENGTH 28
#define VXDB_OFS_TEXTREF 32

/* Field offsets of an entry. */
#define VXDB_OFS_NAMEOFFSET 0
#define VXDB_OFS_FOLDEROFFSET 4
#define VXDB_OFS_PATHCRC 8
#define VXDB_OFS_RESERVED 12
#define VXDB_OFS_FILESIZE 16
#define VXDB_OFS_CHANGETIME 24
#define VXDB_OFS_MODIFYTIME 28
#define VXDB_OFS_MD5 32

/* The 36-byte header as plain values; the two reference words are the
 * writer's memory references and mean nothing to a reader. */
typedef struct VXDBHeader {
  char Magic[4];
  uint32_t Version;
  uint32_t BackupDate; /* packed date-time: MJD << 16 | hour << 8 | minute */
  int32_t EntriesAllocated;
  int32_t NrEntries;
  uint32_t EntriesRef;
  int32_t TextAllocated;
  int32_t TextLength;
  uint32_t TextRef;
} VXDBHeader;

/* One file of a catalogue; in memory the same 48 bytes in the same order. */
typedef struct VXDBEntry {
  int32_t NameOffset;   /* text-pool offset of the file name */
  int32_t FolderOffset; /* text-pool offset of "/folder/", 0 for none */
  uint32_t PathCRC;     /* CRC32(0, relative path) */
  uint32_t Reserved;    /* always zero */
  uint64_t FileSize;
  int32_t ChangeTime;
  int32_t ModifyTime;
  uint8_t MD5[16];
} VXDBEntry;

#ifdef __cplusplus
static_assert(sizeof(VXDBHeader) == VXDB_HEADER_SIZE, "catalogue header is 36 bytes");
static_assert(sizeof(VXDBEntry) == VXDB_ENTRY_SIZE, "catalogue entry is 48 bytes");
static_assert(__builtin_offsetof(VXDBEntry, FileSize) == VXDB_OFS_FILESIZE, "size at 16");
static_assert(__builtin_offsetof(VXDBEntry, MD5) == VXDB_OFS_MD5, "digest at 32");
#else
_Static_assert(sizeof(VXDBHeader) == VXDB_HEADER_SIZE, "catalogue header is 36 bytes");
_Static_assert(sizeof(VXDBEntry) == VXDB_ENTRY_SIZE, "catalogue entry is 48 bytes");
#endif

/* ---- little-endian words, on any host ---------------------------------- */

static inline uint32_t VXDBGet32(const uint8_t *p)
{
  return (uint32_t)p[0] | (uint32_t)p[1] << 8 | (uint32_t)p[2] << 16 | (uint32_t)p[3] << 24;
}

static inline void VXDBPut32(uint8_t *p, uint32_t v)
{
  p[0] = (uint8_t)v;
  p[1] = (uint8_t)(v >> 8);
  p[2] = (uint8_t)(v >> 16);
  p[3] = (uint8_t)(v >> 24);
}

static inline uint64_t VXDBGet64(const uint8_t *p)
{
  return (uint64_t)VXDBGet32(p) | (uint64_t)VXDBGet32(p + 4) << 32;
}

static inline void VXDBPut64(uint8_t *p, uint64_t v)
{
  VXDBPut32(p, (uint32_t)v);
  VXDBPut32(p + 4, (uint32_t)(v >> 32));
}

/* ---- header and entry between bytes and structs -------------------------- */

static inline void VXDBDecodeHeader(const uint8_t *b, VXDBHeader *h)
{
  int i;
  for (i = 0; i < 4; i++)
    h->Magic[i] = (char)b[VXDB_OFS_MAGIC + i];
  h->Version = VXDBGet32(b + VXDB_OFS_VERSION);
  h->BackupDate = VXDBGet32(b + VXDB_OFS_BACKUPDATE);
  h->EntriesAllocated = (int32_t)VXDBGet32(b + VXDB_OFS_ENTRIESALLOCATED);
  h->NrEntries = (int32_t)VXDBGet32(b + VXDB_OFS_NRENTRIES);
  h->EntriesRef = VXDBGet32(b + VXDB_OFS_ENTRIESREF);
  h->TextAllocated = (int32_t)VXDBGet32(b + VXDB_OFS_TEXTALLOCATED);
  h->TextLength = (int32_t)VXDBGet32(b + VXDB_OFS_TEXTLENGTH);
  h->TextRef = VXDBGet32(b + VXDB_OFS_TEXTREF);
}

static inline void VXDBEncodeHeader(const VXDBHeader *h, uint8_t *b)
{
  int i;
  for (i = 0; i < 4; i++)
    b[VXDB_OFS_MAGIC + i] = (uint8_t)h->Magic[i];
  VXDBPut32(b + VXDB_OFS_VERSION, h->Version);
  VXDBPut32(b + VXDB_OFS_BACKUPDATE, h->BackupDate);
  VXDBPut32(b + VXDB_OFS_ENTRIESALLOCATED, (uint32_t)h->EntriesAllocated);
  VXDBPut32(b + VXDB_OFS_NRENTRIES, (uint32_t)h->NrEntries);
  VXDBPut32(b + VXDB_OFS_ENTRIESREF, h->EntriesRef);
  VXDBPut32(b + VXDB_OFS_TEXTALLOCATED, (uint32_t)h->TextAllocated);
  VXDBPut32(b + VXDB_OFS_TEXTLENGTH, (uint32_t)h->TextLength);
  VXDBPut32(b + VXDB_OFS_TEXTREF, h->TextRef);
}

/* b and e may be the same 48 bytes (decoding a buffer in place). */
static inline void VXDBDecodeEntry(const uint8_t *b, VXDBEntry *e)
{
  VXDBEntry t;
  int i;
  t.NameOffset = (int32_t)VXDBGet32(b + VXDB_OFS_NAMEOFFSET);
  t.FolderOffset = (int32_t)VXDBGet32(b + VXDB_OFS_FOLDEROFFSET);
  t.PathCRC = VXDBGet32(b + VXDB_OFS_PATHCRC);
  t.Reserved = VXDBGet32(b + VXDB_OFS_RESERVED);
  t.FileSize = VXDBGet64(b + VXDB_OFS_FILESIZE);
  t.ChangeTime = (int32_t)VXDBGet32(b + VXDB_OFS_CHANGETIME);
  t.ModifyTime = (int32_t)VXDBGet32(b + VXDB_OFS_MODIFYTIME);
  for (i = 0; i < 16; i++)
    t.MD5[i] = b[VXDB_OFS_MD5 + i];
  *e = t;
}

/* e and b may be the same 48 bytes (encoding a buffer in place). */
static inline void VXDBEncodeEntry(const VXDBEntry *e, uint8_t *b)
{
  VXDBEntry t = *e;
  int i;
  VXDBPut32(b + VXDB_OFS_NAMEOFFSET, (uint32_t)t.NameOffset);
  VXDBPut32(b + VXDB_OFS_FOLDEROFFSET, (uint32_t)t.FolderOffset);
  VXDBPut32(b + VXDB_OFS_PATHCRC, t.PathCRC);
  VXDBPut32(b + VXDB_OFS_RESERVED, t.Reserved);
  VXDBPut64(b + VXDB_OFS_FILESIZE, t.FileSize);
  VXDBPut32(b + VXDB_OFS_CHANGETIME, (uint32_t)t.ChangeTime);
  VXDBPut32(b + VXDB_OFS_MODIFYTIME, (uint32_t)t.ModifyTime);
  for (i = 0; i < 16; i++)
    b[VXDB_OFS_MD5 + i] = t.MD5[i];
}

/* ---- validation of untrusted catalogues ---------------------------------- */

enum {
  VXDB_OK = 0,
  VXDB_ERR_SHORT_HEADER, /* fewer than 36 bytes */
  VXDB_ERR_MAGIC,        /* not "VXDB" */
  VXDB_ERR_VERSION,      /* not version 1 */
  VXDB_ERR_COUNT,        /* negative entry count, or too large to hold */
  VXDB_ERR_TEXT_LENGTH,  /* text length below 1, or too large to hold */
  VXDB_ERR_TRUNCATED,    /* entries or text run past the end of the file */
  VXDB_ERR_POOL_START,   /* text pool byte 0 is not zero */
  VXDB_ERR_POOL_END,     /* last string of the pool is not terminated */
  VXDB_ERR_OFFSET        /* entry offset outside the pool or inside a string */
};

static inline const char *VXDBErrorText(int code)
{
  switch (code) {
  case VXDB_OK: return "valid";
  case VXDB_ERR_SHORT_HEADER: return "shorter than the 36-byte header";
  case VXDB_ERR_MAGIC: return "not a catalogue (magic is not VXDB)";
  case VXDB_ERR_VERSION: return "unknown catalogue version";
  case VXDB_ERR_COUNT: return "entry count negative or too large";
  case VXDB_ERR_TEXT_LENGTH: return "text length out of range";
  case VXDB_ERR_TRUNCATED: return "entries or text run past the end of the file";
  case VXDB_ERR_POOL_START: return "text pool does not start with a zero byte";
  case VXDB_ERR_POOL_END: return "text pool ends inside a string";
  case VXDB_ERR_OFFSET: return "entry points outside the text pool or into a string";
  }
  return "unknown error";
}

/* Bytes a catalogue with this header must have: the header alone when it
 * has no entries, else header, entries and text.  Only for a header that
 * VXDBCheckHeader accepted. */
static inline uint64_t VXDBNeededSize(const VXDBHeader *h)
{
  if (h->NrEntries == 0)
    return VXDB_HEADER_SIZE;
  return (uint64_t)VXDB_HEADER_SIZE + (uint64_t)h->NrEntries * VXDB_ENTRY_SIZE + (uint64_t)h->TextLength;
}

/* The header's own fields against the size of the file it came from.  The
 * allocation counts and reference words are the writer's and not checked. */
static inline int VXDBCheckHeader(const VXDBHeader *h, uint64_t fileSize)
{
  const char *m = VXDB_MAGIC;
  int i;
  if (fileSize < VXDB_HEADER_SIZE)
    return VXDB_ERR_SHORT_HEADER;
  for (i = 0; i < 4; i++)
    if (h->Magic[i] != m[i])
      return VXDB_ERR_MAGIC;
  if (h->Version != VXDB_VERSION)
    return VXDB_ERR_VERSION;
  if (h->NrEntries < 0 || (uint64_t)h->NrEntries * VXDB_ENTRY_SIZE > VXDB_MAX_BODY)
    return VXDB_ERR_COUNT;
  if (h->TextLength < 1)
    return VXDB_ERR_TEXT_LENGTH;
  if (h->NrEntries > 0 && (uint64_t)h->NrEntries * VXDB_ENTRY_SIZE + (uint64_t)h->TextLength > VXDB_MAX_BODY)
    return VXDB_ERR_TEXT_LENGTH;
  if (VXDBNeededSize(h) > fileSize)
    return VXDB_ERR_TRUNCATED;
  return VXDB_OK;
}

/* The text pool and the entries' offsets into it: every offset must name the
 * start of a string, and every string must end inside the pool.  entries
 * are the n raw 48-byte records; *badEntry (if given) receives the index of
 * the first offending entry, or -1. */
static inline int VXDBCheckBody(const uint8_t *entries, int32_t n, const uint8_t *text, int32_t textLength,
                                int32_t *badEntry)
{
  int32_t i;
  if (badEntry)
    *badEntry = -1;
  if (n <= 0)
    return VXDB_OK;
  if (textLength < 1)
    return VXDB_ERR_TEXT_LENGTH;
  if (text[0] != 0)
    return VXDB_ERR_POOL_START;
  if (text[textLength - 1] != 0)
    return VXDB_ERR_POOL_END;
  for (i = 0; i < n; i++) {
    const uint8_t *e = entries + (uint64_t)i * VXDB_ENTRY_SIZE;
    int32_t name = (int32_t)VXDBGet32(e + VXDB_OFS_NAMEOFFSET);
    int32_t folder = (int32_t)VXDBGet32(e + VXDB_OFS_FOLDEROFFSET);
    if (name < 0 || name >= textLength || (name > 0 && text[name - 1] != 0) || folder < 0 ||
        folder >= textLength || (folder > 0 && text[folder - 1] != 0)) {
      if (badEntry)
        *badEntry = i;
      return VXDB_ERR_OFFSET;
    }
  }
  return VXDB_OK;
}

/* A whole catalogue file held in memory, in one call.  On VXDB_OK the
 * header is decoded into *h (if given); the entries start at
 * file + VXDB_HEADER_SIZE and the text pool follows them. */
static inline int VXDBValidate(const uint8_t *file, uint64_t size, VXDBHeader *h, int32_t *badEntry)
{
  VXDBHeader local;
  int r;
  if (!h)
    h = &local;
  if (badEntry)
    *badEntry = -1;
  if (!file || size < VXDB_HEADER_SIZE)
    return VXDB_ERR_SHORT_HEADER;
  VXDBDecodeHeader(file, h);
  r = VXDBCheckHeader(h, size);
  if (r != VXDB_OK)
    return r;
  return VXDBCheckBody(file + VXDB_HEADER_SIZE, h->NrEntries,
                       file + VXDB_HEADER_SIZE + (uint64_t)h->NrEntries * VXDB_ENTRY_SIZE, h->TextLength,
                       badEntry);
}

/* The catalogue's date as packed (day number since 1858-11-17 above,
 * hour and minute below) of a moment in seconds since 1970, read as UTC,
 * as the recorder's clock keeps no zone; 0 when out of range. */
static inline uint32_t VXDBPackedTime(int64_t seconds)
{
  int64_t day = seconds / 86400 + 40587;
  if (seconds < 0 || day >= 0xFFFF)
    return 0;
  return (uint32_t)day << 16 | (uint32_t)(seconds % 86400 / 3600) << 8 | (uint32_t)(seconds % 3600 / 60);
}

/* 1 when a catalogue's date lies more than a day after the moment it was
 * written (written, the file's modification time by the recorder's system
 * clock): the clock that dated the backup was set ahead of that one. */
static inline int VXDBDatedAhead(uint32_t date, int64_t written)
{
  uint32_t at = VXDBPackedTime(written);
  return at != 0 && date > at + 0x10000u;
}

/* Where a backup stands among the others of its destination, for the
 * plug-in's lookup and vxdb's "latest" alike: by its date, unless it was
 * dated ahead while the dates of others agree with their clock (agreed);
 * such a backup counts as made when it was written, so that the backups
 * made after the clock was put right are the newer.  When no date agrees,
 * the system clock is the one that is off, and the dates stand.  Of equal
 * places the later date stands after. */
static inline uint32_t VXDBBackupOrder(uint32_t date, int64_t written, int agreed)
{
  return agreed && VXDBDatedAhead(date, written) ? VXDBPackedTime(written) : date;
}

/* 1 when the name (length bytes) is one written beside a catalogue, in any
 * letter case (a FAT disk takes vxdb.db for VXDB.db): such a name is
 * refused in the source, and removed only as its folder's own. */
static inline int VXDBReservedName(const char *name, size_t length)
{
  static const char *const reserved[] = {VXDB_FILE_NAME,     VXDB_FILE_NAME VXDB_SAVE_SUFFIX,
                                         VXDB_PARTIAL_NAME,  VXDB_PARTIAL_NAME VXDB_SAVE_SUFFIX,
                                         VXDB_REMOVING_NAME, VXDB_UNFINISHED_NAME,
                                         VXDB_PROBE_NAME,    VXDB_PROBE_LINK_NAME,
                                         VXDB_NOTES_NAME,    VXDB_NOTES_NAME VXDB_SAVE_SUFFIX};
  for (size_t k = 0; k < sizeof reserved / sizeof reserved[0]; k++) {
    size_t i = 0;
    for (; i < length && reserved[k][i]; i++) {
      char c = name[i] >= 'A' && name[i] <= 'Z' ? (char)(name[i] + 32) : name[i];
      char r = reserved[k][i] >= 'A' && reserved[k][i] <= 'Z' ? (char)(reserved[k][i] + 32) : reserved[k][i];
      if (c != r)
        break;
    }
    if (i == length && reserved[k][i] == 0)
      return 1;
  }
  return 0;
}

/* ---- the notes beside a catalogue -----------------------------------------
 * "VXDB.notes" says what an entry of the catalogue beside it is, where the
 * fixed 48 bytes cannot: a copy that may mix two versions, a folder that was
 * not backed up.  It is written (whole, synced, renamed) before its
 * catalogue, and only when there is something to say; a reader that does
 * not know it sees a catalogue whose entries all look as they always did.
 * All integers little-endian.
 *
 *   header   20 bytes: "VXDN", version 1, the catalogue's BackupDate, its
 *            NrEntries, the number of notes
 *   notes    12 bytes each, by entry in catalogue order: the entry's index,
 *            its PathCRC, what it is (VXDB_NOTE_ bits)
 *
 * Notes that do not fit their catalogue (another date or count, an index
 * outside it, another CRC, a cut or malformed file) say nothing reliable:
 * every entry of that catalogue is then taken as changed while read. */
#define VXDB_NOTES_MAGIC "VXDN"
#define VXDB_NOTES_VERSION 1
#define VXDB_NOTES_HEADER_SIZE 20
#define VXDB_NOTE_SIZE 12
/* The file changed while it was read, and no reading proved the copy. */
#define VXDB_NOTE_CHANGED 1u
/* A folder (its entry named like a file, with the zero digest) that the
 * backup could not take: nothing below it was backed up. */
#define VXDB_NOTE_FOLDER 2u

static inline void VXDBEncodeNotesHeader(uint32_t backupDate, int32_t nrEntries, uint32_t notes, uint8_t *b)
{
  int i;
  for (i = 0; i < 4; i++)
    b[i] = (uint8_t)VXDB_NOTES_MAGIC[i];
  VXDBPut32(b + 4, VXDB_NOTES_VERSION);
  VXDBPut32(b + 8, backupDate);
  VXDBPut32(b + 12, (uint32_t)nrEntries);
  VXDBPut32(b + 16, notes);
}

/* The number of notes in *notes when the header belongs to the catalogue of
 * that date and count and the file (fileSize bytes) holds them exactly; 0
 * otherwise. */
static inline int VXDBCheckNotesHeader(const uint8_t *b, uint64_t fileSize, uint32_t backupDate, int32_t nrEntries,
                                       uint32_t *notes)
{
  int i;
  if (fileSize < VXDB_NOTES_HEADER_SIZE)
    return 0;
  for (i = 0; i < 4; i++)
    if (b[i] != (uint8_t)VXDB_NOTES_MAGIC[i])
      return 0;
  *notes = VXDBGet32(b + 16);
  return VXDBGet32(b + 4) == VXDB_NOTES_VERSION && VXDBGet32(b + 8) == backupDate &&
         nrEntries >= 0 && VXDBGet32(b + 12) == (uint32_t)nrEntries && *notes <= (uint32_t)nrEntries &&
         fileSize == VXDB_NOTES_HEADER_SIZE + (uint64_t)*notes * VXDB_NOTE_SIZE;
}

static inline void VXDBEncodeNote(uint32_t index, uint32_t pathCrc, uint32_t kinds, uint8_t *b)
{
  VXDBPut32(b, index);
  VXDBPut32(b + 4, pathCrc);
  VXDBPut32(b + 8, kinds);
}

static inline void VXDBDecodeNote(const uint8_t *b, uint32_t *index, uint32_t *pathCrc, uint32_t *kinds)
{
  *index = VXDBGet32(b);
  *pathCrc = VXDBGet32(b + 4);
  *kinds = VXDBGet32(b + 8);
}

/* The one meaning of a good copy, for the plug-in and the tools alike: a
 * real digest (the file was backed up), and no note that it changed while
 * it was read.  Whoever reads the copy back may still find it damaged. */
static inline int VXDBGoodCopy(const uint8_t md5[16], uint32_t notes)
{
  int i, backedUp = 0;
  for (i = 0; i < 16; i++)
    backedUp |= md5[i] != 0;
  return backedUp && !(notes & VXDB_NOTE_CHANGED);
}

#endif
