#include "hbbase64.h"

#include <gtest/gtest.h>
#include <openssl/evp.h>

#include <memory>
#include <random>
#include <string>
#include <vector>

#include "brlog_testing.h"

namespace {

std::string encode(const std::string &data, int flags) {
  int n = hbbase64__encode(data.data(), data.size(), nullptr, 0, flags);
  std::string out(static_cast<size_t>(n) + 1, '\0');
  int w = hbbase64__encode(data.data(), data.size(), out.data(), out.size(), flags);
  EXPECT_GE(w, 0);
  out.resize(static_cast<size_t>(w < 0 ? 0 : w));
  return out;
}

TEST(HbBase64, EncodesBothAlphabetsWithAndWithoutPadding) {
  struct {
    std::string data;
    int flags;
    std::string text;
  } cases[] = {
      {"abc", 0, "YWJj"},
      {"ab", 0, "YWI="},
      {"ab", HBBASE64_NOPAD, "YWI"},
      {"a", 0, "YQ=="},
      {"a", HBBASE64_NOPAD, "YQ"},
      {"", 0, ""},
      {"\xfb\xff\xbf", 0, "+/+/"},
      {"\xfb\xff\xbf", HBBASE64_URLSAFE, "_-_-"},
      {"\xfb\xff", HBBASE64_URLSAFE | HBBASE64_NOPAD, "_-8"},
  };
  for (const auto &c : cases) EXPECT_EQ(encode(c.data, c.flags), c.text) << c.text;
  EXPECT_EQ(encode(std::string(20, '\x42'), HBBASE64_NOPAD).size(), 27u);
}

TEST(HbBase64, EncodeRespectsTheBufferAndRejectsUnknownFlags) {
  EXPECT_EQ(hbbase64__encode("ab", 2, nullptr, 0, HBBASE64_NOPAD), 4)
      << "the size asked for ignores the padding flag";
  std::vector<char> buf(4 + 8, 'Z');
  EXPECT_EQ(hbbase64__encode("abcd", 4, buf.data(), 7, 0), -12);
  EXPECT_EQ(buf[0], 'Z');
  EXPECT_EQ(hbbase64__encode("abc", 3, buf.data(), 4, 0), 4);
  EXPECT_EQ(std::string(buf.data(), 5), "YWJjZ") << "no room for the NUL, none written";
  EXPECT_EQ(hbbase64__encode("abc", 3, buf.data(), 8, 4), -6);
}

TEST(HbBase64, DecodesBothAlphabetsAndMissingPadding) {
  struct {
    std::string text;
    std::string data;
  } cases[] = {
      {"YWJj", "abc"},     {"YWI=", "ab"},  {"YWI", "ab"},          {"YQ==", "a"},
      {"YQ", "a"},         {"", ""},        {"+/+/", "\xfb\xff\xbf"}, {"_-_-", "\xfb\xff\xbf"},
      {"YQ==YWJj", "aabc"}, {"Y", ""},
  };
  for (const auto &c : cases) {
    char out[16];
    int n = hbbase64__decode(c.text.c_str(), -1, out, sizeof out, 0);
    ASSERT_GE(n, 0) << c.text;
    EXPECT_EQ(std::string(out, static_cast<size_t>(n)), c.data) << c.text;
    EXPECT_EQ(out[n], 0);
  }
  EXPECT_EQ(hbbase64__decode("YWI", 3, nullptr, 0, 0), 3);
  EXPECT_EQ(hbbase64__decode("YWJjZA", -1, nullptr, 0, 0), 6);
}

TEST(HbBase64, DecodeRejectsBadCharactersAndSmallBuffers) {
  auto log = std::make_unique<BRLogCapture>(BRLOG_INFO);
  char out[16];
  EXPECT_EQ(hbbase64__decode("YW*j", -1, out, sizeof out, 0), -6);
  EXPECT_EQ(log->lines, (std::vector<std::string>{
                            "BASE64|1|Illegal Base 64 character '*' (0x2a) at offset 2\n"}));
  EXPECT_EQ(hbbase64__decode("YWJj\xc3\xa9", -1, out, sizeof out, 0), -6);
  EXPECT_EQ(hbbase64__decode("YW\nJj", -1, out, sizeof out, 0), -6);
  EXPECT_EQ(hbbase64__decode("YWJj", 4, out, sizeof out, 0), 3) << "length bounds the text";
  std::string with_nul("YQ\0=", 4);
  EXPECT_EQ(hbbase64__decode(with_nul.data(), 4, out, sizeof out, 0), -6);
  log.reset();

  std::vector<char> buf(3 + 8, 'Z');
  EXPECT_EQ(hbbase64__decode("YWJjZA==", -1, buf.data(), 3, 0), -12);
  EXPECT_EQ(std::string(buf.data() + 3, 8), std::string(8, 'Z'));
  EXPECT_EQ(hbbase64__decode("YWJj", -1, buf.data(), 3, 0), 3);
  EXPECT_EQ(buf[3], 'Z') << "no room for the NUL, none written";
}

TEST(HbBase64, RoundTripsAndMatchesOpenSsl) {
  std::mt19937 rng(7);
  for (size_t len = 0; len < 200; len++) {
    std::string data(len, '\0');
    for (char &c : data) c = static_cast<char>(rng());
    std::string text = encode(data, 0);
    std::vector<unsigned char> ref(4 * ((len + 2) / 3) + 1);
    int n = EVP_EncodeBlock(ref.data(), reinterpret_cast<const unsigned char *>(data.data()),
                            static_cast<int>(len));
    EXPECT_EQ(text, std::string(reinterpret_cast<char *>(ref.data()), static_cast<size_t>(n)));
    for (int flags : {0, 1, 2, 3}) {
      std::string t = encode(data, flags);
      std::vector<char> back(len + 4);
      int m = hbbase64__decode(t.data(), static_cast<int>(t.size()), back.data(), back.size(), 0);
      ASSERT_EQ(m, static_cast<int>(len));
      EXPECT_EQ(std::string(back.data(), len), data);
    }
  }
}

TEST(HbBase64, DecodeMapCoversBothAlphabetsOnly) {
  int legal = 0;
  for (int c = 0; c < 256; c++) legal += g_base64DecodeMap[c] != HBBASE64_ILLEGAL;
  EXPECT_EQ(legal, 67) << "64 characters, the two extra URL ones and '='";
  EXPECT_EQ(g_base64DecodeMap['+'], 62);
  EXPECT_EQ(g_base64DecodeMap['_'], 62);
  EXPECT_EQ(g_base64DecodeMap['/'], 63);
  EXPECT_EQ(g_base64DecodeMap['-'], 63);
  EXPECT_EQ(g_base64DecodeMap['='], 0);
}

}  // namespace
