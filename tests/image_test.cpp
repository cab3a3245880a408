// The plug-in image as the recorder's loader sees it: ELF class and machine,
// the six identification sections, the exported symbols and the libraries it
// needs.  Read with a small ELF reader of our own, for both word sizes.
#include <gtest/gtest.h>

#include <cstring>
#include <elf.h>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "support/TestSupport.h"

namespace {

struct Section {
  std::string name;
  uint64_t addr, offset, size, flags;
  uint32_t type;
};

struct Image {
  std::string bytes;
  bool is32 = false;
  uint16_t machine = 0, type = 0;
  uint32_t flags = 0;
  std::vector<Section> sections;
  std::vector<std::string> needed;
  std::map<int64_t, uint64_t> dynamic;
  std::map<std::string, uint64_t> defined;   // dynamic symbols defined here
  std::set<std::string> undefined;

  template <class T> T at(uint64_t off) const
  {
    T v;
    memcpy(&v, bytes.data() + off, sizeof v);
    return v;
  }
  const Section *find(const std::string &n) const
  {
    for (auto &s : sections)
      if (s.name == n)
        return &s;
    return nullptr;
  }
  std::string str(uint64_t off) const { return std::string(bytes.c_str() + off); }
};

template <class Ehdr, class Shdr, class Sym, class Dyn> void ReadAs(Image &im)
{
  auto eh = im.at<Ehdr>(0);
  im.machine = eh.e_machine;
  im.type = eh.e_type;
  im.flags = eh.e_flags;
  auto shstr = im.at<Shdr>(eh.e_shoff + eh.e_shstrndx * sizeof(Shdr));
  std::vector<Shdr> raw;
  for (int i = 0; i < eh.e_shnum; i++) {
    auto sh = im.at<Shdr>(eh.e_shoff + i * sizeof(Shdr));
    raw.push_back(sh);
    im.sections.push_back({im.str(shstr.sh_offset + sh.sh_name), sh.sh_addr, sh.sh_offset, sh.sh_size,
                           (uint64_t)sh.sh_flags, sh.sh_type});
  }
  for (auto &sh : raw) {
    if (sh.sh_type == SHT_DYNAMIC) {
      uint64_t strtab = raw[sh.sh_link].sh_offset;
      for (uint64_t o = 0; o + sizeof(Dyn) <= sh.sh_size; o += sizeof(Dyn)) {
        auto d = im.at<Dyn>(sh.sh_offset + o);
        if (d.d_tag == DT_NULL)
          break;
        if (d.d_tag == DT_NEEDED)
          im.needed.push_back(im.str(strtab + d.d_un.d_val));
        else
          im.dynamic[d.d_tag] = d.d_un.d_val;
      }
    }
    if (sh.sh_type == SHT_DYNSYM) {
      uint64_t strtab = raw[sh.sh_link].sh_offset;
      for (uint64_t o = sizeof(Sym); o + sizeof(Sym) <= sh.sh_size; o += sizeof(Sym)) {
        auto s = im.at<Sym>(sh.sh_offset + o);
        std::string name = im.str(strtab + s.st_name);
        if (s.st_shndx == SHN_UNDEF)
          im.undefined.insert(name);
        else if (ELF32_ST_BIND(s.st_info) != STB_LOCAL)
          im.defined[name] = s.st_value;
      }
    }
  }
}

Image Load()
{
  Image im;
  im.bytes = ReadFile(VX_IMAGE);
  EXPECT_GT(im.bytes.size(), 64u) << VX_IMAGE;
  if (im.bytes.size() < 64 || memcmp(im.bytes.data(), ELFMAG, SELFMAG) != 0)
    return im;
  im.is32 = im.bytes[EI_CLASS] == ELFCLASS32;
  if (im.is32)
    ReadAs<Elf32_Ehdr, Elf32_Shdr, Elf32_Sym, Elf32_Dyn>(im);
  else
    ReadAs<Elf64_Ehdr, Elf64_Shdr, Elf64_Sym, Elf64_Dyn>(im);
  return im;
}

TEST(Image, PositionIndependentSharedObjectForThisTarget)
{
  Image im = Load();
  EXPECT_EQ(im.bytes[EI_DATA], ELFDATA2LSB);
  EXPECT_EQ(im.type, ET_DYN);
#if defined(__mips__)
  EXPECT_TRUE(im.is32);
  EXPECT_EQ(im.machine, EM_MIPS);
  EXPECT_TRUE(im.flags & EF_MIPS_PIC);
  const uint32_t abiMask = 0x0000F000, abiO32 = 0x00001000; // EF_MIPS_ABI, E_MIPS_ABI_O32
  EXPECT_EQ(im.flags & abiMask, abiO32) << std::hex << im.flags;
  EXPECT_EQ(im.flags & EF_MIPS_ABI2, 0u);
#else
  EXPECT_FALSE(im.is32);
  EXPECT_EQ(im.machine, EM_X86_64);
#endif
}

TEST(Image, IdentificationSectionsInOrderWithoutGaps)
{
  Image im = Load();
  struct Want {
    const char *section;
    uint64_t size;
    std::string content;
  };
  std::string header("TFAPMIPS\x10\0\0\0", 12);
  const std::vector<Want> want = {
      {"._tap_etcinfo", 64, ""},
      {"._tap_description", 128, "Backup everything from ProgramFiles"},
      {"._tap_author_name", 64, ""},
      {"._tap_program_name", 64, "Vaultrix V1.0"},
      {"._tap_id", 4, ""},
      {"._tap_header", 32, header},
  };
  const Section *prev = nullptr;
  uint64_t total = 0;
  for (auto &w : want) {
    const Section *s = im.find(w.section);
    ASSERT_NE(s, nullptr) << w.section;
    EXPECT_EQ(s->size, w.size) << w.section;
    EXPECT_EQ(s->type, (uint32_t)SHT_PROGBITS) << w.section;
    EXPECT_TRUE(s->flags & SHF_ALLOC) << w.section;
    EXPECT_FALSE(s->flags & SHF_WRITE) << w.section << " must be read-only";
    EXPECT_EQ(s->addr % 4, 0u) << w.section;
    if (prev)
      EXPECT_EQ(s->addr, prev->addr + prev->size) << w.section << " follows without a gap";
    std::string bytes = im.bytes.substr(s->offset, s->size);
    if (!w.content.empty()) {
      EXPECT_EQ(bytes.substr(0, w.content.size()), w.content) << w.section;
      EXPECT_EQ(bytes.find_first_not_of('\0', w.content.size()), std::string::npos) << w.section << " is zero-filled";
    }
    prev = s;
    total += s->size;
  }
  EXPECT_EQ(total, 356u);

  // The build date: month abbreviation, day and four-digit year.
  const Section *etc = im.find("._tap_etcinfo");
  std::string date(im.bytes.c_str() + etc->offset);
  EXPECT_TRUE(std::string("JanFebMarAprMayJunJulAugSepOctNovDec").find(date.substr(0, 3)) % 3 == 0) << date;
  EXPECT_EQ(date.size(), 11u) << date;
  // Each section starts with its global data symbol.
  std::map<std::string, std::string> symbols = {
      {"._tap_etcinfo", "__tap_etc_str__"},       {"._tap_description", "__tap_description__"},
      {"._tap_author_name", "__tap_author_name__"}, {"._tap_program_name", "__tap_program_name__"},
      {"._tap_id", "__tap_ud__"},                   {"._tap_header", "__tap_Header__"}};
  for (auto &[section, symbol] : symbols) {
    ASSERT_TRUE(im.defined.count(symbol)) << symbol;
    EXPECT_EQ(im.defined[symbol], im.find(section)->addr) << symbol;
  }
}

TEST(Image, ExportsOnlyTheEntryPointsAndGlue)
{
  Image im = Load();
  std::set<std::string> exported;
  for (auto &[name, value] : im.defined)
    if (name.rfind("_tap_", 0) != 0 && name.rfind("__tap_", 0) != 0)
      exported.insert(name);
  // MIPS shared objects also define their linker symbols (_gp_disp & co).
  for (auto it = exported.begin(); it != exported.end();)
    it = (it->rfind("_DYNAMIC", 0) == 0 || *it == "_GLOBAL_OFFSET_TABLE_" || *it == "_gp_disp") ? exported.erase(it)
                                                                                                 : std::next(it);
  EXPECT_EQ(exported, (std::set<std::string>{"__TAP_Init_", "TAP_Main", "TAP_EventHandler", "abort", "__builtin_new",
                                             "_init", "_finit"}));
  ASSERT_TRUE(im.dynamic.count(DT_INIT));
  EXPECT_EQ(im.dynamic[DT_INIT], im.defined["_init"]) << "_init is the image's initialisation function";
  EXPECT_FALSE(im.dynamic.count(DT_FINI));
  // Runtime services are data symbols of libtap.so, never functions here.
  for (const char *tap : {"TAP_MemAlloc", "TAP_Exit", "TAP_Sleep", "TAP_GetTick", "TAP_Hdd_ChangeDir"})
    EXPECT_TRUE(im.undefined.count(tap)) << tap;
}

TEST(Image, NeedsExactlyTheRecordersLibraries)
{
  if (VX_SANITIZE)
    GTEST_SKIP() << "a sanitized image needs the sanitizer runtimes and their constructors";
  Image im = Load();
  EXPECT_EQ(im.needed, (std::vector<std::string>{"/tapapi/TMS/libtap.so", "libdl.so.0", "libc.so.0"}));
  EXPECT_FALSE(im.dynamic.count(DT_RPATH));
  EXPECT_FALSE(im.dynamic.count(DT_RUNPATH));
  for (auto &name : im.undefined) {
    EXPECT_EQ(name.find("__cxa"), std::string::npos) << name << " would need libstdc++";
    EXPECT_EQ(name.find("_Unwind"), std::string::npos) << name << " would need libgcc_s";
    EXPECT_EQ(name.find("__gxx"), std::string::npos) << name;
    EXPECT_EQ(name.rfind("_Z", 0), std::string::npos) << name << " is a C++ symbol";
  }
  EXPECT_FALSE(im.find(".init_array") && im.find(".init_array")->size) << "no static constructors";
}

} // namespace
