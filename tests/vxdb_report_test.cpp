// The owner's one-page report over backups that the plug-in made in the
// simulator: what a browser makes of it, and what crafted names make of it.
#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <regex>
#include <sstream>
#include <set>
#include <cstdlib>

#include "app/VXDBFormat.h"
#include "support/BackupScenario.h"
#include "support/Catalogues.h"
#include "support/TestSupport.h"

namespace fs = std::filesystem;

namespace {

std::string DateText(std::chrono::sys_days d)
{
  std::chrono::year_month_day ymd{d};
  char buf[16];
  snprintf(buf, sizeof buf, "%04d-%02u-%02u", int(ymd.year()), unsigned(ymd.month()), unsigned(ymd.day()));
  return buf;
}

// Flips one byte in place, keeping the size.
void Damage(const std::string &path)
{
  std::string bytes = ReadFile(path);
  ASSERT_FALSE(bytes.empty()) << path;
  bytes[bytes.size() / 2] ^= 0x20;
  WriteFile(path, bytes);
}

// Chromium from Debian, installed through the project's installer when
// first needed; "" when that is not possible here.
std::string Chromium()
{
  ProgramRun install = RunProgram({"sh", VX_SOURCE_DIR "/scripts/install-deps.sh", "chromium"});
  if (install.status != 0 || !Exists("/usr/bin/chromium"))
    return "";
  return "/usr/bin/chromium";
}

ProgramRun Browse(const std::string &chromium, const TempDir &home, const std::vector<std::string> &what)
{
  std::vector<std::string> argv = {"timeout", "120", chromium, "--headless", "--no-sandbox", "--disable-gpu",
                                   "--disable-quic", "--no-first-run", "--disable-background-networking",
                                   "--disable-component-update", "--disable-sync",
                                   "--user-data-dir=" + (home / "profile"), "--window-size=1280,1400"};
  argv.insert(argv.end(), what.begin(), what.end());
  return RunProgram(argv, {"HOME=" + home.path()});
}

}  // namespace

// Thirty backups over 33 days, one stopped before its catalogue, one damaged
// afterwards: the page shows a bar per backup and a gap per missing day, and
// a real browser renders it.
TEST(VxdbReport, ThirtyDaysOfPluginBackupsRenderInABrowser)
{
  BackupScenario s;
  s.Source("/Tools/app.tap", std::string(6000, 'T'));
  using namespace std::chrono;
  const sys_days first = year{2024} / March / 1;
  const std::set<int> skipped = {4, 11, 12};
  std::vector<std::string> days;
  for (int d = 0; d < 33; ++d) {
    if (skipped.count(d))
      continue;
    s.Source("/Recorder/run.log", "run " + std::to_string(d) + "\n" + std::string(500, 'r'));
    if (d % 5 == 0)
      s.Source("/Epg/guide.dat", std::string(20000 + d, char('a' + d % 26)));
    days.push_back(DateText(first + std::chrono::days{d}));
    TapsimResult r = s.Run(days.back());
    ASSERT_EQ(r.status, 0) << r.err;
    ASSERT_TRUE(Exists(s.Day(days.back()) + "/VXDB.db")) << days.back() << "\n" << s.log;
  }
  ASSERT_EQ(days.size(), 30u);
  // A run that never finished, as the plug-in leaves it.
  fs::remove(s.Day(days[7]) + "/VXDB.db");
  WriteFile(s.Day(days[7]) + "/" VXDB_UNFINISHED_NAME, "");
  Damage(s.Day(days[20]) + "/Recorder/run.log");

  TempDir out;
  std::string page = out / "report.html";
  ProgramRun r = RunVxdbTool({"report", "--check", s.Disk() + "/Backup", "-o", page});
  EXPECT_EQ(r.status, 1) << r.err;
  std::string html = ReadFile(page);
  EXPECT_EQ(Count(html, "<rect class=\"bar"), 30u);
  EXPECT_EQ(Count(html, "<rect class=\"gap\""), 3u);
  EXPECT_EQ(Count(html, "<rect class=\"bar unfinished\""), 1u);
  EXPECT_EQ(Count(html, "<rect class=\"bar damaged\""), 1u);
  EXPECT_NE(html.find("<tr><td>" + days[7] + "</td><td class=\"st unfinished\">unfinished</td><td>-</td>"),
            std::string::npos);
  EXPECT_NE(html.find("<tr><td>" + days[20] + "</td><td class=\"st complete\">complete</td><td><span class=\"st damaged\">damaged</span>"
                      "<ul class=\"damage\"><li>damaged: /Recorder/run.log (contents differ)</li></ul>"),
            std::string::npos);
  EXPECT_EQ(Count(html, "<td class=\"ok\">intact</td>"), 28u);
  // The log changes between any two complete days, the guide on six of
  // them, the app never: it is only among the largest files.
  std::string busiest = html.substr(html.find("<table id=\"busiest\">"));
  EXPECT_NE(busiest.find("<tr><td>/Recorder/run.log</td><td class=\"n\">28 times</td>"), std::string::npos);
  EXPECT_NE(busiest.find("<tr><td>/Epg/guide.dat</td><td class=\"n\">6 times</td>"), std::string::npos);
  EXPECT_EQ(Count(html, "<tr><td>/Tools/app.tap</td>"), 1u);
  EXPECT_EQ(html.find("src="), std::string::npos) << "nothing may be fetched";

  std::string chromium = Chromium();
  if (chromium.empty())
    GTEST_SKIP() << "no headless browser: scripts/install-deps.sh chromium could not install Debian's chromium "
                    "here (it needs root and the package archive)";
  TempDir home;
  ProgramRun dom = Browse(chromium, home, {"--dump-dom", "file://" + page});
  ASSERT_EQ(dom.status, 0) << dom.err;
  EXPECT_EQ(Count(dom.out, "<rect class=\"bar"), days.size()) << dom.out.substr(0, 2000);
  EXPECT_NE(dom.out.find("30 backups from 2024-03-01 to 2024-04-02, 3 days without a backup: 28 complete, 1 unfinished, "
                          "1 damaged."),
            std::string::npos);
  std::string shot = home / "report.png";
  ProgramRun taken = Browse(chromium, home, {"--screenshot=" + shot, "file://" + page});
  ASSERT_EQ(taken.status, 0) << taken.err;
  std::string png = ReadFile(shot);
  ASSERT_GT(png.size(), 24u);
  EXPECT_EQ(png.substr(0, 8), "\x89PNG\r\n\x1a\n");
  // A blank page of this size compresses to a few kilobytes; bars, text and
  // tables take many times that.
  EXPECT_GT(png.size(), 40000u);
  if (const char *keep = getenv("VX_KEEP_SCREENSHOT"))
    fs::copy_file(shot, keep, fs::copy_options::overwrite_existing);
}

