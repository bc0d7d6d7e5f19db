#include "hbdht.h"

#include <gtest/gtest.h>

#include <cstring>

#include "hbfmt_impl.h"

TEST(HBDHT, HashesWithTheUrlAlphabetAndOptionalPadding) {
  char out[32];
  const unsigned char abc[] = "abc";
  EXPECT_EQ(HBDHT__generateHash(abc, 3, out, sizeof out, 1), 32);
  EXPECT_STREQ(out, "qZk_NkcGgWq6PiVxeFDCbJzQ2J0");
  EXPECT_EQ(HBDHT__generateHash(abc, -1, out, sizeof out, 0), 32);
  EXPECT_STREQ(out, "qZk_NkcGgWq6PiVxeFDCbJzQ2J0=");
}

TEST(HBDHT, ReportsTheSizeItNeeds) {
  char small[31];
  const unsigned char abc[] = "abc";
  EXPECT_EQ(HBDHT__generateHash(abc, 3, nullptr, 0, 0), 32);
  EXPECT_EQ(HBDHT__generateHash(abc, 3, small, sizeof small, 0), BRERROR_NO_SPACE);
}

TEST(Id3v1Genres, NamesTheTableAndUnknownOutsideIt) {
  EXPECT_STREQ(id3v1__genreName(0), "Blues");
  EXPECT_STREQ(id3v1__genreName(17), "Rock");
  EXPECT_STREQ(id3v1__genreName(79), "Hard Rock");
  EXPECT_STREQ(id3v1__genreName(147), "Synthpop");
  EXPECT_STREQ(id3v1__genreName(148), "Unknown");
  EXPECT_STREQ(id3v1__genreName(-1), "Unknown");
}
