/* The copy pass: the catalogue's entries taken one after another (the entry
 * in hand is CopyEntry.cpp's), a file that changed while it was read taken
 * again after the others, and the summary.  When the pass is over, every
 * entry describes the file the folder holds, or has the all-zero digest of
 * a file not backed up; entries of files not taken at all have left the
 * catalogue.  State: the pass's progress and its totals. */
#include <string.h>

#include "Vaultrix.h"

extern "C" {
int32_t TotalCopiedFiles, TotalLinkedFiles, TotalLinkTries, TotalLinkFailures, TotalCopyFailures;
uint64_t TotalCopiedSize, TotalLinkedSize, TotalCopyFailureSize;
int32_t TotalQuickFiles, TotalCheckedCopies, TotalSilentChanges, TotalDamagedCopies;
uint64_t TotalQuickSize, TotalCheckedSize;
int32_t TotalRefusedNames, TotalChangedWhileRead;
}


enum { PASS_START = 0, PASS_COPYING = 1, PASS_FINISHED = 2 };

static void CountCopy(int copied, uint64_t size)
{
  if (copied) {
    TotalCopiedFiles++;
    TotalCopiedSize += size;
  } else {
    TotalCopyFailures++;
    TotalCopyFailureSize += size;
  }
}

/* The summary of an entry done with. */
static void CountEntry(void)
{
  switch (Job.Outcome) {
  case ENTRY_LINKED:
    TotalLinkedFiles++;
    TotalLinkedSize += Job.Scanned;
    TotalQuickFiles += Job.Quick;
    TotalQuickSize += Job.Quick ? Job.Scanned : 0;
    break;
  case ENTRY_COPIED:
    CountCopy(1, Job.Scanned);
    TotalLinkFailures += Job.LinkFailed;
    break;
  case ENTRY_SKIPPED:
    TotalSkippedEntries++;
    break;
  case ENTRY_UNPROVEN:
    TotalLinkFailures += Job.LinkFailed; /* counted as copied once proven */
    break;
  case ENTRY_NO_ROOM:
  case ENTRY_AGAIN:
  case ENTRY_WAIT:
  case ENTRY_RECLAIM:
    break;
  default:
    CountCopy(0, Job.Scanned);
    TotalRefusedNames += Job.Refused;
    break;
  }
}

/* The pass's place: the entry in hand, and the sweep over the catalogue,
 * 0 for every entry, then 1 to REREADS for the entries read that many
 * times, of which Requeued were put back in this sweep. */
static int32_t Index, Sweep, Requeued;

/* Whether an entry is read in this sweep: never one the scan refused. */
static int DueNow(const VXDBEntry *e)
{
  return !(e->Reserved & ENTRY_REFUSED) && (e->Reserved & ENTRY_SWEEP) == (uint32_t)Sweep;
}

/* Moves Index to the next entry of this sweep, or of the next; 0 when
 * there is none. */
static int NextEntry(const VXDB *current)
{
  for (;;) {
    while (Index < current->NrEntries && !DueNow(&current->Entries[Index]))
      Index++;
    if (Index < current->NrEntries)
      return 1;
    if (Requeued == 0)
      return 0;
    Sweep++;
    Index = 0;
    Requeued = 0;
  }
}

/* An entry done with: counted, and gone from the catalogue when it turned
 * out to be no file.  One that waits for the second of its stamps, or for
 * room, stays in hand. */
static void FinishEntry(VXDB *current)
{
  VXDBEntry *e = &current->Entries[Index];
  CountEntry();
  switch (Job.Outcome) {
  case ENTRY_NO_ROOM:
  case ENTRY_WAIT:
  case ENTRY_RECLAIM:
    return;
  case ENTRY_UNPROVEN:
    e->Reserved = (e->Reserved & ~ENTRY_SWEEP) | ENTRY_TO_PROVE | (uint32_t)(Sweep + 1);
    /* fall through */
  case ENTRY_AGAIN:
    Requeued++;
    Index++;
    return;
  }
  e->Reserved &= ~(ENTRY_SWEEP | ENTRY_TO_PROVE);
  if (Job.Outcome == ENTRY_SKIPPED)
    DropEntry(current, Index);
  else
    Index++;
}

/* The free-space reserve stopped the pass: the entries it did not take,
 * and those waiting to be read again, stay listed as not backed up; a copy
 * that waited to be proven stays, noted as possibly inconsistent. */
static void LeaveUntaken(VXDB *current)
{
  for (int32_t k = 0; k < current->NrEntries; k++) {
    VXDBEntry *e = &current->Entries[k];
    int untaken = (Sweep == 0 && k >= Index) || (e->Reserved & ENTRY_SWEEP) != 0;
    if (!untaken || (e->Reserved & ENTRY_REFUSED))
      continue;
    if (e->Reserved & ENTRY_TO_PROVE) {
      LOGF("Not read again, copy may be inconsistent: %s%s%s", SourceRoot, EntryText(current, e->FolderOffset),
           EntryText(current, e->NameOffset));
      e->Reserved |= ENTRY_CHANGED;
    } else {
      memset(e->MD5, 0, sizeof e->MD5);
    }
    e->Reserved &= ~(ENTRY_SWEEP | ENTRY_TO_PROVE);
  }
}

