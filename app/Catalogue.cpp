/* The catalogue: the record of one backup, its file "VXDB.db", or
 * "VXDB.partial" for a backup that is not complete (written whole beside
 * the old one, then renamed), and the indexes that find a text of the pool
 * or an entry by its path quickly.  State: the indexes, valid while their
 * record is unchanged. */
#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <string.h>
#include <strings.h>
#include <sys/stat.h>
#include <unistd.h>

#include "../checksum/CRC32.h"
#include "../checksum/Md5.h"
#include "Vaultrix.h"

/* Entries encoded per write while saving. */
#define VXDB_SAVE_BATCH 64

/* Indexes beside the records, so that a catalogue of n files costs n
 * searches of a few probes rather than n linear walks: the strings of a
 * text pool by their bytes, and the entries of a catalogue by PathCRC.  An
 * index is open addressing with linear probing over int32 slots (-1 empty),
 * at most half full.  It only speeds a search up: a record whose index
 * cannot be had (no memory, or none of the few places free) is searched
 * linearly, with the same result.  An index is valid while its record still
 * holds the buffer and the count it was built over; FreeVXDB drops it. */
#define VXDB_INDEX_PLACES 4
#define VXDB_INDEX_MIN_SLOTS 256

typedef struct VXDBIndex {
  const VXDB *Owner;
  const void *Base;  /* the record's Text or Entries when last brought up to date */
  int32_t Covered;   /* its TextLength or NrEntries then */
  int32_t Used;      /* slots in use */
  dword Mask;        /* slots - 1; the slot count is a power of two */
  int32_t *Slots;
} VXDBIndex;

static VXDBIndex TextIndexes[VXDB_INDEX_PLACES], EntryIndexes[VXDB_INDEX_PLACES];

/* FNV-1a with a final mix, so that the low bits that pick a slot depend on
 * every byte; byte by byte, the same on any host. */
static dword Mix(dword h)
{
  h ^= h >> 16;
  h *= 0x7FEB352Du;
  h ^= h >> 15;
  h *= 0x846CA68Bu;
  return h ^ (h >> 16);
}

static dword TextHash(const char *text)
{
  dword h = 2166136261u;
  for (const byte *p = (const byte *)text; *p; p++)
    h = (h ^ *p) * 16777619u;
  return Mix(h);
}

static void DropIndex(VXDBIndex *places, const VXDB *owner)
{
  for (int i = 0; i < VXDB_INDEX_PLACES; i++)
    if (places[i].Owner == owner) {
      if (places[i].Slots)
        TAP_MemFree(places[i].Slots);
      memset(&places[i], 0, sizeof places[i]);
    }
}

/* The owner's index if it still describes the record, else none (and a
 * stale one is dropped). */
static VXDBIndex *ValidIndex(VXDBIndex *places, const VXDB *owner, const void *base, int32_t covered)
{
  for (int i = 0; i < VXDB_INDEX_PLACES; i++)
    if (places[i].Owner == owner) {
      if (base && places[i].Base == base && places[i].Covered == covered)
        return &places[i];
      DropIndex(places, owner);
      return NULL;
    }
  return NULL;
}

/* An empty table of at least 2 x count slots in a free place; none when
 * there is no free place or no memory. */
static VXDBIndex *NewIndex(VXDBIndex *places, const VXDB *owner, int32_t count)
{
  VXDBIndex *index = NULL;
  for (int i = 0; i < VXDB_INDEX_PLACES && !index; i++)
    if (!places[i].Owner)
      index = &places[i];
  dword slots = VXDB_INDEX_MIN_SLOTS;
  while (slots < 0x10000000u && slots / 2 <= (dword)count)
    slots *= 2;
  if (!index || slots / 2 <= (dword)count)
    return NULL;
  int32_t *table = (int32_t *)TAP_MemAlloc(slots * sizeof *table);
  if (!table)
    return NULL;
  memset(table, 0xFF, slots * sizeof *table);
  index->Owner = owner;
  index->Slots = table;
  index->Mask = slots - 1;
  index->Used = 0;
  return index;
}

