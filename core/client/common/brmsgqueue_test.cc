#include "brmsgqueue.h"

#include <gtest/gtest.h>

#include <thread>

namespace {

class BrMsgQueueTest : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_EQ(brmsgqueue__new(&queue_, 3), 0); }
  void TearDown() override { brmsgqueue__destroy(queue_); }
  brmsgqueue_t queue_ = nullptr;
};

TEST_F(BrMsgQueueTest, PairsComeOutInOrderAcrossTheRingEnd) {
  int values[8];
  uint32_t next_out = 0;
  for (uint32_t i = 0; i < 8; i++) {
    ASSERT_EQ(brmsgqueue__put(queue_, i, &values[i], false), 0);
    if (brmsgqueue__length(queue_) == 2) {
      uint32_t word = 99;
      void *pointer = nullptr;
      ASSERT_EQ(brmsgqueue__get(queue_, &word, &pointer, 0), 0);
      EXPECT_EQ(word, next_out);
      EXPECT_EQ(pointer, &values[next_out]);
      next_out++;
    }
  }
  EXPECT_EQ(brmsgqueue__length(queue_), 1);
  uint32_t word = 0;
  ASSERT_EQ(brmsgqueue__get(queue_, &word, nullptr, 0), 0);
  EXPECT_EQ(word, 7u);
}

TEST_F(BrMsgQueueTest, FullQueueRefusesNonWaitingPutAndEmptyQueueTimesOut) {
  for (uint32_t i = 0; i < 3; i++) ASSERT_EQ(brmsgqueue__put(queue_, i, nullptr, false), 0);
  EXPECT_EQ(brmsgqueue__put(queue_, 3, nullptr, false), -1);
  for (int i = 0; i < 3; i++) ASSERT_EQ(brmsgqueue__get(queue_, nullptr, nullptr, 0), 0);
  EXPECT_EQ(brmsgqueue__get(queue_, nullptr, nullptr, 100), BRERROR_TRY_AGAIN);
  EXPECT_EQ(brmsgqueue__get(queue_, nullptr, nullptr, 0), BRERROR_TRY_AGAIN);
}

TEST_F(BrMsgQueueTest, WaitingPutAndGetMeetAcrossThreads) {
  constexpr uint32_t kCount = 10000;
  std::thread producer([&] {
    for (uint32_t i = 0; i < kCount; i++) ASSERT_EQ(brmsgqueue__put(queue_, i, nullptr, true), 0);
  });
  for (uint32_t i = 0; i < kCount; i++) {
    uint32_t word = 0;
    ASSERT_EQ(brmsgqueue__get(queue_, &word, nullptr, -1), 0);
    ASSERT_EQ(word, i);
  }
  producer.join();
}

TEST(BrMsgQueue, CapacityMustBePositive) {
  brmsgqueue_t queue = nullptr;
  EXPECT_EQ(brmsgqueue__new(&queue, 0), BRERROR_INVALID_ARGUMENT);
  EXPECT_EQ(queue, nullptr);
}

}  // namespace