static int32_t DoBackupState;

static void ZeroTotals(void)
{
  TotalCopiedFiles = TotalLinkedFiles = TotalLinkTries = TotalLinkFailures = TotalCopyFailures = 0;
  TotalCopiedSize = TotalLinkedSize = TotalCopyFailureSize = 0;
  TotalQuickFiles = TotalCheckedCopies = TotalSilentChanges = TotalDamagedCopies = 0;
  TotalQuickSize = TotalCheckedSize = 0;
  TotalRefusedNames = TotalChangedWhileRead = 0;
}

/* A pass cut short (the destination gone, the run stopped) closes what it
 * held open; what it wrote stays in its unfinished folder, and the next
 * pass starts from the first entry. */
void ResetCopyPass(void)
{
  ResetEntry(DoBackupState != PASS_START);
  Index = Sweep = Requeued = 0;
  DoBackupState = PASS_START;
  ZeroTotals();
}

int DoBackup(VXDB *current, VXDB *previous)
{
  CallTraceEnter("DoBackup");
  char size[16];
  int done = 0;

  switch (DoBackupState) {
  case PASS_START:
    DoBackupState = PASS_COPYING;
    Index = Sweep = Requeued = 0;
    StartEntries();
    ZeroTotals();
    StartQuickCheck(previous);
    /* What the scan could not take is missing from this backup too. */
    TotalCopyFailures = TotalRefusedPaths;
    /* Every digest comes from this pass: an entry it does not take keeps
     * the zero digest of a file not backed up. */
    for (int32_t k = 0; k < current->NrEntries; k++) {
      memset(current->Entries[k].MD5, 0, sizeof current->Entries[k].MD5);
      current->Entries[k].Reserved &= ENTRY_REFUSED | ENTRY_FOLDER;
    }
    break;

  case PASS_COPYING:
    StartEntryEvent();
    if (Job.Reading == READ_WRITTEN) {
      CommitCopy();
      FinishEntry(current);
      if (Job.Outcome == ENTRY_RECLAIM) {
        AskReclaim();
        break;
      }
      if (OutOfTime())
        break;
    }
    if (Job.Reading == READ_NONE && (DestNearlyFull || !NextEntry(current))) {
      if (DestNearlyFull)
        LeaveUntaken(current);
      CloseSourceFolder();
      EndQuickCheck();
      DoBackupState = PASS_FINISHED;
      break;
    }
    if (Job.Reading == READ_NONE)
      BeginEntry(current, previous, &current->Entries[Index]);
    ContinueEntry();
    if (Job.Reading == READ_NONE)
      FinishEntry(current);
    if (Job.Outcome == ENTRY_RECLAIM)
      AskReclaim();
    break;

  case PASS_FINISHED:
    FileSizeToString((dword)TotalCopiedSize, (dword)(TotalCopiedSize >> 32), size);
    LOGF("Copied: %d files, %s", (int)TotalCopiedFiles, size);
    FileSizeToString((dword)TotalLinkedSize, (dword)(TotalLinkedSize >> 32), size);
    StrFormat(LogString, sizeof LogString, "DeDupe: %d files, %s", (int)TotalLinkedFiles, size);
    if (TotalLinkFailures > 0) {
      size_t len = strlen(LogString);
      StrFormat(LogString + len, sizeof LogString - len, " (%d of %d hard links failed)", (int)TotalLinkFailures,
                (int)TotalLinkTries);
    }
    WriteLog(LogString);
    if (TotalCopyFailures != 0) {
      FileSizeToString((dword)TotalCopyFailureSize, (dword)(TotalCopyFailureSize >> 32), size);
      LOGF("Failed: %d files, %s", (int)TotalCopyFailures, size);
    }
    if (TotalRefusedFolders != 0)
      LOGF("Failed: %d folders, nothing in them backed up", (int)TotalRefusedFolders);
    if (TotalSkippedEntries != 0)
      LOGF("Skipped: %d entries", (int)TotalSkippedEntries);
    if (TotalQuickFiles != 0) {
      FileSizeToString((dword)TotalQuickSize, (dword)(TotalQuickSize >> 32), size);
      LOGF("Quick check: %d files unchanged, not read, %s", (int)TotalQuickFiles, size);
    }
    if (TotalCheckedCopies != 0) {
      FileSizeToString((dword)TotalCheckedSize, (dword)(TotalCheckedSize >> 32), size);
      LOGF("Checked: %d earlier copies, %s", (int)TotalCheckedCopies, size);
    }
    if (TotalSilentChanges != 0)
      LOGF("Changed without a new time stamp: %d files", (int)TotalSilentChanges);
    if (TotalDamagedCopies != 0)
      LOGF("Damaged backup copies replaced: %d files", (int)TotalDamagedCopies);
    if (TotalChangedWhileRead != 0)
      LOGF("Changed while read: %d files", (int)TotalChangedWhileRead);
    done = 1;
    break;
  }
  CallTraceExit(NULL);
  return done;
}