static void PutSlot(VXDBIndex *index, dword hash, int32_t value)
{
  dword at = hash & index->Mask;
  while (index->Slots[at] >= 0)
    at = (at + 1) & index->Mask;
  index->Slots[at] = value;
  index->Used++;
}

/* The offset of the first string equal to text, as the walk from offset 0
 * meets them; -1 when there is none. */
static int32_t FindTextLinear(const VXDB *record, const char *text)
{
  for (int32_t at = 0; at < record->TextLength; at += (int32_t)strlen(record->Text + at) + 1)
    if (strcmp(record->Text + at, text) == 0)
      return at;
  return -1;
}

static int32_t FindTextIndexed(const VXDBIndex *index, const VXDB *record, const char *text, dword hash)
{
  for (dword at = hash & index->Mask; index->Slots[at] >= 0; at = (at + 1) & index->Mask)
    if (strcmp(record->Text + index->Slots[at], text) == 0)
      return index->Slots[at];
  return -1;
}

static int FreeIndexPlace(const VXDBIndex *places)
{
  for (int i = 0; i < VXDB_INDEX_PLACES; i++)
    if (!places[i].Owner)
      return 1;
  return 0;
}

/* Indexes the whole pool in the order of the linear walk, each string at
 * its first offset.  A pool whose last string runs past TextLength (never
 * one built here or loaded) stays unindexed: the walk reads past the end. */
static void BuildTextIndex(const VXDB *record)
{
  if (!record->Text || record->TextLength < 1 || record->Text[record->TextLength - 1] != 0 ||
      !FreeIndexPlace(TextIndexes))
    return;
  int32_t count = 0;
  for (int32_t at = 0; at < record->TextLength; at += (int32_t)strlen(record->Text + at) + 1)
    count++;
  VXDBIndex *index = NewIndex(TextIndexes, record, count);
  if (!index)
    return;
  for (int32_t at = 0; at < record->TextLength; at += (int32_t)strlen(record->Text + at) + 1) {
    dword hash = TextHash(record->Text + at);
    if (FindTextIndexed(index, record, record->Text + at, hash) < 0)
      PutSlot(index, hash, at);
  }
  index->Base = record->Text;
  index->Covered = record->TextLength;
}

/* The string just appended at offset at: into the index, which doubles
 * when it would be more than half full; rebuilt from the pool when there
 * was none. */
static void IndexNewText(VXDBIndex *index, const VXDB *record, int32_t at, dword hash)
{
  if (!index) {
    BuildTextIndex(record);
    return;
  }
  if ((dword)index->Used + 1 > (index->Mask + 1) / 2) {
    DropIndex(TextIndexes, record);
    BuildTextIndex(record);
    return;
  }
  PutSlot(index, hash, at);
  index->Base = record->Text;
  index->Covered = record->TextLength;
}

/* The CRC index of a catalogue's entries, built on first use. */
static VXDBIndex *EntryIndexOf(const VXDB *record)
{
  if (!record->Entries || record->NrEntries <= 0)
    return NULL;
  VXDBIndex *index = ValidIndex(EntryIndexes, record, record->Entries, record->NrEntries);
  if (index)
    return index;
  index = NewIndex(EntryIndexes, record, record->NrEntries);
  if (!index)
    return NULL;
  /* In catalogue order: entries of equal CRC then lie along one probe
   * sequence in that order, so the first match is the linear search's. */
  for (int32_t k = 0; k < record->NrEntries; k++)
    PutSlot(index, Mix(record->Entries[k].PathCRC), k);
  index->Base = record->Entries;
  index->Covered = record->NrEntries;
  return index;
}

