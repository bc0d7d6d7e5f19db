#include "brthreadpool.h"

#include <gtest/gtest.h>
#include <sched.h>

#include <atomic>
#include <cstdio>
#include <mutex>
#include <set>
#include <string>
#include <vector>

#include "brlog.h"
#include "brthread.h"

namespace {

// Items that hold their worker until the test opens the gate.
struct Gate {
  brsemaphore_t started = nullptr;
  brsemaphore_t open = nullptr;
  std::atomic<int> ran{0};
  std::atomic<int> cleaned{0};
  brsemaphore_t cleaned_sem = nullptr;
  brsemaphore_t finished = nullptr;

  Gate() {
    brsemaphore__new(&finished, 0);
    brsemaphore__new(&started, 0);
    brsemaphore__new(&open, 0);
    brsemaphore__new(&cleaned_sem, 0);
  }
  ~Gate() {
    brsemaphore__destroy(started);
    brsemaphore__destroy(open);
    brsemaphore__destroy(cleaned_sem);
    brsemaphore__destroy(finished);
  }
  // Pending items are dropped at shutdown: wait for the ones that must run.
  void wait_finished(int count) {
    for (int i = 0; i < count; i++) brsemaphore__down(finished);
  }
  static void hold(void *p) {
    Gate *g = static_cast<Gate *>(p);
    brsemaphore__up(g->started);
    brsemaphore__down(g->open);
    g->ran++;
    brsemaphore__up(g->finished);
  }
  static void cleanup(void *p) {
    Gate *g = static_cast<Gate *>(p);
    g->cleaned++;
    brsemaphore__up(g->cleaned_sem);
  }
};

class Captured {
 public:
  static void sink(void *user, const char *tag, int, const char *format, va_list args) {
    Captured *self = static_cast<Captured *>(user);
    char line[512];
    vsnprintf(line, sizeof line, format, args);
    std::lock_guard<std::mutex> lock(self->mutex_);
    self->lines_.push_back(std::string(tag) + "|" + line);
  }
  bool has(const std::string &line) {
    std::lock_guard<std::mutex> lock(mutex_);
    for (const std::string &l : lines_) {
      if (l == line) return true;
    }
    return false;
  }

 private:
  std::mutex mutex_;
  std::vector<std::string> lines_;
};

class BrThreadPoolTest : public ::testing::Test {
 protected:
  void SetUp() override {
    saved_ = brlog_getverbosity();
    brlog_setverbosity(19);
    brlog__addSink(Captured::sink, &log_);
  }
  void TearDown() override {
    brlog__removeSink(Captured::sink, &log_);
    brlog_setverbosity(saved_);
  }
  int saved_ = 0;
  Captured log_;
};

TEST_F(BrThreadPoolTest, QueueLimitCountsRunningAndPendingItems) {
  Gate gate;
  brtp_t pool = nullptr;
  ASSERT_EQ(brtp__new(&pool, "MTP", 4, 256), 0);
  EXPECT_TRUE(log_.has("BRTP|Creating Thread Pool 'MTP' [4, 256]\n"));
  for (int i = 0; i < 4; i++) ASSERT_EQ(brtp__dowork(pool, Gate::hold, &gate), 0);
  for (int i = 0; i < 4; i++) brsemaphore__down(gate.started);
  // All four workers are busy: 252 more fill the pool to its limit.
  for (int i = 0; i < 252; i++) ASSERT_EQ(brtp__dowork(pool, Gate::hold, &gate), 0) << i;
  EXPECT_EQ(brtp__dowork(pool, Gate::hold, &gate), BRERROR_NO_SPACE);
  EXPECT_TRUE(log_.has("BRTP|No Room in Queue: [256, 0, 252, 4]\n"));
  char pending[160];
  snprintf(pending, sizeof pending,
           "BRTP|+++ PENDING WORK ITEM (inqueue, no threads available) [%p(%p)]\n",
           reinterpret_cast<void *>(Gate::hold), static_cast<void *>(&gate));
  EXPECT_TRUE(log_.has(pending));

  // Once one item is done, there is room for exactly one more.
  brsemaphore__up(gate.open);
  brerror_t err;
  while ((err = brtp__dowork(pool, Gate::hold, &gate)) == BRERROR_NO_SPACE) sched_yield();
  EXPECT_EQ(err, 0);
  EXPECT_EQ(brtp__dowork(pool, Gate::hold, &gate), BRERROR_NO_SPACE);

  for (int i = 0; i < 256; i++) brsemaphore__up(gate.open);
  gate.wait_finished(257);
  brtp__shutdown(pool, true);
  EXPECT_EQ(gate.ran, 257);
  EXPECT_TRUE(log_.has("BRTP|Shutdown complete\n"));
}

TEST_F(BrThreadPoolTest, PoolWithoutLimitNeverRefuses) {
  Gate gate;
  brtp_t pool = nullptr;
  ASSERT_EQ(brtp__new(&pool, nullptr, 2, -1), 0);
  for (int i = 0; i < 1000; i++) ASSERT_EQ(brtp__dowork(pool, Gate::hold, &gate), 0);
  for (int i = 0; i < 1000; i++) brsemaphore__up(gate.open);
  gate.wait_finished(1000);
  brtp__shutdown(pool, true);
  EXPECT_EQ(gate.ran, 1000);
  EXPECT_TRUE(log_.has("BRTP|Shutting Down Thread Pool 'TP'\n"));
}

TEST_F(BrThreadPoolTest, WorkersAreNamedAfterThePool) {
  struct Case {
    const char *pool;
    std::set<std::string> workers;
  };
  const Case cases[] = {
      {"MTP", {"MTP00", "MTP01", "MTP02", "MTP03"}},
      {"ABCDEFGHIJKLMNOPQRSTUVWXYZ1234",
       {"ABCDEFGHIJKLMNOPQRSTUVWXYZ1200", "ABCDEFGHIJKLMNOPQRSTUVWXYZ1201",
        "ABCDEFGHIJKLMNOPQRSTUVWXYZ1202", "ABCDEFGHIJKLMNOPQRSTUVWXYZ1203"}},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.pool);
    struct Names {
      std::mutex mutex;
      std::set<std::string> seen;
      brsemaphore_t all_started;
      brsemaphore_t finished;
      std::atomic<int> count{0};
    } names;
    brsemaphore__new(&names.all_started, 0);
    brsemaphore__new(&names.finished, 0);
    brtp_t pool = nullptr;
    ASSERT_EQ(brtp__new(&pool, c.pool, 4, -1), 0);
    // Each item holds its worker until four run at once, so each runs on a
    // different worker.
    for (int i = 0; i < 4; i++) {
      ASSERT_EQ(brtp__dowork(
                    pool,
                    [](void *p) {
                      Names *n = static_cast<Names *>(p);
                      {
                        std::lock_guard<std::mutex> lock(n->mutex);
                        n->seen.insert(brthread__getname(brthread__current()));
                      }
                      if (++n->count == 4) {
                        for (int k = 0; k < 4; k++) brsemaphore__up(n->all_started);
                      }
                      brsemaphore__down(n->all_started);
                      brsemaphore__up(n->finished);
                    },
                    &names),
                0);
    }
    for (int i = 0; i < 4; i++) brsemaphore__down(names.finished);
    brtp__shutdown(pool, true);
    EXPECT_EQ(names.seen, c.workers);
    brsemaphore__destroy(names.all_started);
    brsemaphore__destroy(names.finished);
  }
}

