// "report": one self-contained HTML page about a destination (inline CSS and
// SVG, no script, nothing fetched), or a short summary on a terminal. The
// figures are those of stats, diff and verify; this file only draws them.
#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <cstdlib>
#include <fstream>
#include <iostream>
#include <map>
#include <sstream>
#include <sys/stat.h>
#include <unistd.h>

#include "Check.h"
#include "Commands.h"
#include "Diff.h"
#include "Files.h"
#include "Output.h"
#include "Stats.h"
#include "app/VXDBFormat.h"

namespace vxdb {
namespace {

constexpr size_t kTopFiles = 10;        // rows of the two file tables
constexpr size_t kNamedDamage = 100;    // damaged files named per day
constexpr int64_t kLongestGap = 30;     // missing days drawn before a gap is cut short

struct Verdict {
  bool checked = false;
  DayState state = DayState::kIntact;
  std::vector<std::string> named;  // "damaged: /path (detail)", raw bytes
};

struct Day {
  BackupStats stats;
  int64_t mjd = -1;  // the day on the timeline; -1 when it has no date
  bool compared = false;
  int added = 0, removed = 0, changed = 0;  // against the complete day before
  Verdict check;
};

struct FileCost {
  std::string path;
  uint64_t size = 0;
  int changes = 0;
  uint64_t copied = 0;
};

struct ReportData {
  std::string root;
  std::vector<Day> days;
  std::vector<FileCost> largest, busiest;
  bool checked = false;
  bool unreadable = false;
  bool linksReal = true;  // else sharing is guessed (sshfs)
  std::string fsType;
};

// ---- the figures ----------------------------------------------------------

const std::chrono::sys_days kMjdEpoch = std::chrono::year{1858} / std::chrono::November / 17;

std::string MjdText(int64_t mjd)
{
  std::chrono::year_month_day ymd{kMjdEpoch + std::chrono::days{mjd}};
  char buf[32];
  snprintf(buf, sizeof buf, "%04d-%02u-%02u", int(ymd.year()), unsigned(ymd.month()), unsigned(ymd.day()));
  return buf;
}

// Each complete dated day against the complete day before it: what changed,
// and which files cost a copy again and again. Other folders with a catalogue
// (a copy, say) are shown but not compared.
bool Gather(const std::string &root, ReportData *r, std::ostream &err)
{
  std::vector<BackupStats> rows;
  std::map<std::string, FileCost> costs;
  std::map<size_t, CatalogueDiff> diffs;
  Catalogue prev;
  bool havePrev = false;
  StatsHooks hooks;
  hooks.onError = [&](const std::string &path, int e) {
    err << "vxdb report: " << Shown(path) << ": " << ErrnoText(e) << "\n";
    r->unreadable = true;
  };
  hooks.onCatalogue = [&](const BackupStats &row, size_t k, Catalogue &&cat) {
    if (!IsDateName(row.folder) || !row.Complete())
      return;
    if (havePrev) {
      CatalogueDiff d = DiffCatalogues(prev, cat, false, nullptr);
      for (const auto &c : d.changes) {
        if (std::string(c.kind) != "changed")
          continue;
        FileCost &f = costs[c.path];
        f.path = c.path;
        ++f.changes;
        f.copied += c.after->size;
      }
      d.changes.clear();  // its pointers are about to dangle
      diffs[k] = std::move(d);
    }
    prev = std::move(cat);
    havePrev = true;
  };
  std::string why;
  if (!CollectStats(root, &rows, hooks, &r->linksReal, &r->fsType, &why)) {
    err << "vxdb report: " << Shown(root) << ": " << why << "\n";
    return false;
  }
  if (rows.empty()) {
    err << "vxdb report: " << Shown(root) << ": no backups here\n";
    return false;
  }
  for (size_t k = 0; k < rows.size(); ++k) {
    Day d;
    d.stats = rows[k];
    std::chrono::sys_days day;
    d.mjd = DateOfName(d.stats.folder, &day) ? (day - kMjdEpoch).count() : -1;
    if (d.mjd < 0 && d.stats.date)
      d.mjd = d.stats.date >> 16;
    // A day that a clock set ahead dated stands where it was made.
    if (d.stats.clockAhead)
      d.mjd = VXDBPackedTime(d.stats.written) >> 16;
    if (auto it = diffs.find(k); it != diffs.end()) {
      d.compared = true;
      d.added = it->second.counts["added"];
      d.removed = it->second.counts["removed"];
      d.changed = it->second.counts["changed"];
    }
    r->days.push_back(std::move(d));
  }
  std::stable_sort(r->days.begin(), r->days.end(), [](const Day &a, const Day &b) {
    return (a.mjd < 0) != (b.mjd < 0) ? b.mjd < 0 : a.mjd < b.mjd;
  });

  for (const auto &[path, e] : ByPath(prev, nullptr))  // the newest complete catalogue
    r->largest.push_back({path, e->size, 0, 0});
  std::stable_sort(r->largest.begin(), r->largest.end(),
                   [](const FileCost &a, const FileCost &b) { return a.size > b.size; });
  if (r->largest.size() > kTopFiles)
    r->largest.resize(kTopFiles);
  for (auto &[path, cost] : costs)
    r->busiest.push_back(cost);
  std::stable_sort(r->busiest.begin(), r->busiest.end(), [](const FileCost &a, const FileCost &b) {
    return a.changes != b.changes ? a.changes > b.changes : a.copied > b.copied;
  });
  if (r->busiest.size() > kTopFiles)
    r->busiest.resize(kTopFiles);
  return true;
}

// Every day read back as check does it; a folder without a catalogue has
// nothing to be checked against and keeps its state.
bool CheckDays(ReportData *r, std::ostream *progress, std::ostream &err)
{
  DestinationCheck result;
  std::string why;
  if (!CheckDestination(r->root, Subset{}, progress, &result, &why)) {
    err << "vxdb report: " << Shown(r->root) << ": " << why << "\n";
    return false;
  }
  if (result.interrupted)
    return true;
  std::map<std::string, const DayCheck *> byName;
  for (const auto &c : result.days)
    byName[c.name] = &c;
  r->checked = true;
  for (auto &d : r->days) {
    auto it = byName.find(d.stats.folder);
    DayState s = it == byName.end() ? DayState::kUnfinished : it->second->State();
    if (s == DayState::kUnfinished || s == DayState::kRemoving)
      continue;
    const DayCheck &c = *it->second;
    d.check.checked = true;
    d.check.state = s;
    if (!c.problem.empty())
      d.check.named.push_back("catalogue: " + c.problem);
    for (const auto &f : c.findings)
      if (IsDamage(f) || strcmp(f.kind, kNotBackedUp) == 0 || strcmp(f.kind, kChangedWhileRead) == 0)
        d.check.named.push_back(std::string(f.kind) + ": " + f.path + (f.detail.empty() ? "" : " (" + f.detail + ")"));
  }
  return true;
}

// ---- HTML -------------------------------------------------------------------

// Characters that would reorder or hide the text around them.
bool Invisible(uint32_t cp)
{
  return cp < 0x20 || (cp >= 0x7F && cp <= 0x9F) || cp == 0x061C || cp == 0x200E || cp == 0x200F ||
         (cp >= 0x2028 && cp <= 0x202E) || (cp >= 0x2066 && cp <= 0x2069) || cp == 0xFEFF;
}

// A name as HTML text, also safe inside a quoted attribute: markup
// characters become entities, control and direction characters are shown as
// \xNN or \u{NNNN}, and a byte that is not part of valid UTF-8 is taken as
// ISO 8859-1, so the page is always valid UTF-8.
std::string Html(std::string_view text)
{
  std::string s;
  auto *p = reinterpret_cast<const unsigned char *>(text.data());
  for (size_t i = 0, n = text.size(); i < n;) {
    uint32_t cp = p[i];
    size_t len = cp < 0x80 ? 1 : Utf8Length(p + i, n - i, &cp);
    if (!len)
      len = 1;  // ISO 8859-1: cp is still the byte
    char buf[16];
    if (cp == '\\') {
      s += "\\\\";
    } else if (Invisible(cp)) {
      snprintf(buf, sizeof buf, cp < 0x100 ? "\\x%02X" : "\\u{%04X}", unsigned(cp));
      s += buf;
    } else if (cp == '&') {
      s += "&amp;";
    } else if (cp == '<') {
      s += "&lt;";
    } else if (cp == '>') {
      s += "&gt;";
    } else if (cp == '"') {
      s += "&quot;";
    } else if (cp == '\'') {
      s += "&#39;";
    } else if (len > 1 || cp < 0x80) {
      s.append(reinterpret_cast<const char *>(p + i), len);
    } else {
      s += char(0xC0 | cp >> 6);
      s += char(0x80 | (cp & 0x3F));
    }
    i += len;
  }
  return s;
}

// Each state's colours: lighter for the size of a day's files, darker for
// what that day alone holds, so that the state shows whatever the disk
// shares (on exFAT a day holds all its files alone). The legend, the bars
// and the table's state cells all take them from here.
struct Palette {
  Standing state;
  const char *light, *dark;
};
const Palette kPalette[] = {
    {Standing::kComplete, "#7aa6da", "#2d5f99"},   {Standing::kNotAll, "#8fd1c4", "#1f8a78"},
    {Standing::kIncomplete, "#f6cf7e", "#c98a00"}, {Standing::kUnfinished, "#d3d3d3", "#8e8e8e"},
    {Standing::kRemoving, "#c8b6e2", "#7654a8"},   {Standing::kDamaged, "#f0a3a1", "#c0392b"},
};

std::string PaletteCss()
{
  std::string css;
  for (const auto &p : kPalette) {
    std::string c = StandingClass(p.state);
    css += ".bar." + c + "{fill:" + p.light + "}.own." + c + "{fill:" + p.dark + "}.st." + c + "{background:" +
           p.light + "}.sw." + c + "{background:linear-gradient(90deg," + p.light + " 50%," + p.dark + " 50%)}\n";
  }
  return css;
}

std::string Num(double v)
{
  char buf[32];
  snprintf(buf, sizeof buf, "%.1f", v);
  return buf;
}

const char kStyle[] = R"(
body{font:14px/1.4 system-ui,sans-serif;margin:24px;color:#222;background:#fff}
h1{font-size:22px;margin:0 0 4px}h2{font-size:17px;margin:28px 0 8px}
.summary{font-size:15px}.chart{overflow-x:auto}
svg text{font:11px sans-serif;fill:#555}
.files{fill:#b0a284}.gap{fill:#f4f4f4;stroke:#ccc;stroke-dasharray:2 2}
.axis{stroke:#999}.total{fill:none;stroke:#2d5f99;stroke-width:2}.area{fill:#dbe7f5}
.key span{display:inline-block;width:12px;height:12px;margin:0 4px 0 14px;vertical-align:-1px}
.key span.sw{width:20px}td.st{font-weight:600}
table{border-collapse:collapse}td,th{padding:2px 10px;border-bottom:1px solid #e4e4e4;text-align:left;vertical-align:top;white-space:nowrap}
td.n,th.n{text-align:right}.bad{color:#b52b27;font-weight:600}.warn{color:#a36b00;font-weight:600}.ok{color:#2e7d32}
ul.damage{margin:2px 0;padding-left:18px;font-family:monospace;white-space:normal;overflow-wrap:anywhere;max-width:40em}
)";

// The bars of the timeline: one slot per backup, one per missing day
// between two backups (a long gap is cut short and labelled).
struct Slot {
  const Day *day = nullptr;
  int64_t mjd = -1;      // a missing day
  int64_t skipped = 0;   // a cut gap: the days it stands for
};

std::vector<Slot> Slots(const ReportData &r)
{
  std::vector<Slot> slots;
  int64_t last = -1;
  for (const auto &d : r.days) {
    if (d.mjd < 0)
      continue;
    if (last >= 0 && d.mjd > last + 1) {
      int64_t missing = d.mjd - last - 1;
      for (int64_t k = 1; k <= std::min(missing, kLongestGap); ++k)
        slots.push_back({nullptr, last + k, 0});
      if (missing > kLongestGap)
        slots.back().skipped = missing;
    }
    slots.push_back({&d, d.mjd, 0});
    last = d.mjd;
  }
  return slots;
}

// A day's state in the words every command uses; withCheck: damage that
// reading the backup back found counts too.
Standing StandingOfDay(const Day &d, bool withCheck = true)
{
  if (withCheck && d.check.checked && d.check.state == DayState::kDamaged)
    return Standing::kDamaged;
  return StandingOf(d.stats.state, d.stats.notBackedUp + d.stats.changedWhileRead);
}

std::string StateText(const Day &d)
{
  FolderState s = d.stats.state;
  return s == FolderState::kUnusable ? FolderStateText(s)
                                     : FolderStateCounted(s, d.stats.notBackedUp, d.stats.changedWhileRead);
}

std::string ClockNote(const Day &d)
{
  return "dated by a clock set ahead: its catalogue was written on " +
         BackupDateText(VXDBPackedTime(d.stats.written)).substr(0, 10);
}

std::string DayTitle(const Day &d)
{
  std::string t = Html(d.stats.folder) + ": " + StateText(d);
  if (d.check.checked)
    t += std::string(", ") + (d.check.state == DayState::kDamaged ? "DAMAGED" : DayStateName(d.check.state)) +
         (d.check.named.empty() ? "" : " (" + Plural(d.check.named.size(), "file") + " named)");
  if (d.stats.clockAhead)
    t += "\n" + ClockNote(d);
  t += "\n" + Plural(d.stats.files, "file") + ", " + SizeText(d.stats.size) + ", " + SizeText(d.stats.disk) +
       " on the disk\nthis day alone holds " + SizeText(d.stats.own);
  return t;
}

// Where the slots go. The charts span the page, drawn on a fixed width that
// the browser scales; only when there are too many slots for that do they
// take more room, and the page scrolls.
struct Geometry {
  static constexpr double kWidth = 1200, kLeft = 70, kRight = 40;
  double width = kWidth, slot = 0;
  bool fill = true;  // scaled to the page's width
  explicit Geometry(size_t slots)
  {
    slot = (kWidth - kLeft - kRight) / double(std::max<size_t>(slots, 1));
    if (slot < 2) {
      slot = 2;
      width = kLeft + kRight + slot * double(slots);
      fill = false;
    }
  }
  double Center(size_t i) const { return kLeft + slot * (double(i) + 0.5); }
  double BarWidth() const { return std::min(slot > 6 ? slot - 2 : slot * 0.8, 48.0); }
  std::string Svg(const char *id, double height, const char *label) const
  {
    std::string size = fill ? "width=\"100%\"" : "width=\"" + Num(width) + "\" height=\"" + Num(height) + "\"";
    return "<div class=\"chart\"><svg id=\"" + std::string(id) + "\" xmlns=\"http://www.w3.org/2000/svg\" " + size +
           " viewBox=\"0 0 " + Num(width) + " " + Num(height) + "\" role=\"img\" aria-label=\"" + label + "\">\n";
  }
};

// The slots that get a date, so that no two overlap: first the first and
// the last slot and the backups on either side of each gap, then as many
// other backups as fit between them, from the left. A day inside a gap gets
// none: a cut gap stands for more days than it shows.
std::vector<size_t> DateLabels(const std::vector<Slot> &slots, const Geometry &g)
{
  // Ten characters of an 11-pixel sans-serif font, and a little air.
  const double kLabel = 66 + 8;
  std::vector<size_t> wanted, placed;
  if (slots.empty())
    return placed;
  wanted.push_back(0);
  wanted.push_back(slots.size() - 1);
  for (size_t i = 1; i < slots.size(); ++i) {
    if (!slots[i].day && slots[i - 1].day)
      wanted.push_back(i - 1);
    if (slots[i].day && !slots[i - 1].day)
      wanted.push_back(i);
  }
  for (size_t i = 0; i < slots.size(); ++i)
    if (slots[i].day)
      wanted.push_back(i);
  for (size_t i : wanted) {
    bool fits = std::all_of(placed.begin(), placed.end(), [&](size_t p) {
      return p != i && std::abs(g.Center(p) - g.Center(i)) >= kLabel;
    });
    if (fits)
      placed.push_back(i);
  }
  std::sort(placed.begin(), placed.end());
  return placed;
}

void WriteTimeline(std::ostream &o, const ReportData &r, const std::vector<Slot> &slots)
{
  const double top = 16, sizeH = 150, filesTop = 190, filesH = 50, labelY = 262, left = Geometry::kLeft;
  Geometry g(slots.size());
  uint64_t maxSize = 1, maxFiles = 1;
  for (const auto &d : r.days) {
    maxSize = std::max({maxSize, d.stats.disk, d.stats.own});
    maxFiles = std::max(maxFiles, d.stats.files);
  }
  o << g.Svg("timeline", 275, "size of each backup by day");
  o << "<text x=\"" << Num(left - 6) << "\" y=\"" << Num(top + 4) << "\" text-anchor=\"end\">" << SizeText(maxSize)
    << "</text><text x=\"" << Num(left - 6) << "\" y=\"" << Num(top + sizeH) << "\" text-anchor=\"end\">0</text>"
    << "<text x=\"" << Num(left - 6) << "\" y=\"" << Num(filesTop + 4) << "\" text-anchor=\"end\">"
    << Plural(maxFiles, "file") << "</text>\n";
  double right = g.width - Geometry::kRight;
  o << "<line class=\"axis\" x1=\"" << Num(left) << "\" x2=\"" << Num(right) << "\" y1=\"" << Num(top + sizeH)
    << "\" y2=\"" << Num(top + sizeH) << "\"/><line class=\"axis\" x1=\"" << Num(left) << "\" x2=\"" << Num(right)
    << "\" y1=\"" << Num(filesTop + filesH) << "\" y2=\"" << Num(filesTop + filesH) << "\"/>\n";
  double bw = g.BarWidth();
  for (size_t i = 0; i < slots.size(); ++i) {
    const Slot &s = slots[i];
    double x = g.Center(i) - bw / 2;
    if (!s.day) {
      o << "<rect class=\"gap\" x=\"" << Num(x) << "\" y=\"" << Num(top) << "\" width=\"" << Num(bw)
        << "\" height=\"" << Num(sizeH) << "\"><title>" << MjdText(s.mjd) << ": no backup</title></rect>\n";
      if (s.skipped)  // in the middle of the gap drawn for it, as much as fits
        o << "<text x=\"" << Num(g.Center(i) - g.slot * double(kLongestGap - 1) / 2) << "\" y=\""
          << Num(top + sizeH / 2) << "\" text-anchor=\"middle\">" << s.skipped
          << (g.slot * double(kLongestGap) > 180 ? " days without a backup" : " days") << "</text>\n";
      continue;
    }
    const BackupStats &st = s.day->stats;
    double h = std::max(1.0, sizeH * double(st.disk) / double(maxSize));
    double ho = sizeH * double(st.own) / double(maxSize);
    double hf = filesH * double(st.files) / double(maxFiles);
    std::string title = "<title>" + DayTitle(*s.day) + "</title>";
    std::string state = StandingClass(StandingOfDay(*s.day));
    o << "<rect class=\"bar " << state << "\" x=\"" << Num(x) << "\" y=\"" << Num(top + sizeH - h)
      << "\" width=\"" << Num(bw) << "\" height=\"" << Num(h) << "\">" << title << "</rect>";
    o << "<rect class=\"own " << state << "\" x=\"" << Num(x) << "\" y=\"" << Num(top + sizeH - ho)
      << "\" width=\"" << Num(bw) << "\" height=\"" << Num(ho) << "\">" << title << "</rect>";
    o << "<rect class=\"files\" x=\"" << Num(x) << "\" y=\"" << Num(filesTop + filesH - hf) << "\" width=\""
      << Num(bw) << "\" height=\"" << Num(hf) << "\">" << title << "</rect>\n";
  }
  for (size_t i : DateLabels(slots, g))
    o << "<text class=\"date\" x=\"" << Num(g.Center(i)) << "\" y=\"" << Num(labelY) << "\" text-anchor=\"middle\">"
      << MjdText(slots[i].mjd) << "</text>\n";
  o << "</svg></div>\n<p class=\"key\">Each bar: the space that day's files take on the disk, in the lighter "
       "shade of its state; the part that day alone holds, in the darker.</p>\n<p class=\"key\">";
  for (const auto &p : kPalette)
    o << "<span class=\"sw " << StandingClass(p.state) << "\"></span>" << StandingName(p.state);
  o << "<span style=\"background:#f4f4f4;border:1px dashed #ccc\"></span>no backup"
       "<span style=\"background:#b0a284\"></span>number of files (lower strip)</p>\n";
}

void WriteTotal(std::ostream &o, const std::vector<Slot> &slots, const std::string &mark)
{
  const double top = 12, h = 120, left = Geometry::kLeft;
  Geometry g(slots.size());
  uint64_t max = 1;
  for (const auto &s : slots)
    if (s.day)
      max = std::max(max, s.day->stats.total);
  std::string points;
  double firstX = -1, lastX = 0;
  for (size_t i = 0; i < slots.size(); ++i) {
    if (!slots[i].day)
      continue;
    double x = g.Center(i);
    points += Num(x) + "," + Num(top + h - h * double(slots[i].day->stats.total) / double(max)) + " ";
    firstX = firstX < 0 ? x : firstX;
    lastX = x;
  }
  o << g.Svg("total", top + h + 8, "space taken, running total");
  o << "<text x=\"" << Num(left - 6) << "\" y=\"" << Num(top + 4) << "\" text-anchor=\"end\">" << mark
    << SizeText(max) << "</text><text x=\"" << Num(left - 6) << "\" y=\"" << Num(top + h)
    << "\" text-anchor=\"end\">0</text>\n";
  if (firstX >= 0) {
    o << "<polygon class=\"area\" points=\"" << Num(firstX) << "," << Num(top + h) << " " << points << Num(lastX)
      << "," << Num(top + h) << "\"/>\n<polyline class=\"total\" points=\"" << points << "\"/>\n";
  }
  o << "<line class=\"axis\" x1=\"" << Num(left) << "\" x2=\"" << Num(g.width - Geometry::kRight) << "\" y1=\""
    << Num(top + h) << "\" y2=\"" << Num(top + h) << "\"/></svg></div>\n";
}

std::string CheckCell(const Day &d, bool checked)
{
  if (!checked)
    return "<td>not checked</td>";
  if (!d.check.checked)
    return "<td>-</td>";
  if (d.check.state == DayState::kIntact && d.check.named.empty())
    return "<td class=\"ok\">intact</td>";
  bool bad = d.check.state == DayState::kDamaged;
  std::string s = std::string("<td><span class=\"") +
                  (bad ? "st damaged\">damaged"
                   : d.check.state == DayState::kIncomplete ? "st incomplete\">incomplete"
                                                            : "ok\">intact") +
                  "</span><ul class=\"damage\">";
  for (size_t i = 0; i < d.check.named.size() && i < kNamedDamage; ++i)
    s += "<li>" + Html(d.check.named[i]) + "</li>";
  if (d.check.named.size() > kNamedDamage)
    s += "<li>and " + std::to_string(d.check.named.size() - kNamedDamage) + " more</li>";
  return s + "</ul></td>";
}

struct Overview {
  size_t backups = 0, damaged = 0, intact = 0;
  std::vector<Standing> states;
  int64_t missingDays = 0;
  std::string first, last;
  uint64_t total = 0;
};

Overview Summarise(const ReportData &r)
{
  Overview v;
  v.backups = r.days.size();
  int64_t prev = -1;
  for (const auto &d : r.days) {
    v.states.push_back(StandingOfDay(d));
    v.damaged += d.check.checked && d.check.state == DayState::kDamaged;
    v.intact += d.check.checked && d.check.state != DayState::kDamaged;
    v.total = std::max(v.total, d.stats.total);
    if (d.mjd < 0)
      continue;
    if (prev >= 0 && d.mjd > prev + 1)
      v.missingDays += d.mjd - prev - 1;
    if (v.first.empty())
      v.first = MjdText(d.mjd);
    v.last = MjdText(d.mjd);
    prev = d.mjd;
  }
  return v;
}

// The state column tells what the folder is; the check column what reading
// it back found.
std::string StateClass(const Day &d)
{
  return std::string(" class=\"st ") + StandingClass(StandingOfDay(d, false)) + "\"";
}

void WriteHtml(std::ostream &o, const ReportData &r)
{
  Overview v = Summarise(r);
  std::vector<Slot> slots = Slots(r);
  std::string mark = r.linksReal ? "" : "~";
  o << "<!DOCTYPE html>\n<html lang=\"en\"><head><meta charset=\"utf-8\">\n"
       "<meta http-equiv=\"Content-Security-Policy\" content=\"default-src 'none'; style-src 'unsafe-inline'\">\n"
       "<title>Vaultrix backups in "
    << Html(r.root) << "</title>\n<style>" << kStyle << PaletteCss() << "</style></head><body>\n";
  o << "<h1>Vaultrix backups in " << Html(r.root) << "</h1>\n<p class=\"summary\">" << Plural(v.backups, "backup");
  if (!v.first.empty())
    o << " from " << v.first << " to " << v.last;
  o << ", " << Plural(uint64_t(v.missingDays), "day") << " without a backup: " << StandingCounts(v.states)
    << ". They take <b>" << mark << SizeText(v.total) << "</b> on the disk.";
  if (r.checked)
    o << " Checked: " << v.intact << " intact, "
      << (v.damaged ? "<span class=\"bad\">" + std::to_string(v.damaged) + " damaged</span>" : "0 damaged") << ".";
  for (const auto &d : r.days)
    if (d.stats.clockAhead)
      o << " " << Html(d.stats.folder) << " was " << ClockNote(d) << "; it stands on that day.";
  o << "</p>\n<h2>Day by day</h2>\n";
  WriteTimeline(o, r, slots);
  o << "<h2>Space taken</h2>\n<p>The space all backups up to each day take together, each shared file counted "
       "once.";
  if (!r.linksReal)
    o << " This file system (" << Html(r.fsType.empty() ? "FUSE" : r.fsType)
      << ") shows no hard links: files count as shared when their path, size and modification time agree, so the "
         "figures marked ~ are guesses.";
  o << "</p>\n";
  WriteTotal(o, slots, mark);

  o << "<h2>Backups</h2>\n<table id=\"days\"><tr><th>Backup</th><th>State</th><th>Check</th><th class=\"n\">Files"
       "</th><th class=\"n\">Size</th><th class=\"n\">This day alone</th><th class=\"n\">Total</th>"
       "<th class=\"n\">Changed</th></tr>\n";
  for (const auto &d : r.days) {
    const BackupStats &st = d.stats;
    o << "<tr><td>" << Html(st.folder);
    if (st.clockAhead)
      o << " (" << ClockNote(d) << ")";
    else if (st.date && MjdText(st.date >> 16) != st.folder)
      o << " (" << BackupDateText(st.date) << ")";
    o << "</td><td" << StateClass(d) << ">" << StateText(d) << "</td>" << CheckCell(d, r.checked)
      << "<td class=\"n\">" << st.files << "</td><td class=\"n\">" << SizeText(st.size) << "</td><td class=\"n\">"
      << mark << SizeText(st.own) << "</td><td class=\"n\">" << mark << SizeText(st.total) << "</td><td class=\"n\">";
    if (d.compared)
      o << d.changed << " changed, " << d.added << " added, " << d.removed << " removed";
    o << "</td></tr>\n";
  }
  o << "</table>\n<h2>Largest files</h2>\n<p>In the newest complete backup.</p>\n<table id=\"largest\"><tr><th>File"
       "</th><th class=\"n\">Size</th></tr>\n";
  for (const auto &f : r.largest)
    o << "<tr><td>" << Html(f.path) << "</td><td class=\"n\">" << SizeText(f.size) << "</td></tr>\n";
  o << "</table>\n<h2>Files that change most often</h2>\n<p>Each change is a new copy on the next backup.</p>\n"
       "<table id=\"busiest\"><tr><th>File</th><th class=\"n\">Changed</th><th class=\"n\">Copies took</th></tr>\n";
  for (const auto &f : r.busiest)
    o << "<tr><td>" << Html(f.path) << "</td><td class=\"n\">" << Plural(uint64_t(f.changes), "time")
      << "</td><td class=\"n\">" << SizeText(f.copied) << "</td></tr>\n";
  o << "</table>\n</body></html>\n";
}

void WriteSummary(std::ostream &o, const ReportData &r)
{
  Overview v = Summarise(r);
  o << Plural(v.backups, "backup");
  if (!v.first.empty())
    o << " from " << v.first << " to " << v.last;
  o << " take " << (r.linksReal ? "" : "about ") << SizeText(v.total) << "; "
    << Plural(uint64_t(v.missingDays), "day") << " without a backup: " << StandingCounts(v.states) << ".\n";
  for (const auto &d : r.days)
    if (StandingOfDay(d, false) != Standing::kComplete || d.stats.clockAhead)
      o << "  " << Shown(d.stats.folder) << ": " << StateText(d) << (d.stats.clockAhead ? ", " + ClockNote(d) : "")
        << "\n";
  if (r.checked) {
    o << "Checked: " << v.intact << " intact, " << v.damaged << " damaged.\n";
    for (const auto &d : r.days)
      if (d.check.checked && d.check.state != DayState::kIntact)
        o << "  " << Shown(d.stats.folder) << ": " << DayStateName(d.check.state) << ", "
          << Plural(d.check.named.size(), "file") << " named\n";
  }
  if (!r.largest.empty())
    o << "Largest file: " << Shown(r.largest[0].path) << " (" << SizeText(r.largest[0].size) << ").\n";
  if (!r.busiest.empty())
    o << "Changes most often: " << Shown(r.busiest[0].path) << " (" << Plural(uint64_t(r.busiest[0].changes), "time")
      << ").\n";
  o << "The whole picture: vxdb report " << Shown(r.root) << " -o report.html\n";
}

// Written beside the target and renamed over it, so a failed run never
// leaves half a page behind.
bool WriteFileWhole(const std::string &path, const std::string &text, std::string *why)
{
  std::string tmp = path + ".vxdb-XXXXXX";
  int fd = mkstemp(tmp.data());
  if (fd < 0) {
    *why = ErrnoText(errno);
    return false;
  }
  fchmod(fd, 0644);
  bool ok = WriteAll(fd, text.data(), text.size());
  int e = errno;
  if (close(fd) != 0 && ok) {
    ok = false;
    e = errno;
  }
  if (ok && rename(tmp.c_str(), path.c_str()) != 0) {
    ok = false;
    e = errno;
  }
  if (!ok) {
    unlink(tmp.c_str());
    *why = ErrnoText(e);
  }
  return ok;
}

}  // namespace

int ReportCommand(const Options &opt, std::ostream &out, std::ostream &err)
{
  ReportData r;
  r.root = opt.args[0];
  while (r.root.size() > 1 && r.root.back() == '/')
    r.root.pop_back();
  if (!Gather(r.root, &r, err))
    return kBadInput;
  if (opt.check && !CheckDays(&r, ProgressStream(opt), err))
    return kBadInput;
  if (Interrupted())
    return InterruptedExit(opt, err, "no page written");
  bool damaged = false, incomplete = false;
  for (const auto &d : r.days) {
    damaged |= d.check.checked && d.check.state == DayState::kDamaged;
    incomplete |= d.check.checked && d.check.state == DayState::kIncomplete;
  }
  int status = r.unreadable ? kBadInput : damaged ? kFound : incomplete ? kIncomplete : kFine;

  bool terminal = &out == &std::cout && isatty(STDOUT_FILENO);
  if (opt.output.empty() && terminal) {
    WriteSummary(out, r);
    return status;
  }
  std::ostringstream page;
  WriteHtml(page, r);
  if (opt.output.empty() || opt.output == "-") {
    out << page.str();
    return status;
  }
  std::string why;
  if (!WriteFileWhole(opt.output, page.str(), &why)) {
    err << "vxdb report: " << Shown(opt.output) << ": " << why << "\n";
    return kBadInput;
  }
  return status;
}

}  // namespace vxdb