void FreeVXDB(VXDB *record)
{
  CallTraceEnter("FreeVXDB");
  if (record) {
    if (record->Entries)
      TAP_MemFree(record->Entries);
    if (record->Text)
      TAP_MemFree(record->Text);
    DropIndex(TextIndexes, record);
    DropIndex(EntryIndexes, record);
    memset(record, 0, sizeof *record);
    record->TextLength = 1;
  }
  CallTraceExit(NULL);
}

/* The file is untrusted: its counts are checked against its size before
 * anything is allocated. */
int ReadVXDBHeader(int fd, VXDBHeader *h)
{
  struct stat64 st;
  byte raw[VXDB_HEADER_SIZE];
  if (fstat64(fd, &st) != 0 || !S_ISREG(st.st_mode) || !ReadAll(fd, raw, sizeof raw))
    return 0;
  VXDBDecodeHeader(raw, h);
  return VXDBCheckHeader(h, (uint64_t)st.st_size) == VXDB_OK;
}

/* Its offsets are checked against its text pool before any entry is used.
 * A failed load leaves the record empty. */
static int LoadVXDBFrom(int fd, VXDB *record)
{
  VXDBHeader h;

  if (!ReadVXDBHeader(fd, &h))
    return 0;
  memcpy(record->Magic, h.Magic, sizeof record->Magic);
  record->Version = h.Version;
  record->BackupDate = h.BackupDate;
  record->NrEntries = record->EntriesAllocated = h.NrEntries;
  record->TextLength = record->TextAllocated = h.TextLength;
  if (h.NrEntries == 0) {
    record->TextAllocated = 0;
    return 1;
  }
  dword entryBytes = (dword)h.NrEntries * VXDB_ENTRY_SIZE;
  record->Entries = (VXDBEntry *)TAP_MemAlloc(entryBytes);
  if (!record->Entries || !ReadAll(fd, record->Entries, entryBytes))
    return 0;
  record->Text = (char *)TAP_MemAlloc((dword)h.TextLength);
  if (!record->Text || !ReadAll(fd, record->Text, (dword)h.TextLength))
    return 0;
  if (VXDBCheckBody((const uint8_t *)record->Entries, h.NrEntries, (const uint8_t *)record->Text, h.TextLength,
                    NULL) != VXDB_OK)
    return 0;
  for (int32_t i = 0; i < h.NrEntries; i++) {
    VXDBDecodeEntry((const uint8_t *)&record->Entries[i], &record->Entries[i]);
    record->Entries[i].Reserved = 0; /* in memory it says what this run knows */
  }
  return 1;
}

/* The path of the notes beside a catalogue, with a suffix; 0 when it does
 * not fit. */
static int NotesPath(const char *catalogue, const char *suffix, char *out)
{
  const char *slash = strrchr(catalogue, '/');
  int folder = slash ? (int)(slash - catalogue) + 1 : 0;
  return StrFormat(out, PATH_SIZE, "%.*s%s%s", folder, catalogue, VXDB_NOTES_NAME, suffix) < PATH_SIZE;
}

/* The notes beside a catalogue just loaded, into its entries.  None there:
 * nothing to note.  Notes that cannot be read or do not fit it leave
 * nothing of it to trust as read whole and unchanged. */
