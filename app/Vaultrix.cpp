/* Vaultrix: a dated, de-duplicated daily backup of /ProgramFiles, taken in
 * small steps on the recorder's idle events.  This file holds the entry
 * points and the state machine that walks a backup through its stages (see
 * Vaultrix.h), and, with BackupTime set, stays loaded between daily backups.
 * State: the state, the wait's deadlines, the stop guard, the daily
 * schedule. */
#include <string.h>

#include "Vaultrix.h"

#define PROGRAM_VERSION "Vaultrix V1.0"
#define WAIT_TICKS 30000
#define PROBE_TICKS 500
/* While resident, the clock is read at most once a second. */
#define LOOK_TICKS 100

extern "C" {
dword State, StateTimeout, VXDidNASMount, LastBackup;
char SourceRoot[ROOT_SIZE], DestRoot[ROOT_SIZE], LastDestRoot[ROOT_SIZE];
char LogString[LOGSTRING_SIZE];
VXDB CurrentVXDB, LastVXDB;
}

/* Tick comparisons by difference, so that a wrap of the 32-bit counter
 * during the wait changes nothing. */
static int TickPassed(dword tick, dword deadline)
{
  return (int32_t)(tick - deadline) > 0;
}

static dword NextCheck;

/* The daily schedule, kept from one run to the next.  DailyAt: BackupTime
 * as the settings last read say, INI_TIME_UNSET for one backup per load.
 * DoneDay: the day of the last complete backup; TriedDay: the last day
 * whose backup began at or after its time.  NextLook: the tick after which
 * the clock is read again. */
static dword DailyAt = INI_TIME_UNSET, DoneDay, TriedDay, NextLook;

/* The state that follows the removal of expired backups, and whether that
 * removal makes room for a copy; the copy state's phase. */
static dword AfterRemoval;
static int Reclaiming, CopyPhase;

/* Every stage as at load, holding no memory and no handle: before each
 * backup, and before the wait for the next. */
static void ResetRun(void)
{
  ResetSettings();
  ResetDestination();
  ResetScan();
  FreeVXDB(&CurrentVXDB);
  FreeVXDB(&LastVXDB);
  ResetLookup();
  ResetDatedFolder();
  ResetDiskProbe();
  ResetReserve();
  ResetQuickCheck();
  ResetCopyPass();
  ResetRemoval();
  StateTimeout = NextCheck = VXDidNASMount = LastBackup = AfterRemoval = 0;
  Reclaiming = CopyPhase = 0;
  SourceRoot[0] = DestRoot[0] = LastDestRoot[0] = 0;
}

static void StartWait(void)
{
  StateTimeout = TAP_GetTick() + WAIT_TICKS;
  State = STATE_WAIT;
  /* Probe on the very next idle event. */
  NextCheck = TAP_GetTick() - 1;
}

static void StepStart(void)
{
  word mjd;
  byte hour, minute, second;
  dword began = DailyAt; /* the time that started this run, if any */

  ResetRun();
  if (LoadINI())
    DailyAt = INIBackupTime;
  TAP_GetTime(&mjd, &hour, &minute, &second);
  if ((dword)hour * 60 + minute >= began || (dword)hour * 60 + minute >= DailyAt)
    TriedDay = mjd;
  if ((dword)mjd == INILastBackup) {
    WriteLog((char *)"Today's backup has been done already.");
    State = STATE_FINISH;
    return;
  }
  LastBackup = Now(NULL);
  StrCopy(SourceRoot, sizeof SourceRoot, "/mnt/hd/ProgramFiles");
  State = STATE_SCAN;
  LowerCase(INIDestDevice);
  switch (INIDestDevice[0]) {
  case 'i':
    PrepareInternalDest();
    break;
  case 'e':
    if (!ExtDestPathFits()) {
      State = STATE_FINISH;
      break;
    }
    if (!FindExtBackupDisk(DestRoot))
      WriteLog((char *)"Destination: external disk not found, waiting up to 3 minutes");
    StartWait();
    break;
  case 'n':
    if (!FindNASDisk(DestRoot)) {
      WriteLog((char *)"Destination: NAS not mounted, waiting up to 3 minutes");
      MountNAS();
    }
    StartWait();
    break;
  default:
    WriteLog((char *)"No valid destination, check Vaultrix.ini!");
    State = STATE_FINISH;
    break;
  }
}

