#include "brunicode.h"

#include <gtest/gtest.h>
#include <unicode/normalizer2.h>
#include <unicode/uchar.h>
#include <unicode/unistr.h>

#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <fstream>
#include <random>
#include <sstream>
#include <string>
#include <vector>

namespace {

std::string utf8(std::initializer_list<uint32_t> cps) {
  std::string s;
  for (uint32_t cp : cps) {
    char b[4];
    int n = brunicode_cptoutf8(cp, b, sizeof b);
    s.append(b, static_cast<size_t>(n));
  }
  return s;
}

// Composes `text` into a buffer of exactly `size` bytes placed inside a
// larger one, so that any write past `size` shows up in the guard bytes.
struct Composed {
  int result;
  std::string text;
  bool guard_intact;
};

Composed compose(const std::string &text, size_t size) {
  std::vector<char> buf(size + 16, '\x5a');
  int r = brunicode_normalizec_utf8(text.data(), static_cast<int>(text.size()), buf.data(), size);
  Composed c{r, {}, true};
  for (size_t i = size; i < buf.size(); i++) c.guard_intact &= buf[i] == '\x5a';
  if (r >= 0 && static_cast<size_t>(r) <= size) c.text.assign(buf.data(), static_cast<size_t>(r));
  return c;
}

std::string compose(const std::string &text) {
  Composed c = compose(text, text.size() * 4 + 16);
  EXPECT_TRUE(c.guard_intact);
  EXPECT_GE(c.result, 0) << text;
  return c.text;
}

std::string icu_nfc(const std::string &text) {
  UErrorCode status = U_ZERO_ERROR;
  const icu::Normalizer2 *nfc = icu::Normalizer2::getNFCInstance(status);
  EXPECT_TRUE(U_SUCCESS(status));
  icu::UnicodeString out = nfc->normalize(icu::UnicodeString::fromUTF8(text), status);
  EXPECT_TRUE(U_SUCCESS(status));
  std::string s;
  out.toUTF8String(s);
  return s;
}

std::string icu_nfd(const std::string &text) {
  UErrorCode status = U_ZERO_ERROR;
  const icu::Normalizer2 *nfd = icu::Normalizer2::getNFDInstance(status);
  icu::UnicodeString out = nfd->normalize(icu::UnicodeString::fromUTF8(text), status);
  std::string s;
  out.toUTF8String(s);
  return s;
}

TEST(BrUnicodeTables, HoldTheUnicode6DecompositionsAndTheirMarkClasses) {
  EXPECT_EQ(g_brunicode_decompchars_len, 1491);
  EXPECT_EQ(g_brunicode_modchars_len, 53);
  for (int i = 1; i < g_brunicode_decompchars_len; i++) {
    ASSERT_LT(g_brunicode_decompchars[i - 1].codepoint, g_brunicode_decompchars[i].codepoint);
  }
  for (int i = 1; i < g_brunicode_modchars_len; i++) {
    ASSERT_LT(g_brunicode_modchars[i - 1].codepoint, g_brunicode_modchars[i].codepoint);
  }
  struct {
    uint32_t cp;
    int cls;
  } classes[] = {{0x0338, 1},   {0x093C, 7},   {0x3099, 8},   {0x0DCA, 9},  {0x05B4, 14},
                 {0x05C2, 25},  {0x0C56, 91},  {0x0F71, 129}, {0x0F80, 130}, {0x0F74, 132},
                 {0x0327, 202}, {0x031B, 216}, {0x0655, 220}, {0x0301, 230}, {0x0345, 240},
                 {0x0316, 0},   {0x0041, 0},   {0x0300 - 1, 0}};
  for (const auto &c : classes) {
    EXPECT_EQ(brunicode_combiningclass(c.cp), c.cls) << std::hex << c.cp;
    if (c.cls != 0) {
      EXPECT_EQ(u_getCombiningClass(static_cast<UChar32>(c.cp)), c.cls);
    }
  }
}

// The committed table is the generator's output; a hand edit or a change of
// the script without regenerating shows up here.
TEST(BrUnicodeTables, MatchTheirGenerator) {
  if (access("/usr/share/unicode/UnicodeData.txt", R_OK) != 0) {
    GTEST_SKIP() << "needs the unicode-data package";
  }
  if (system("python3 -c '' 2>/dev/null") != 0) GTEST_SKIP() << "needs python3";
  std::string cmd = std::string("python3 ") + KX_SOURCE_DIR + "/tools/gen_unicode_tables.py";
  FILE *p = popen(cmd.c_str(), "r");
  ASSERT_NE(p, nullptr);
  std::string generated;
  char buf[4096];
  size_t n;
  while ((n = fread(buf, 1, sizeof buf, p)) > 0) generated.append(buf, n);
  ASSERT_EQ(pclose(p), 0);
  std::ifstream f(std::string(KX_SOURCE_DIR) + "/core/client/common/brunicode_data.cc");
  std::stringstream committed;
  committed << f.rdbuf();
  EXPECT_TRUE(generated == committed.str()) << "regenerate brunicode_data.cc";
}

TEST(BrUnicodeUtf8, DecodesAndEncodesSingleCodePoints) {
  struct {
    std::string bytes;
    int length;
    int result;
    uint32_t cp;
  } cases[] = {
      {"A", -1, 1, 'A'},
      {"\xC3\xA9", -1, 2, 0xE9},
      {"\xE2\x84\xAB", -1, 3, 0x212B},
      {"\xF0\xA4\x8B\xAE", -1, 4, 0x242EE},
      {"\xC0\x81", -1, 2, 0x01},  // overlong forms are accepted
      {"\x80", -1, -6, 0},
      {"\xF8\x80\x80\x80\x80", -1, -6, 0},
      {"\xC3(", -1, -6, 0},
      {"\xE2\x84", -1, -7, 0},
      {"\xE2\x84\xAB", 2, -7, 0},
      {"", 0, -7, 0},
  };
  for (const auto &c : cases) {
    uint32_t cp = 0;
    EXPECT_EQ(brunicode_utf8cp(c.bytes.c_str(), c.length, &cp), c.result) << c.bytes;
    if (c.result > 0) {
      EXPECT_EQ(cp, c.cp);
    }
  }

  char out[4] = {'x', 'x', 'x', 'x'};
  EXPECT_EQ(brunicode_cptoutf8(0x212B, out, 2), 3);
  EXPECT_EQ(out[0], 'x') << "a form that does not fit is not written at all";
  EXPECT_EQ(brunicode_cptoutf8(0x212B, out, 3), 3);
  EXPECT_EQ(std::string(out, 3), "\xE2\x84\xAB");
  EXPECT_EQ(brunicode_cptoutf8(0xFEFF, out, 4), 0);
  EXPECT_EQ(brunicode_cptoutf8(0x110000, out, 4), -6);
}

TEST(BrUnicodeNormalize, ComposesNamesAsTheDriveShowsThem) {
  struct {
    std::string in;
    std::string out;
  } cases[] = {
      {utf8({'e', 0x301}), utf8({0xE9})},
      {utf8({'A', 0x30A}), utf8({0xC5})},
      {utf8({0x212B}), utf8({0xC5})},
      {utf8({0xFA6C}), utf8({0x242EE})},
      {utf8({'a', 0xFEFF, 'b', 0xFEFF}), "ab"},
      {utf8({0xFFFF, 'e', 0xFEFF, 0x301}), utf8({0xFFFF, 0xE9})},  // dropped before composing
      {utf8({0xAC00, 'x'}), utf8({0xAC00, 'x'})},
      {utf8({'s', 0x323, 0x307}), utf8({0x1E69})},
      {utf8({0x3B1, 0x313, 0x300, 0x345}), utf8({0x1F82})},
      {utf8({0x301, 'e', 0x301}), utf8({0x301, 0xE9})},  // leading mark stands alone
      {utf8({0xA8, 0x301}), utf8({0x385})},  // the first entry of a shared pair wins
      {"plain ascii.txt", "plain ascii.txt"},
      {"", ""},
  };
  for (const auto &c : cases) {
    EXPECT_EQ(compose(c.in), c.out);
  }
  std::string nul_terminated = utf8({'e', 0x301});
  char out[8];
  EXPECT_EQ(brunicode_normalizec_utf8(nul_terminated.c_str(), -1, out, sizeof out), 2);
}

// Where the composed form differs from NFC by design, and the one place it
// keeps NFC's rule: a mark is not composed across another mark of the same
// or a higher class, which would change the text's meaning.
TEST(BrUnicodeNormalize, DiffersFromNfcOnlyWhereIntended) {
  struct {
    const char *what;
    std::string in;
    std::string out;
    bool same_as_nfc;
  } cases[] = {
      {"marks are not reordered", utf8({'a', 0x301, 0x323}), utf8({0xE1, 0x323}), false},
      {"excluded pairs compose", utf8({0x915, 0x93C}), utf8({0x958}), false},
      {"excluded pairs compose", utf8({0x5D0, 0x5B7}), utf8({0xFB2E}), false},
      {"Hangul jamo are not composed", utf8({0x1100, 0x1161}), utf8({0x1100, 0x1161}), false},
      {"a starter never composes as second", utf8({0xB47, 0xB56}), utf8({0xB47, 0xB56}), false},
      {"marks outside the table are starters", utf8({'a', 0x316, 0x301}),
       utf8({'a', 0x316, 0x301}), false},
      {"blocked by an equal class", utf8({'a', 0x313, 0x301}), utf8({'a', 0x313, 0x301}), true},
      {"not blocked by a lower class", utf8({'a', 0x323, 0x302}), utf8({0x1EAD}), true},
  };
  for (const auto &c : cases) {
    EXPECT_EQ(compose(c.in), c.out) << c.what;
    EXPECT_EQ(icu_nfc(c.in) == c.out, c.same_as_nfc) << c.what;
  }
}

// Random names of Latin, Greek and Cyrillic letters (precomposed or not)
// with marks of the class table, kept in canonical order so that the lack of
// reordering does not matter: the result must equal ICU's NFC.
TEST(BrUnicodeNormalize, MatchesIcuNfcOnRandomNames) {
  std::vector<uint32_t> letters;
  const std::pair<uint32_t, uint32_t> ranges[] = {{0x41, 0x24F}, {0x370, 0x4FF}, {0x1E00, 0x1FFF}};
  for (const auto &r : ranges) {
    for (uint32_t cp = r.first; cp <= r.second; cp++) {
      UVersionInfo age;
      u_charAge(static_cast<UChar32>(cp), age);
      if (u_isalpha(static_cast<UChar32>(cp)) && age[0] != 0 && age[0] <= 6) letters.push_back(cp);
    }
  }
  std::vector<uint32_t> marks;
  for (int i = 0; i < g_brunicode_modchars_len; i++) {
    uint32_t cp = g_brunicode_modchars[i].codepoint;
    if (cp >= 0x300 && cp < 0x370) marks.push_back(cp);
  }
  ASSERT_GT(letters.size(), 1000u);

  std::mt19937 rng(20240611);
  int checked = 0;
  for (int iter = 0; iter < 5000; iter++) {
    std::string name;
    int clusters = 1 + static_cast<int>(rng() % 8);
    for (int k = 0; k < clusters; k++) {
      std::string cluster = utf8({letters[rng() % letters.size()]});
      std::vector<uint32_t> m;
      for (int j = static_cast<int>(rng() % 4); j > 0; j--) m.push_back(marks[rng() % marks.size()]);
      std::stable_sort(m.begin(), m.end(), [](uint32_t a, uint32_t b) {
        return brunicode_combiningclass(a) < brunicode_combiningclass(b);
      });
      std::string with_marks = cluster;
      for (uint32_t cp : m) with_marks += utf8({cp});
      // A precomposed letter whose own marks would need reordering against
      // the new ones is outside what this composition promises.
      std::string marks_only = with_marks.substr(cluster.size());
      if (icu_nfd(with_marks) != icu_nfd(cluster) + marks_only) with_marks = cluster;
      name += with_marks;
    }
    ASSERT_EQ(compose(name), icu_nfc(name)) << "iteration " << iter;
    checked++;
  }
  EXPECT_EQ(checked, 5000);
}

TEST(BrUnicodeNormalize, ReportsInvalidUtf8) {
  EXPECT_EQ(compose("ab\x80" "c", 16).result, -6);
  EXPECT_EQ(compose("ab\xC3(", 16).result, -6);
  EXPECT_EQ(compose("ab\xE2\x84", 16).result, -7);
  EXPECT_EQ(compose("\xF7\xBF\xBF\xBF", 16).result, -6) << "beyond U+10FFFF";
}

TEST(BrUnicodeNormalize, NeverWritesPastTheBuffer) {
  // Decomposes to 8 bytes (s U+0323 U+0307 e U+0301) and composes to 5.
  std::string name = utf8({0x1E69, 'e', 0x301});
  Composed small = compose(name, 7);
  EXPECT_TRUE(small.guard_intact);
  EXPECT_EQ(small.result, 8) << "the decomposed length, above size";
  Composed exact = compose(name, 8);
  EXPECT_TRUE(exact.guard_intact);
  EXPECT_EQ(exact.text, utf8({0x1E69, 0xE9}));
  Composed none = compose(name, 0);
  EXPECT_TRUE(none.guard_intact);
  EXPECT_EQ(none.result, 8);
}

TEST(BrUnicodeNormalize, WritesOverlongRunsUncomposed) {
  std::string fourteen = utf8({'e'});
  for (int i = 0; i < 13; i++) fourteen += utf8({0x331});
  fourteen += utf8({0x301});
  EXPECT_EQ(compose(fourteen), utf8({0xE9}) + fourteen.substr(1, 26))
      << "a starter and 14 marks still compose";
  std::string fifteen = utf8({'e'});
  for (int i = 0; i < 14; i++) fifteen += utf8({0x331});
  fifteen += utf8({0x301}) + "x";
  EXPECT_EQ(compose(fifteen), fifteen);
}

}  // namespace