static void LoadNotes(const char *catalogue, VXDB *record)
{
  char path[PATH_SIZE];
  byte raw[VXDB_SAVE_BATCH * VXDB_NOTE_SIZE];
  struct stat64 st;
  uint32_t count = 0, index, crc, kinds;
  int fd = NotesPath(catalogue, "", path) ? open(path, O_RDONLY | O_NONBLOCK | O_NOFOLLOW) : -1;
  if (fd < 0 && errno == ENOENT)
    return;
  int ok = fd >= 0 && fstat64(fd, &st) == 0 && S_ISREG(st.st_mode) && ReadAll(fd, raw, VXDB_NOTES_HEADER_SIZE) &&
           VXDBCheckNotesHeader(raw, (uint64_t)st.st_size, record->BackupDate, record->NrEntries, &count);
  for (uint32_t done = 0; ok && done < count;) {
    uint32_t n = count - done < VXDB_SAVE_BATCH ? count - done : VXDB_SAVE_BATCH;
    ok = ReadAll(fd, raw, n * VXDB_NOTE_SIZE);
    for (uint32_t k = 0; ok && k < n; k++) {
      VXDBDecodeNote(raw + k * VXDB_NOTE_SIZE, &index, &crc, &kinds);
      ok = index < (uint32_t)record->NrEntries && record->Entries[index].PathCRC == crc;
      if (ok)
        record->Entries[index].Reserved |= (kinds << ENTRY_NOTE_SHIFT) & ENTRY_NOTES;
    }
    done += n;
  }
  if (fd >= 0)
    close(fd);
  if (!ok)
    for (int32_t i = 0; i < record->NrEntries; i++)
      record->Entries[i].Reserved |= ENTRY_CHANGED;
}

int LoadVXDB(const char *path, VXDB *record)
{
  CallTraceEnter("LoadVXDB");
  FreeVXDB(record);
  int ok = 0;
  if (path && record) {
    /* Non-blocking: a FIFO under the destination root must not hang the
     * lookup; LoadVXDBFrom reads regular files only. */
    int fd = open(path, O_RDONLY | O_NONBLOCK);
    if (fd >= 0) {
      ok = LoadVXDBFrom(fd, record);
      close(fd);
    }
    if (ok)
      LoadNotes(path, record);
    else
      FreeVXDB(record);
  }
  CallTraceExit(NULL);
  return ok;
}

static int SaveVXDBTo(int fd, VXDB *record)
{
  byte raw[VXDB_SAVE_BATCH * VXDB_ENTRY_SIZE];
  VXDBHeader h;

  memcpy(h.Magic, record->Magic, sizeof h.Magic);
  h.Version = record->Version;
  h.BackupDate = record->BackupDate;
  h.EntriesAllocated = record->EntriesAllocated;
  h.NrEntries = record->NrEntries;
  h.EntriesRef = 0; /* the reference words mean nothing on disk */
  h.TextAllocated = record->TextAllocated;
  h.TextLength = record->TextLength;
  h.TextRef = 0;
  VXDBEncodeHeader(&h, raw);
  if (!WriteAll(fd, raw, VXDB_HEADER_SIZE))
    return 0;
  for (int32_t i = 0; i < record->NrEntries;) {
    int32_t n = 0;
    for (; n < VXDB_SAVE_BATCH && i < record->NrEntries; n++, i++) {
      VXDBEntry e = record->Entries[i];
      e.Reserved = 0; /* what it says in memory goes to the notes */
      VXDBEncodeEntry(&e, raw + n * VXDB_ENTRY_SIZE);
    }
    if (!WriteAll(fd, raw, (dword)n * VXDB_ENTRY_SIZE))
      return 0;
  }
  if (record->Text && !WriteAll(fd, record->Text, (dword)record->TextLength))
    return 0;
  return fsync(fd) == 0;
}

/* Written beside the old catalogue, synced, renamed over it, and its folder
 * synced: "VXDB.db" is always either the old or the whole new catalogue, and
 * once this returns 1 it stays the new one through a power cut. */
