#include "brstring.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "brlog_testing.h"

namespace {

// A buffer of `size` bytes followed by guard bytes that must stay untouched.
struct Guarded {
  explicit Guarded(size_t size) : size(size), bytes(size + 16, '\x5a') {}
  char *data() { return bytes.data(); }
  bool intact() const {
    for (size_t i = size; i < bytes.size(); i++) {
      if (bytes[i] != '\x5a') return false;
    }
    return true;
  }
  size_t size;
  std::vector<char> bytes;
};

TEST(BrString, CaseInsensitiveCompareLowersAsciiOnly) {
  EXPECT_EQ(brstrcasecmp("Hello", "hELLO"), 0);
  EXPECT_EQ(brstrcasecmp("abc", "abd"), 'c' - 'd');
  EXPECT_EQ(brstrcasecmp("ab", "abc"), -'c');
  EXPECT_EQ(brstrcasecmp("\xC3\x89", "\xC3\xA9"), 0x89 - 0xA9) << "UTF-8 is not case-folded";
  EXPECT_EQ(brstrcasecmp("\xFF", "a"), 0xFF - 'a') << "bytes compare as unsigned";
  EXPECT_EQ(brstrncasecmp("HEADER: x", "header: y", 7), 0);
  EXPECT_LT(brstrncasecmp("HEADER: x", "header: y", 9), 0);
  EXPECT_EQ(brstrncasecmp("ab", "AB", 10), 0) << "stops at the NUL";
}

TEST(BrString, DowncaseTrimAndBoundedAppend) {
  char text[] = "MiXeD \xC3\x89";
  EXPECT_EQ(brstrdowncase(text, -1), 8);
  EXPECT_STREQ(text, "mixed \xC3\x89");
  char part[] = "ABCD";
  EXPECT_EQ(brstrdowncase(part, 2), 2);
  EXPECT_STREQ(part, "abCD");
  EXPECT_EQ(brstrdowncase(part, 0), 0);

  char padded[] = " \t value \r\n";
  EXPECT_STREQ(brstrtrim(padded), "value");
  char blank[] = " \t\n";
  EXPECT_STREQ(brstrtrim(blank), "");

  Guarded buf(8);
  strcpy(buf.data(), "abc");
  EXPECT_EQ(brstrcatn(buf.data(), "defghij", buf.size), buf.data());
  EXPECT_STREQ(buf.data(), "abcdefg");
  EXPECT_TRUE(buf.intact());
  memset(buf.data(), 'x', buf.size);
  EXPECT_EQ(brstrcatn(buf.data(), "y", buf.size), nullptr) << "no NUL inside the buffer";
  EXPECT_TRUE(buf.intact());
}

TEST(BrString, CanonicalisesPaths) {
  struct {
    const char *in;
    const char *out;
  } cases[] = {
      {"./a//b/./c/../d/", "a/b/d"},
      {"/a/b/../../c", "/c"},
      {"/", ""},
      {"//x//", "/x"},
      {"/a/..", ""},
      {"a/b/..", "a"},
      {"..a/.b/...", "..a/.b/..."},
      {"", ""},
  };
  for (const auto &c : cases) {
    std::string path = c.in;
    EXPECT_EQ(brstrcanon(path.data()), 0) << c.in;
    EXPECT_STREQ(path.c_str(), c.out) << c.in;
  }
  for (const char *bad : {"/../x", "..", "a/../../b"}) {
    std::string path = bad;
    EXPECT_EQ(brstrcanon(path.data()), -6) << bad;
    EXPECT_LE(strlen(path.c_str()), strlen(bad));
  }
}

TEST(BrString, CanonLogsBeforeAndAfterAtDebugLevel) {
  BRLogCapture log;
  char path[] = "/a/./b/";
  brstrcanon(path);
  ASSERT_EQ(log.lines.size(), 2u);
  EXPECT_EQ(log.lines[0], "BRSTR|19|Canoning: /a/./b/\n");
  EXPECT_EQ(log.lines[1], "BRSTR|19|Canoned:  /a/b\n");
}

// The search examines every start position, the last one included: a match
// that ends at the final byte (a header terminator at the end of a read) is
// found.
TEST(BrString, MemmemFindsEveryOccurrenceIncludingAtTheEnd) {
  const char data[] = "abc";
  EXPECT_EQ(brmemmem(data, 3, "ab", 2), data);
  EXPECT_EQ(brmemmem(data, 3, "bc", 2), data + 1);
  EXPECT_EQ(brmemmem(data, 3, "abc", 3), data);
  EXPECT_EQ(brmemmem(data, 3, "abcd", 4), nullptr);
  EXPECT_EQ(brmemmem(data, 3, "cb", 2), nullptr);
  EXPECT_EQ(brmemmem(data, 3, "", 0), data);
  const char http[] = "HTTP/1.1 200 OK\r\nA: b\r\n\r\n";
  EXPECT_EQ(brmemmem(http, sizeof http - 1, "\r\n\r\n", 4), http + sizeof http - 5);
}

TEST(BrString, ParsesNumbersWithFixedRules) {
  struct {
    const char *text;
    int base;
    uint64_t value;
    int end;
  } unsigned_cases[] = {
      {"  0x1fZ", 0, 31, 6},
      {"017", 0, 0, 0},
      {"0", 0, 0, 1},
      {"0 ", 0, 0, 1},
      {"42abc", 10, 42, 2},
      {"99999999999", 10, 1410065407, 10},  // ten digits, wrapped to 32 bits
      {"0XfFfFfFfF1", 16, 0xFFFFFFFF, 10},
      {"abcdef", 16, 0xABCDEF, 6},
      {"  xyz", 10, 0, 2},
      {"0xZ", 16, 0, 2},
      {"-5", 10, 0, 0},
      {"12", 8, 0, 0},
  };
  for (const auto &c : unsigned_cases) {
    const char *end = nullptr;
    EXPECT_EQ(brstrtoul(c.text, &end, c.base), c.value) << c.text;
    EXPECT_EQ(end - c.text, c.end) << c.text;
  }
  const char *end = nullptr;
  EXPECT_EQ(brstrtoull("18446744073709551615x", &end, 10), UINT64_MAX);
  EXPECT_EQ(*end, 'x');
  EXPECT_EQ(brstrtoull("123456789abcdef01", &end, 16), 0x123456789abcdef0u);
  EXPECT_EQ(*end, '1') << "sixteen hex digits at most";
  EXPECT_EQ(brstrtol("-12", &end, 10), -12);
  EXPECT_EQ(brstrtol(" +7", nullptr, 10), 7);
  EXPECT_EQ(brstrtol("-0x10", nullptr, 0), -16);
  EXPECT_EQ(brstrtoll("-9223372036854775808", nullptr, 10), INT64_MIN);
}

TEST(BrString, FormatsNumbers) {
  char out[32];
  EXPECT_EQ(brultostr(0xAB, out, 2, 16, '0'), 2);
  EXPECT_STREQ(out, "ab");
  EXPECT_EQ(brultostr(5, out, 8, 16, '0'), 8);
  EXPECT_STREQ(out, "00000005");
  EXPECT_EQ(brultostr(0x12345, out, 2, 16, '0'), 2);
  EXPECT_STREQ(out, "45") << "the lowest digits are kept";
  EXPECT_EQ(brultostr(0, out, 0, 10, 0), 1);
  EXPECT_STREQ(out, "0");
  EXPECT_EQ(brultostr(0, out, 3, 10, ' '), 3);
  EXPECT_STREQ(out, "  0");
  EXPECT_EQ(brultostr(UINT32_MAX, out, 0, 10, 0), 10);
  EXPECT_STREQ(out, "4294967295");
  EXPECT_EQ(brulltostr(UINT64_MAX, out, 0, 10, 0), 20);
  EXPECT_STREQ(out, "18446744073709551615");
  EXPECT_EQ(brulltostr(0xDEADBEEFCAFEull, out, 0, 16, 0), 12);
  EXPECT_STREQ(out, "deadbeefcafe");
  EXPECT_EQ(brustostr(65535, out, 0, 10, 0), 5);
  EXPECT_STREQ(out, "65535");

  BRLogCapture log;
  EXPECT_EQ(brultostr(1, out, 0, 8, 0), -16);
  EXPECT_EQ(brulltostr(1, out, 0, 36, 0), -16);
  EXPECT_EQ(brustostr(1, out, 0, 2, 0), -1);
  EXPECT_EQ(log.lines, (std::vector<std::string>{
                           "BRSTR|2|TODO: Implement radix 8 in brultostr",
                           "BRSTR|2|TODO: Implement radix 36 in brultostr",
                           "BRSTR|2|TODO: Implement radix 2 in brustostr",
                       }));
}

TEST(BrString, ConvertsUcs2ToUtf8) {
  const uint16_t text[] = {0xFEFF, 'A', 0xE9, 0x20AC, 0xD83D, 0};
  const std::string expected = "A\xC3\xA9\xE2\x82\xAC\xED\xA0\xBD";
  char out[32];
  EXPECT_EQ(brstr_ucs2_to_utf8(text, -1, out, sizeof out), 9);
  EXPECT_EQ(std::string(out), expected);
  EXPECT_EQ(brstr_ucs2_to_utf8(text + 1, 2, out, sizeof out), 3);
  EXPECT_STREQ(out, "A\xC3\xA9");

  // Cut at a whole character, and terminated even when the text would fill
  // the buffer exactly.
  for (size_t size : {0u, 1u, 3u, 4u, 6u, 9u}) {
    Guarded buf(size);
    EXPECT_EQ(brstr_ucs2_to_utf8(text, -1, buf.data(), size), 9) << size;
    EXPECT_TRUE(buf.intact()) << size;
    if (size > 0) {
      std::string got(buf.data());
      EXPECT_LT(got.size(), size);
      EXPECT_EQ(expected.compare(0, got.size(), got), 0) << size;
    }
  }
  Guarded four(4);
  brstr_ucs2_to_utf8(text, -1, four.data(), 4);
  EXPECT_STREQ(four.data(), "A\xC3\xA9");

  BRLogCapture log;
  const uint16_t swapped[] = {0xFFFE, 0x4100, 0};
  EXPECT_EQ(brstr_ucs2_to_utf8(swapped, -1, out, sizeof out), 0);
  EXPECT_STREQ(out, "");
  ASSERT_EQ(log.lines.size(), 1u);
  EXPECT_EQ(log.lines[0], "BRSTR|2|ACK: Incoming UTF-16 string not host-order!\n");
}

TEST(BrString, ConvertsLatin1ToUtf8) {
  const char latin1[] = "caf\xE9 \xFF";
  char out[16];
  EXPECT_EQ(brstr_latin1_to_utf8(latin1, -1, nullptr, 0), 9);
  EXPECT_EQ(brstr_latin1_to_utf8(latin1, -1, out, sizeof out), 9);
  EXPECT_STREQ(out, "caf\xC3\xA9 \xC3\xBF");
  EXPECT_EQ(brstr_latin1_to_utf8(latin1, 3, out, sizeof out), 4);
  EXPECT_STREQ(out, "caf");

  BRLogCapture log;
  Guarded buf(5);
  EXPECT_EQ(brstr_latin1_to_utf8(latin1, -1, buf.data(), 5), 4);
  EXPECT_STREQ(buf.data(), "caf") << "the two-byte character does not fit with the NUL";
  EXPECT_TRUE(buf.intact());
  ASSERT_EQ(log.lines.size(), 1u);
  EXPECT_EQ(log.lines[0], "UTF8|1|No more room converting Latin-1 to UTF-8!\n");
}

TEST(BrString, HexAndPrintableEscapes) {
  struct {
    char c;
    int value;
  } digits[] = {{'0', 0}, {'9', 9}, {'a', 10}, {'f', 15}, {'A', 10}, {'F', 15},
                {'/', -1}, {':', -1}, {'`', -1}, {'g', -1}, {'@', -1}, {'G', -1}, {'\xE0', -1}};
  for (const auto &d : digits) EXPECT_EQ(brutil_hexDigitValue(d.c), d.value) << d.c;

  const unsigned char bytes[] = {0x00, 0x7F, 0xAB, 0xFF};
  char hex[16];
  EXPECT_EQ(brutil_toHexString(bytes, 4, hex, sizeof hex), 0);
  EXPECT_STREQ(hex, "007fabff");
  Guarded small(6);
  brutil_toHexString(bytes, 4, small.data(), 6);
  EXPECT_STREQ(small.data(), "007f") << "only whole bytes, with the NUL";
  EXPECT_TRUE(small.intact());

  const char raw[] = "a\0\n\r\\\x01\x7f\xc3~";
  char out[64];
  EXPECT_EQ(brutil_pescape(out, sizeof out, raw, sizeof raw - 1), 22);
  EXPECT_STREQ(out, "a\\0\\n\\r\\\\\\x01\\x7f\\xc3~");

  Guarded cut(4);
  EXPECT_EQ(brutil_pescape(cut.data(), 4, raw, sizeof raw - 1), 22);
  EXPECT_STREQ(cut.data(), "a\\0") << "whole escapes only, always terminated";
  EXPECT_TRUE(cut.intact());
  Guarded exact(3);
  EXPECT_EQ(brutil_pescape(exact.data(), 3, "abc", 3), 3);
  EXPECT_STREQ(exact.data(), "ab");
  EXPECT_TRUE(exact.intact());
}

}  // namespace