static void StepWait(void)
{
  if (!TickPassed(TAP_GetTick(), NextCheck))
    return;
  if (INIDestDevice[0] == 'e' && FindExtBackupDisk(DestRoot)) {
    LOGF("Destination: external disk @ '%s'", DestRoot);
    NoteDestination();
    State = STATE_SCAN;
  } else if (INIDestDevice[0] == 'n' && FindNASDisk(DestRoot)) {
    LOGF("Destination: NAS @ '%s'", DestRoot);
    NoteDestination();
    State = STATE_SCAN;
  }
  if (State == STATE_SCAN)
    (void)RefuseDestInSource();
  if (TickPassed(TAP_GetTick(), StateTimeout)) {
    WriteLog((char *)"Destination: mount wait timeout!");
    State = STATE_FINISH;
  }
  NextCheck = TAP_GetTick() + PROBE_TICKS;
}

/* todayHeld: today's catalogue stands. */
static void RemoveThen(dword after, int todayHeld)
{
  AfterRemoval = after;
  Reclaiming = 0;
  State = StartRemoval(todayHeld, -1) ? (dword)STATE_REMOVE : after;
}

/* A copy found no room: expired backups go, a round at a time, and the
 * copy pass takes that copy up again. */
static void Reclaim(void)
{
  if (ReclaimRound() == 0)
    WriteLog((char *)"Destination full: expired backups are removed to make room");
  if (!StartRemoval(0, ReclaimRound())) {
    EndReclaim();
    return;
  }
  Reclaiming = 1;
  AfterRemoval = STATE_COPY;
  State = STATE_REMOVE;
}

/* A round that removed nothing is followed by the next at once. */
static void RemovalOver(void)
{
  if (Reclaiming) {
    int removed = RemovedBackups();
    Reclaiming = 0;
    ReclaimDone(removed);
    if (!removed && MayReclaim()) {
      Reclaim();
      return;
    }
  }
  State = AfterRemoval;
}

static void StepScan(void)
{
  word year;
  byte month, day, weekday;

  if (!RecursiveScan())
    return;
  FindLastBackup(&LastVXDB);
  TAP_ExtractMjd((word)(LastBackup >> 16), &year, &month, &day, &weekday);
  char today[16];
  StrFormat(today, sizeof today, "%4.4d-%2.2d-%2.2d", year, month, day);
  if (RefuseLaterBackup(today))
    return;
  size_t len = strlen(DestRoot);
  if (StrFormat(DestRoot + len, sizeof DestRoot - len, "%s/", today) >= (int)(sizeof DestRoot - len)) {
    DestRoot[len] = 0;
    WriteLog((char *)"Destination path too long for the dated folder!");
    State = STATE_FINISH;
    return;
  }
  if (!MakeDatedFolder(len)) {
    State = STATE_FINISH;
    return;
  }
  ProbeDestination(DestRoot);
  /* Expired backups make room first rather than the reserve stopping us. */
  if (SpaceShort())
    RemoveThen(STATE_COPY, 0);
  else
    State = STATE_COPY;
}

/* 1 once the copy pass is over and this backup holds every file the scan
 * listed, but for those refused at every backup (logged each time), which
 * would otherwise keep every backup incomplete for good. */
static int BackupComplete(void)
{
  return !ScanIncomplete && !DestNearlyFull && TotalCopyFailures == TotalRefusedPaths + TotalRefusedNames;
}

/* The copies, then the catalogue that lists them, then the date that marks
 * the day done: a day whose catalogue could not be saved, or that is not
 * complete, is tried again at the next load.  1 when the day was marked
 * done. */
static int SaveBackup(void)
{
  int complete = BackupComplete();
  if (!SaveTodaysCatalogue(&CurrentVXDB, complete)) {
    WriteLog((char *)"Backup date not saved: the catalogue could not be saved.");
    return 0;
  }
  ClearUnfinished();
  SaveShare();
  if (!complete) {
    WriteLog((char *)"Backup incomplete, the next load tries again");
    return 0;
  }
  INIUpdateBackupDate();
  return 1;
}

enum { COPY_PASS = 0, COPY_TIDY, COPY_FLUSH, COPY_SAVE };