int SaveVXDB(const char *path, VXDB *record)
{
  CallTraceEnter("SaveVXDB");
  char temp[PATH_SIZE];
  int ok = 0;

  if (!path || !record) {
    CallTraceExit(NULL);
    return 0;
  }
  memcpy(record->Magic, VXDB_MAGIC, sizeof record->Magic);
  record->Version = VXDB_VERSION;
  record->BackupDate = LastBackup;
  if (StrFormat(temp, sizeof temp, "%s%s", path, VXDB_SAVE_SUFFIX) < (int)sizeof temp) {
    (void)unlink(temp);
    int fd = open(temp, O_WRONLY | O_CREAT | O_EXCL, 0777);
    if (fd >= 0) {
      ok = SaveVXDBTo(fd, record);
      ok = close(fd) == 0 && ok;
      ok = ok && rename(temp, path) == 0;
      if (!ok)
        (void)unlink(temp);
      ok = ok && SyncFolderOf(path);
    }
  }
  if (!ok)
    WriteLog((char *)"Failed to save the Vaultrix database");
  CallTraceExit(NULL);
  return ok;
}

static int WriteNotes(int fd, const VXDB *record, uint32_t count)
{
  byte raw[VXDB_SAVE_BATCH * VXDB_NOTE_SIZE];
  VXDBEncodeNotesHeader(record->BackupDate, record->NrEntries, count, raw);
  if (!WriteAll(fd, raw, VXDB_NOTES_HEADER_SIZE))
    return 0;
  uint32_t n = 0;
  for (int32_t i = 0; i < record->NrEntries; i++) {
    uint32_t kinds = (record->Entries[i].Reserved & ENTRY_NOTES) >> ENTRY_NOTE_SHIFT;
    if (kinds)
      VXDBEncodeNote((uint32_t)i, record->Entries[i].PathCRC, kinds, raw + VXDB_NOTE_SIZE * n++);
    if (n == VXDB_SAVE_BATCH || (n > 0 && i == record->NrEntries - 1)) {
      if (!WriteAll(fd, raw, n * VXDB_NOTE_SIZE))
        return 0;
      n = 0;
    }
  }
  return fsync(fd) == 0;
}

/* The notes of a catalogue about to be saved at path, before it and as
 * durably: written beside, synced, renamed, the folder synced.  With
 * nothing to note, none stands there. */
static int SaveNotes(const char *catalogue, const VXDB *record)
{
  char path[PATH_SIZE], temp[PATH_SIZE];
  uint32_t count = 0;
  for (int32_t i = 0; i < record->NrEntries; i++)
    count += (record->Entries[i].Reserved & ENTRY_NOTES) != 0;
  if (!NotesPath(catalogue, "", path) || !NotesPath(catalogue, VXDB_SAVE_SUFFIX, temp))
    return 0;
  if (count == 0)
    return unlink(path) == 0 ? SyncFolderOf(path) : errno == ENOENT;
  (void)unlink(temp);
  int fd = open(temp, O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW, 0666);
  if (fd < 0)
    return 0;
  int ok = WriteNotes(fd, record, count);
  ok = close(fd) == 0 && ok;
  ok = ok && rename(temp, path) == 0;
  if (!ok)
    (void)unlink(temp);
  return ok && SyncFolderOf(path);
}

/* Today's catalogue under the name that says whether its backup is
 * complete, its notes first; the other name, left by an earlier attempt of
 * the day, goes once the new one stands, so that the folder holds one
 * catalogue. */
int SaveTodaysCatalogue(VXDB *record, int complete)
{
  char path[PATH_SIZE], other[PATH_SIZE];
  const char *name = complete ? VXDB_FILE_NAME : VXDB_PARTIAL_NAME;
  const char *otherName = complete ? VXDB_PARTIAL_NAME : VXDB_FILE_NAME;
  if (StrFormat(path, sizeof path, "%s%s", DestRoot, name) >= (int)sizeof path ||
      StrFormat(other, sizeof other, "%s%s", DestRoot, otherName) >= (int)sizeof other)
    return 0;
  record->BackupDate = LastBackup; /* as SaveVXDB sets it: the notes name the catalogue by it */
  if (!SaveNotes(path, record)) {
    WriteLog((char *)"Failed to save the Vaultrix database");
    return 0;
  }
  if (!SaveVXDB(path, record))
    return 0;
  if (unlink(other) == 0)
    (void)SyncFolderOf(other); /* at worst both stand, and the lookup prefers the complete one */
  return 1;
}