// Names that are markup, quotes, text direction controls and bytes that are
// not UTF-8, in files, in a damaged file and in a backup folder's own name,
// come out as text: every tag on the page is one of the page's own.
TEST(VxdbReport, CraftedNamesCannotInjectMarkup)
{
  BackupScenario s;
  const std::vector<std::string> crafted = {"/<script>alert(1)</script>", "/q/\"'><img src=x onerror=alert(2)>",
                                            "/q/&lt;b&gt;", "/q/caf\xE9 \xFF\xFE", "/q/rlo\xE2\x80\xAEgnp.exe"};
  for (int day = 5; day <= 6; ++day) {
    for (size_t i = 0; i < crafted.size(); ++i)
      s.Source(crafted[i], std::string(30000 + i, char('0' + day)));
    TapsimResult r = s.Run("2024-03-0" + std::to_string(day));
    ASSERT_EQ(r.status, 0) << r.err;
  }
  std::string root = s.Disk() + "/Backup";
  for (const auto &name : crafted)
    ASSERT_TRUE(Exists(root + "/2024-03-06" + name)) << name << "\n" << s.log;
  Damage(root + "/2024-03-06" + crafted[1]);
  fs::copy(root + "/2024-03-05", root + "/<b onmouseover=alert(3)>\"", fs::copy_options::recursive);

  TempDir out;
  ProgramRun r = RunVxdbTool({"report", "--check", root, "-o", out / "r.html"});
  EXPECT_EQ(r.status, 1) << r.err;
  std::string html = ReadFile(out / "r.html");
  for (const char *shown : {"&lt;script&gt;alert(1)&lt;/script&gt;",
                            "damaged: /q/&quot;&#39;&gt;&lt;img src=x onerror=alert(2)&gt; (contents differ)",
                            "/q/&amp;lt;b&amp;gt;", "/q/caf\xC3\xA9 \xC3\xBF\xC3\xBE", "/q/rlo\\u{202E}gnp.exe",
                            "&lt;b onmouseover=alert(3)&gt;&quot;"})
    EXPECT_NE(html.find(shown), std::string::npos) << shown;

  const std::set<std::string> own = {"!DOCTYPE", "html", "head", "meta", "title", "style", "body", "h1", "h2", "p",
                                     "b", "div", "svg", "text", "line", "rect", "polygon", "polyline", "table",
                                     "tr", "th", "td", "span", "ul", "li"};
  std::regex tag("<(/?)([^\\s>/]*)([^>]*)>");
  std::regex handler("\\son[a-z]+\\s*=");
  size_t tags = 0;
  for (auto it = std::sregex_iterator(html.begin(), html.end(), tag); it != std::sregex_iterator(); ++it, ++tags) {
    EXPECT_TRUE(own.count((*it)[2])) << it->str();
    EXPECT_FALSE(std::regex_search((*it)[3].str(), handler)) << it->str();
  }
  EXPECT_GT(tags, 100u);
}

