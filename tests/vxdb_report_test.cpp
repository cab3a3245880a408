// The owner's one-page report over backups that the plug-in made in the
// simulator: what a browser makes of it, and what crafted names make of it.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdint>
#include <map>
#include <filesystem>
#include <regex>
#include <sstream>
#include <set>
#include <cstdlib>

#include "app/VXDBFormat.h"
#include "support/BackupScenario.h"
#include "support/Catalogues.h"
#include "support/FormattedDisk.h"
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

std::string Base64(const std::string &bytes)
{
  static const char digits[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
  std::string out;
  for (size_t i = 0; i < bytes.size(); i += 3) {
    uint32_t n = uint32_t(uint8_t(bytes[i])) << 16;
    n |= i + 1 < bytes.size() ? uint32_t(uint8_t(bytes[i + 1])) << 8 : 0;
    n |= i + 2 < bytes.size() ? uint32_t(uint8_t(bytes[i + 2])) : 0;
    out += digits[n >> 18 & 63];
    out += digits[n >> 12 & 63];
    out += i + 1 < bytes.size() ? digits[n >> 6 & 63] : '=';
    out += i + 2 < bytes.size() ? digits[n & 63] : '=';
  }
  return out;
}

// The pixels of a PNG by colour, as a browser decodes it: "rrggbb" and how
// many pixels have it (colours of fewer than 20 pixels left out).
std::map<uint32_t, size_t> PixelColours(const std::string &chromium, const TempDir &home, const std::string &png)
{
  std::string page = home / "pixels.html";
  WriteFile(page, "<!DOCTYPE html><html><body><canvas id=\"c\"></canvas><pre id=\"out\"></pre>"
                  "<img id=\"i\" src=\"data:image/png;base64," + Base64(png) + "\"><script>"
                  "var img=document.getElementById('i');function run(){var c=document.getElementById('c');"
                  "c.width=img.naturalWidth;c.height=img.naturalHeight;var x=c.getContext('2d');x.drawImage(img,0,0);"
                  "var d=x.getImageData(0,0,c.width,c.height).data,m={},o=[];for(var k=0;k<d.length;k+=4){"
                  "var h=(d[k]<<16|d[k+1]<<8|d[k+2]);m[h]=(m[h]||0)+1;}for(var h in m)if(m[h]>=20)o.push(h+' '+m[h]);"
                  "document.getElementById('out').textContent=o.join('\\n');}"
                  "if(img.complete)run();else img.onload=run;</script></body></html>");
  ProgramRun dom = Browse(chromium, home, {"--virtual-time-budget=5000", "--dump-dom", "file://" + page});
  std::map<uint32_t, size_t> colours;
  const std::string open = "<pre id=\"out\">";
  size_t at = dom.out.find(open);
  if (at == std::string::npos)
    return colours;
  at += open.size();
  std::istringstream lines(dom.out.substr(at, dom.out.find("</pre>", at) - at));
  uint32_t rgb;
  size_t n;
  while (lines >> rgb >> n)
    colours[rgb] = n;
  return colours;
}

// The pixels within a shade of rgb.
size_t PixelsOf(const std::map<uint32_t, size_t> &colours, uint32_t rgb)
{
  size_t n = 0;
  for (const auto &[c, count] : colours) {
    bool near = true;
    for (int shift : {16, 8, 0})
      near = near && std::abs(int(c >> shift & 255) - int(rgb >> shift & 255)) <= 3;
    n += near ? count : 0;
  }
  return n;
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


// On exFAT every day holds all its files alone, so a bar is all "held by
// this day alone": each state's colour shows there all the same, and in
// the table, as the legend gives it. Checked by the screenshot's pixels.
TEST(VxdbReport, EachStateShowsItsColourOnAnExfatDisk)
{
  FormattedDisk usb("exfat");
  if (!usb.skip_.empty())
    GTEST_SKIP() << usb.skip_;
  ASSERT_EQ(usb.failed_, "");
  fs::create_directories(usb.Root() + "/Vaultrix");
  BackupScenario s("DestDevice=ext\r\nDestPath=/Vaultrix\r\n", usb.Root() + "/Vaultrix");
  s.Source("/big.bin", std::string(300000, 'b'));
  for (int d = 1; d <= 7; ++d) {
    s.Source("/Recorder/run.log", "run " + std::to_string(d));
    if (d == 2) {  // a letter-case twin, which exFAT refuses
      s.Source("/D/Case.txt", "upper");
      s.Source("/D/case.txt", "lower");
    }
    if (d == 3)
      fs::remove(s.Pf("/D/case.txt"));
    std::string date = "2024-03-0" + std::to_string(d);
    ASSERT_EQ(s.Run(date, {"--ext", "sdb1=" + usb.Root()}).status, 0) << s.log;
    ASSERT_TRUE(Exists(s.Day(date) + "/VXDB.db")) << s.log;
  }
  WriteFile(s.Day("2024-03-03") + "/" VXDB_REMOVING_NAME, "");
  WriteFile(s.Day("2024-03-04") + "/VXDB.db", "damaged");
  fs::rename(s.Day("2024-03-05") + "/VXDB.db", s.Day("2024-03-05") + "/" VXDB_PARTIAL_NAME);
  fs::remove(s.Day("2024-03-06") + "/VXDB.db");
  WriteFile(s.Day("2024-03-06") + "/" VXDB_UNFINISHED_NAME, "");
  TempDir out;
  std::string page = out / "report.html";
  ProgramRun r = RunVxdbTool({"report", usb.Root() + "/Vaultrix", "-o", page});
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_NE(ReadFile(page).find("2 complete, 1 complete with files not backed up, 1 incomplete, 1 unfinished, 1 being "
                                "removed, 1 damaged."),
            std::string::npos);

  std::string chromium = Chromium();
  if (chromium.empty())
    GTEST_SKIP() << "no headless browser: scripts/install-deps.sh chromium could not install Debian's chromium here";
  TempDir home;
  std::string shot = home / "report.png";
  ProgramRun taken = Browse(chromium, home, {"--force-color-profile=srgb", "--window-size=1280,1800",
                                             "--screenshot=" + shot, "file://" + page});
  ASSERT_EQ(taken.status, 0) << taken.err;
  auto colours = PixelColours(chromium, home, ReadFile(shot));
  ASSERT_FALSE(colours.empty()) << "the browser decoded no screenshot";
  // The legend's colours: the darker for the part a day alone holds (a
  // whole bar here), the lighter for the size and the table's state cells.
  struct Shade {
    const char *state;
    uint32_t light, dark;
  } shades[] = {{"complete", 0x7aa6da, 0x2d5f99},   {"complete, not all", 0x8fd1c4, 0x1f8a78},
                {"incomplete", 0xf6cf7e, 0xc98a00}, {"unfinished", 0xd3d3d3, 0x8e8e8e},
                {"being removed", 0xc8b6e2, 0x7654a8}, {"damaged", 0xf0a3a1, 0xc0392b}};
  for (const auto &sh : shades) {
    // A legend swatch holds 120 pixels of each; a bar some thousands.
    EXPECT_GT(PixelsOf(colours, sh.dark), 2000u) << sh.state << ": its bar";
    EXPECT_GT(PixelsOf(colours, sh.light), 1000u) << sh.state << ": its cell in the table";
  }
  if (const char *keep = getenv("VX_KEEP_SCREENSHOT"))
    fs::copy_file(shot, keep, fs::copy_options::overwrite_existing);
}