int32_t AddTextToVXDB(const char *text, VXDB *record)
{
  CallTraceEnter("AddTextToVXDB");
  if (!text || !record) {
    CallTraceExit(NULL);
    return -1;
  }
  dword hash = TextHash(text);
  VXDBIndex *index = ValidIndex(TextIndexes, record, record->Text, record->TextLength);
  if (record->TextAllocated >= 1 && record->TextLength >= 1) {
    int32_t at = index ? FindTextIndexed(index, record, text, hash) : FindTextLinear(record, text);
    if (at >= 0) {
      CallTraceExit(NULL);
      return at;
    }
  }
  int32_t length = (int32_t)strlen(text);
  int32_t used = record->TextLength;
  if (used + length + 2 >= record->TextAllocated) {
    int32_t size = used + length + VXDB_TEXT_STEP;
    char *grown = (uint64_t)used + (uint64_t)length + VXDB_TEXT_STEP <= VXDB_MAX_BODY ? (char *)TAP_MemAlloc((dword)size)
                                                                                    : NULL;
    if (!grown) {
      LOGF("Failed to increase the VDXD text to %d characters!", (int)size);
      State = STATE_FINISH;
      CallTraceExit(NULL);
      return -1;
    }
    memset(grown, 0, (dword)size);
    if (record->TextAllocated > 0) {
      memcpy(grown, record->Text, (dword)used);
      TAP_MemFree(record->Text);
    }
    record->TextAllocated = size;
    record->Text = grown;
  }
  memcpy(record->Text + used, text, (dword)length + 1);
  record->TextLength += length + 1;
  IndexNewText(index, record, used, hash);
  CallTraceExit(NULL);
  return used;
}

/* A source file under a name the plug-in writes beside a catalogue would be
 * overwritten by it, or taken for one of its markers.  Letter case is
 * ignored: on a FAT disk vxdb.db is VXDB.db. */
int ReservedName(const char *name)
{
  return VXDBReservedName(name, strlen(name));
}

/* A new entry at the end of the record, zeroed; none when the catalogue
 * cannot grow, which ends the run. */
static VXDBEntry *NewEntry(VXDB *record)
{
  if (record->NrEntries >= record->EntriesAllocated) {
    int32_t slots = record->EntriesAllocated + VXDB_ENTRY_STEP;
    uint64_t bytes = (uint64_t)slots * VXDB_ENTRY_SIZE;
    VXDBEntry *grown = bytes <= VXDB_MAX_BODY ? (VXDBEntry *)TAP_MemAlloc((dword)bytes) : NULL;
    if (!grown) {
      LOGF("Failed to increase the VDXD to %d entries!", (int)slots);
      State = STATE_FINISH;
      return NULL;
    }
    memset(grown, 0, (dword)bytes);
    if (record->EntriesAllocated > 0) {
      memcpy(grown, record->Entries, (dword)record->NrEntries * VXDB_ENTRY_SIZE);
      TAP_MemFree(record->Entries);
    }
    record->Entries = grown;
    record->EntriesAllocated = slots;
  }
  VXDBEntry *entry = &record->Entries[record->NrEntries];
  memset(entry, 0, sizeof *entry);
  return entry;
}

/* The entry's CRC, folder ("/a/b/", or none at the top) and name from its
 * relative path, whose folder part fits a path buffer; then it counts. */
static void NameEntry(VXDB *record, VXDBEntry *entry, const char *relative)
{
  char folder[PATH_SIZE];
  const char *slash = strrchr(relative, '/'), *name = relative;
  entry->PathCRC = CRC32(0, relative, (dword)strlen(relative));
  if (slash) {
    size_t n = (size_t)(slash - relative) + 1;
    memcpy(folder, relative, n);
    folder[n] = 0;
    entry->FolderOffset = AddTextToVXDB(folder, record);
    name = slash + 1;
  }
  entry->NameOffset = AddTextToVXDB(name, record);
  record->NrEntries++;
}

