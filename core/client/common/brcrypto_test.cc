#include "brcrypto.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "brstring.h"

namespace {

std::string hex(const uint8_t *bytes, size_t n) {
  std::string s(2 * n + 1, '\0');
  brutil_toHexString(bytes, n, s.data(), s.size());
  s.resize(2 * n);
  return s;
}

TEST(BrCrypto, Sha1MatchesTheStandardVectors) {
  struct {
    std::string data;
    const char *digest;
  } cases[] = {
      {"", "da39a3ee5e6b4b0d3255bfef95601890afd80709"},
      {"abc", "a9993e364706816aba3e25717850c26c9cd0d89d"},
      {"abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq",
       "84983e441c3bd26ebaae4aa1f95129e5e54670f1"},
      {std::string(1000000, 'a'), "34aa973cd4c4daa4f61eeb2bdbad27316534016f"},
  };
  for (const auto &c : cases) {
    uint8_t out[BRCRYPTO_SHA1_SIZE];
    EXPECT_EQ(brcrypto_sha1(c.data.data(), c.data.size(), out, sizeof out), 20);
    EXPECT_EQ(hex(out, sizeof out), c.digest);
  }
  EXPECT_EQ(brcrypto_sha1("abc", 3, nullptr, 0), 20);
  std::vector<uint8_t> small(19 + 4, 0x5a);
  EXPECT_EQ(brcrypto_sha1("abc", 3, small.data(), 19), -12);
  EXPECT_EQ(small, std::vector<uint8_t>(23, 0x5a));
}

TEST(BrCrypto, GenrandomIsRandRSequenceOfTheSeed) {
  brcrypto_state *state = nullptr;
  ASSERT_EQ(brcrypto__initialize(&state), 0);
  unsigned char bytes[10];
  unsigned int seed = state->seed;
  EXPECT_EQ(brcrypto__genrandom(state, bytes, 10), 10);
  int32_t words[3];
  for (int32_t &w : words) w = rand_r(&seed);
  EXPECT_EQ(memcmp(bytes, words, 10), 0);
  brcrypto__shutdown(state);
}

TEST(BrCrypto, UuidTextForms) {
  bruuid_t uuid;
  for (int i = 0; i < 16; i++) uuid[i] = static_cast<uint8_t>(i);
  char out[40];
  EXPECT_EQ(bruuid_to_string(uuid, out, sizeof out, 0), 36);
  EXPECT_STREQ(out, "00010203-0405-0607-0809-0a0b0c0d0e0f");
  EXPECT_EQ(bruuid_to_string(uuid, out, 33, BRUUID_COMPACT), 32);
  EXPECT_STREQ(out, "000102030405060708090a0b0c0d0e0f");
  EXPECT_EQ(bruuid_to_string(uuid, out, 36, 0), -12) << "no room for the NUL";

  bruuid_t back;
  EXPECT_EQ(bruuid_from_string("00010203-0405-0607-0809-0A0B0C0D0E0F", back), 0);
  EXPECT_EQ(memcmp(back, uuid, 16), 0);
  EXPECT_EQ(bruuid_from_string("0-0010203040506070809-0a0b0c0d0e0fTRAILING", back), 0);
  EXPECT_EQ(memcmp(back, uuid, 16), 0) << "dashes anywhere, text after 16 bytes unread";
  EXPECT_EQ(bruuid_from_string("0001", back), 0);
  EXPECT_EQ(back[1], 1);
  EXPECT_EQ(back[2], 0) << "bytes not reached are zero";
  EXPECT_EQ(bruuid_from_string("000", back), -1);
  EXPECT_EQ(bruuid_from_string("00g1", back), -1);
  EXPECT_EQ(bruuid_from_string("{0001}", back), -1);
}

TEST(BrCrypto, RandomUuidsDifferAcrossThreadsWithoutAState) {
  std::vector<std::string> ids(8 * 50);
  std::vector<std::thread> threads;
  for (int t = 0; t < 8; t++) {
    threads.emplace_back([&ids, t] {
      for (int i = 0; i < 50; i++) {
        char out[36];
        ASSERT_EQ(bruuid_generate_randomstr(nullptr, out, sizeof out, BRUUID_COMPACT), 32);
        ids[static_cast<size_t>(t * 50 + i)] = out;
      }
    });
  }
  for (auto &th : threads) th.join();
  EXPECT_EQ(std::set<std::string>(ids.begin(), ids.end()).size(), ids.size());

  brcrypto_state *state = nullptr;
  ASSERT_EQ(brcrypto__initialize(&state), 0);
  char a[37], b[37];
  EXPECT_EQ(bruuid_generate_randomstr(state, a, sizeof a, 0), 36);
  EXPECT_EQ(bruuid_generate_randomstr(state, b, sizeof b, 0), 36);
  EXPECT_STRNE(a, b);
  EXPECT_EQ(a[8], '-');
  brcrypto__shutdown(state);
}

}  // namespace