static void StepCopy(void)
{
  if (!DestinationThere()) {
    LOGF("Destination vanished: '%s', backup stopped.", DestRoot);
    State = STATE_FINISH;
    return;
  }
  switch (CopyPhase) {
  case COPY_PASS:
    /* A rerun's catalogue lists only what it copied: the rest goes first. */
    if (DoBackup(&CurrentVXDB, &LastVXDB)) {
      StartFlush();
      CopyPhase = StartTidy() ? COPY_TIDY : COPY_FLUSH;
    } else if (ReclaimAsked()) {
      Reclaim();
    }
    break;
  case COPY_TIDY:
    if (StepRemove())
      CopyPhase = COPY_FLUSH;
    break;
  case COPY_FLUSH:
    switch (StepFlush()) {
    case 1: CopyPhase = COPY_SAVE; break;
    case -1:
      WriteLog((char *)"Backup not saved: its copies could not be written to the disk.");
      State = STATE_FINISH;
      break;
    }
    break;
  case COPY_SAVE:
    /* Old backups go only after a complete one. */
    if (SaveBackup())
      RemoveThen(STATE_FINISH, 1);
    else
      State = STATE_FINISH;
    break;
  }
}

/* Whatever ends the plug-in, a share this run mounted goes with it. */
static void LeaveShare(void)
{
  if (VXDidNASMount)
    UnmountNAS();
  VXDidNASMount = 0;
}

/* Due on a day that has neither a complete backup nor a run begun at its
 * time, once its time has come.  Judged by the clock's date, so that a
 * clock set forward or back neither skips a day nor repeats one. */
static int BackupDue(word mjd, byte hour, byte minute)
{
  return (dword)hour * 60 + minute >= DailyAt && mjd != DoneDay && mjd != TriedDay;
}

static void StartSleep(void)
{
  word mjd;
  byte hour, minute, second;
  TAP_GetTime(&mjd, &hour, &minute, &second);
  dword next = mjd != DoneDay && mjd != TriedDay ? mjd : (dword)mjd + 1;
  LOGF("Next backup at %s", TimeFormat(next << 16 | (DailyAt / 60) << 8 | DailyAt % 60, 0, 4));
  NextLook = TAP_GetTick();
  State = STATE_SLEEP;
}

/* An idle event in the wait costs a tick comparison. */
static void StepSleep(void)
{
  word mjd;
  byte hour, minute, second;
  dword now = TAP_GetTick();
  if (!TickPassed(now, NextLook))
    return;
  NextLook = now + LOOK_TICKS;
  TAP_GetTime(&mjd, &hour, &minute, &second);
  if (BackupDue(mjd, hour, minute))
    State = STATE_START;
}

static void StepFinish(void)
{
  LeaveShare();
  if (DailyAt == INI_TIME_UNSET) {
    WriteLog((char *)"Exiting");
    TAP_Exit();
    return;
  }
  DoneDay = INILastBackup;
  ResetRun();
  StartSleep();
}

int TAP_Main(void)
{
  CallTraceInit();
  CallTraceEnable(0);
  CallTraceEnter("TAP_Main");
  StrFormat(LogString, sizeof LogString, "%s", PROGRAM_VERSION);
  WriteLog(LogString);
  CallTraceExit(NULL);
  return 1;
}

/* A stop that arrived while another event was being handled: the guard
 * turned it away, but the owner asked to stop, so the next event ends. */
static dword StopPending;

static void RememberStop(dword code)
{
  if (code == EVT_STOP)
    StopPending = 1;
}

dword TAP_EventHandler(dword event, dword param)
{
  static dword DoNotReenter;
  dword code = event & 0xFFFF;

  if (DoNotReenter) {
    RememberStop(code);
    return param;
  }
  if (StopPending)
    code = EVT_STOP;
  DoNotReenter = 1;
  CallTraceEnter("TAP_EventHandler");
  if (code == EVT_IDLE && State <= STATE_SLEEP) {
    switch (State) {
    case STATE_START: StepStart(); break;
    case STATE_WAIT: StepWait(); break;
    case STATE_SCAN: StepScan(); break;
    case STATE_COPY: StepCopy(); break;
    case STATE_REMOVE:
      if (StepRemove())
        RemovalOver();
      break;
    case STATE_FINISH: StepFinish(); break;
    case STATE_SLEEP: StepSleep(); break;
    }
  }
  if (code == EVT_STOP) {
    LeaveShare();
    TAP_Exit();
  }
  CallTraceExit(NULL);
  DoNotReenter = 0;
  return param;
}