const char *ReadFailure(int err)
{
  static char other[24];
  switch (err) {
  case EUCLEAN: return "the disk's record of it is damaged";
  case EIO: return "input/output error";
  case EACCES:
  case EPERM: return "permission denied";
  case ELOOP: return "too many links";
  case EOVERFLOW: return "too large to look at";
  default:
    StrFormat(other, sizeof other, "error %d", err);
    return other;
  }
}

/* A path the scan cannot take, cut to what any file of the backup may be:
 * SourceRoot and it fit a path buffer, so that every reader of the
 * catalogue takes it.  Listed once: two names cut to one stay one entry,
 * unless the caller knows the path is not listed yet (each lookup costs a
 * pass over the catalogue while it grows). */
void AppendRefused(const char *folder, const char *name, int isFolder, int unique, VXDB *record)
{
  char relative[PATH_SIZE], parent[PATH_SIZE];
  size_t most = PATH_SIZE - 1 - strlen(SourceRoot);
  StrFormat(relative, sizeof relative, "%s%s", folder, name);
  size_t length = strlen(relative);
  if (length > most) {
    relative[length = most] = 0;
    unique = 0; /* cut, it may meet another cut the same */
  }
  while (length > 1 && relative[length - 1] == '/')
    relative[--length] = 0;
  const char *slash = strrchr(relative, '/');
  if (!slash || !slash[1])
    return;
  size_t cut = (size_t)(slash - relative) + 1;
  memcpy(parent, relative, cut);
  parent[cut] = 0;
  VXDBEntry probe;
  memset(&probe, 0, sizeof probe);
  probe.PathCRC = CRC32(0, relative, (dword)length);
  VXDBEntry *listed = unique ? NULL : (VXDBEntry *)FindPrevious(record, &probe, parent, slash + 1);
  if (listed) {
    if (isFolder && (listed->Reserved & ENTRY_REFUSED))
      listed->Reserved |= ENTRY_FOLDER; /* a cut name: what is below it is not backed up either */
    return;
  }
  VXDBEntry *entry = NewEntry(record);
  if (!entry)
    return;
  entry->Reserved = ENTRY_REFUSED | (isFolder ? ENTRY_FOLDER : 0);
  NameEntry(record, entry, relative);
}

/* path must be SourceRoot followed by the file's relative path.  The scan
 * lists without hashing: the copy pass hashes the bytes it reads.  What it
 * cannot take is listed as not backed up, and counted. */
VXDBEntry *AppendEntry(const char *path, VXDB *record, int hash)
{
  CallTraceEnter("AddToVXDB");
  struct stat64 st;
  size_t rootLength = strlen(SourceRoot);

  if (!record || !path || strncmp(path, SourceRoot, rootLength) != 0) {
    CallTraceExit(NULL);
    return NULL;
  }
  const char *relative = path + rootLength;
  const char *slash = strrchr(relative, '/');
  int refused = 0;
  if (lstat64(path, &st) != 0) {
    /* Gone since it was listed: nothing to back up.  Anything else is a
     * file the disk holds and cannot show, such as a damaged inode. */
    if (errno == ENOENT) {
      CallTraceExit(NULL);
      return NULL;
    }
    LOGF("Cannot read, not backed up (%s): '%s'", ReadFailure(errno), path);
    refused = 1;
  } else if (!S_ISREG(st.st_mode)) {
    /* Listed as a file, but replaced since: a FIFO or device is never read. */
    LOGF("Not a regular file, not backed up: '%s'", path);
    TotalSkippedEntries++;
    CallTraceExit(NULL);
    return NULL;
  } else if (relative[0] == '/' && ReservedName(relative + 1)) {
    LOGF("Name reserved for the catalogue, not backed up: '%s'", path);
    refused = 1;
  } else if (slash && (size_t)(slash - relative) + 1 >= PATH_SIZE) {
    LOGF("Path too long, not backed up: '%s'", path);
    refused = 1;
  }
  if (refused) {
    TotalRefusedPaths++;
    AppendRefused("", relative, 0, 0, record);
    CallTraceExit(NULL);
    return NULL;
  }
  VXDBEntry *entry = NewEntry(record);
  if (!entry) {
    CallTraceExit(NULL);
    return NULL;
  }
  entry->ChangeTime = (int32_t)st.st_ctime;
  entry->ModifyTime = (int32_t)st.st_mtime;
  entry->FileSize = (uint64_t)st.st_size;
  if (hash)
    (void)MD5AbsFile(path, entry->MD5); /* unreadable: the digest stays zero */
  NameEntry(record, entry, relative);
  entry = &record->Entries[record->NrEntries - 1];
  CallTraceExit(NULL);
  return entry;
}