// The date labels under the bars, measured where the browser lays them out:
// none may overlap, and both ends of each gap keep theirs. Twenty days side
// by side and a long gap made the labels a smear.
TEST(VxdbReport, DateLabelsNeverOverlapAndGapsKeepTheirEnds)
{
  TempDir t;
  std::string root = t / "Backup";
  using namespace std::chrono;
  const sys_days first = year{2024} / March / 1;
  std::vector<int> days;
  for (int d = 0; d < 20; ++d)
    days.push_back(d);
  for (int d = 80; d < 95; ++d)  // after 60 days without a backup
    days.push_back(d);
  days.push_back(99);  // and three more
  for (int d : days)
    WriteFile(root + "/" + DateText(first + std::chrono::days{d}) + "/VXDB.db", EmptyCatalogue());
  std::string page = t / "report.html";
  ProgramRun r = RunVxdbTool({"report", root, "-o", page});
  ASSERT_EQ(r.status, 0) << r.err;

  std::string chromium = Chromium();
  if (chromium.empty())
    GTEST_SKIP() << "no headless browser: scripts/install-deps.sh chromium could not install Debian's chromium here";
  // A copy of the page that may run one script: it writes each label's box.
  std::string html = ReadFile(page);
  size_t csp = html.find("<meta http-equiv=\"Content-Security-Policy\"");
  ASSERT_NE(csp, std::string::npos);
  html.erase(csp, html.find('>', csp) + 1 - csp);
  html.insert(html.rfind("</body>"),
              "<script>var b=[];document.querySelectorAll('#timeline text.date').forEach(function(e){"
              "var r=e.getBoundingClientRect();b.push(e.textContent+' '+r.left+' '+r.right+' '+r.top+' '+r.bottom);});"
              "var p=document.createElement('pre');p.id='boxes';p.textContent=b.join('\\n');"
              "document.body.appendChild(p);</script>");
  WriteFile(t / "measured.html", html);
  TempDir home;
  ProgramRun dom = Browse(chromium, home, {"--dump-dom", "file://" + (t / "measured.html")});
  ASSERT_EQ(dom.status, 0) << dom.err;
  size_t at = dom.out.find("<pre id=\"boxes\">");
  ASSERT_NE(at, std::string::npos) << dom.out.substr(0, 2000);
  at += 16;
  struct Box {
    std::string date;
    double left, right, top, bottom;
  };
  std::vector<Box> boxes;
  std::istringstream lines(dom.out.substr(at, dom.out.find("</pre>", at) - at));
  for (Box b; lines >> b.date >> b.left >> b.right >> b.top >> b.bottom;)
    boxes.push_back(b);
  ASSERT_GE(boxes.size(), 8u) << dom.out.substr(at, 2000);
  for (size_t i = 0; i < boxes.size(); ++i)
    for (size_t j = i + 1; j < boxes.size(); ++j) {
      const Box &a = boxes[i], &b = boxes[j];
      bool overlap = a.left < b.right && b.left < a.right && a.top < b.bottom && b.top < a.bottom;
      EXPECT_FALSE(overlap) << a.date << " [" << a.left << ", " << a.right << "] and " << b.date << " [" << b.left
                            << ", " << b.right << "]";
    }
  std::set<std::string> labelled;
  for (const auto &b : boxes)
    labelled.insert(b.date);
  // The last day before the long gap, the first after it, and the ends.
  for (int d : {0, 19, 80, 99})
    EXPECT_TRUE(labelled.count(DateText(first + std::chrono::days{d}))) << d;
  // The charts span the page rather than a corner of it.
  EXPECT_GT(boxes.back().right - boxes.front().left, 900) << "of a 1280 pixel window";
}