TEST_F(BrThreadPoolTest, ShutdownWithoutWaitingLeavesDestructionToTheLastWorker) {
  Gate gate;
  brtp_t pool = nullptr;
  ASSERT_EQ(brtp__new(&pool, "BG", 1, -1), 0);
  ASSERT_EQ(brtp__dowork(pool, Gate::hold, &gate), 0);
  brsemaphore__down(gate.started);
  for (int i = 0; i < 3; i++) {
    ASSERT_EQ(brtp__dowork_cleanup(pool, Gate::hold, Gate::cleanup, &gate), 0);
  }
  // Returns while the only worker is still held in its item.
  ASSERT_EQ(brtp__shutdown(pool, false), 0);
  EXPECT_TRUE(log_.has("BRTP|Shutting down in background...\n"));
  EXPECT_EQ(gate.cleaned, 0);

  brsemaphore__up(gate.open);
  for (int i = 0; i < 3; i++) brsemaphore__down(gate.cleaned_sem);
  EXPECT_EQ(gate.cleaned, 3);
  EXPECT_EQ(gate.ran, 1);
  EXPECT_TRUE(log_.has("BRTP|Destroying Thread Pool 'BG' [1, -1]\n"));
}

TEST_F(BrThreadPoolTest, WorkItemCanShutDownItsOwnPoolWithWaiting) {
  struct Self {
    brtp_t pool = nullptr;
    brsemaphore_t done = nullptr;
  } self;
  brsemaphore__new(&self.done, 0);
  ASSERT_EQ(brtp__new(&self.pool, "SELF", 2, -1), 0);
  ASSERT_EQ(brtp__dowork(
                self.pool,
                [](void *p) {
                  Self *s = static_cast<Self *>(p);
                  brtp__shutdown(s->pool, true);
                  brsemaphore__up(s->done);
                },
                &self),
            0);
  brsemaphore__down(self.done);
  // The other worker is joined; the calling one ends on its own and, holding
  // the last reference, destroys the pool.
  while (!log_.has("BRTP|Destroying Thread Pool 'SELF' [2, -1]\n")) sched_yield();
  EXPECT_TRUE(log_.has("BRTP|Shutdown complete\n"));
  brsemaphore__destroy(self.done);
}

TEST_F(BrThreadPoolTest, WorkItemsCanNameThemselvesOnlyOnAWorker) {
  EXPECT_EQ(brtp__nameworkitem("outside"), BRERROR_BAD_STATE);
  struct Result {
    std::atomic<brerror_t> err{1};
    brsemaphore_t done;
  } result;
  brsemaphore__new(&result.done, 0);
  brtp_t pool = nullptr;
  ASSERT_EQ(brtp__new(&pool, "NAMED", 1, 4), 0);
  ASSERT_EQ(brtp__dowork(
                pool,
                [](void *p) {
                  Result *r = static_cast<Result *>(p);
                  r->err = brtp__nameworkitem("a name longer than thirty-two characters");
                  brsemaphore__up(r->done);
                },
                &result),
            0);
  brsemaphore__down(result.done);
  brtp__shutdown(pool, true);
  EXPECT_EQ(result.err, 0);
  brsemaphore__destroy(result.done);
}

TEST_F(BrThreadPoolTest, PoolNeedsAWorker) {
  brtp_t pool = reinterpret_cast<brtp_t>(1);
  EXPECT_EQ(brtp__new(&pool, "NONE", 0, -1), BRERROR_INVALID_ARGUMENT);
  EXPECT_EQ(pool, nullptr);
}

}  // namespace