VXDBEntry *AddToVXDB(const char *path, VXDB *record)
{
  return AppendEntry(path, record, 1);
}


int GoodCopy(const VXDBEntry *e)
{
  return VXDBGoodCopy(e->MD5, (e->Reserved & ENTRY_NOTES) >> ENTRY_NOTE_SHIFT) &&
         !(e->Reserved & (ENTRY_REFUSED | ENTRY_TO_PROVE | ENTRY_DAMAGED));
}

/* An entry whose file the backup holds; the all-zero digest marks one that
 * was listed but not backed up. */
int BackedUp(const VXDBEntry *e)
{
  static const byte unread[16] = {0};
  return TAP_MemCmp(e->MD5, unread, sizeof unread) != 0;
}

/* An entry leaves the catalogue; the rest keep their order. */
void DropEntry(VXDB *record, int32_t index)
{
  if (index < 0 || index >= record->NrEntries)
    return;
  memmove(&record->Entries[index], &record->Entries[index + 1],
          (size_t)(record->NrEntries - index - 1) * sizeof record->Entries[0]);
  record->NrEntries--;
}

/* folder + name of one entry; both offsets were checked when the catalogue
 * was built or loaded. */
const char *EntryText(const VXDB *db, int32_t offset)
{
  return db->Text && offset >= 0 && offset < db->TextLength ? db->Text + offset : "";
}

static int SameJoined(const char *a1, const char *a2, const char *b1, const char *b2)
{
  for (;;) {
    if (!*a1)
      a1 = a2, a2 = "";
    if (!*b1)
      b1 = b2, b2 = "";
    if (*a1 != *b1)
      return 0;
    if (!*a1)
      return 1;
    a1++, b1++;
  }
}

/* The earlier entry of the same file: equal path CRC and, against CRC
 * collisions, equal relative path; the first such entry in catalogue order. */
static int SamePath(const VXDB *previous, const VXDBEntry *p, const VXDBEntry *e, const char *folder,
                    const char *name)
{
  return p->PathCRC == e->PathCRC &&
         SameJoined(EntryText(previous, p->FolderOffset), EntryText(previous, p->NameOffset), folder, name);
}

const VXDBEntry *FindPrevious(const VXDB *previous, const VXDBEntry *e, const char *folder, const char *name)
{
  const VXDBIndex *index = EntryIndexOf(previous);
  if (index) {
    for (dword at = Mix(e->PathCRC) & index->Mask; index->Slots[at] >= 0; at = (at + 1) & index->Mask)
      if (SamePath(previous, &previous->Entries[index->Slots[at]], e, folder, name))
        return &previous->Entries[index->Slots[at]];
    return NULL;
  }
  for (int32_t k = 0; k < previous->NrEntries; k++)
    if (SamePath(previous, &previous->Entries[k], e, folder, name))
      return &previous->Entries[k];
  return NULL;
}
