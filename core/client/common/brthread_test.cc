#include "brthread.h"

#include <gtest/gtest.h>
#include <sched.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <cstring>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "brlog.h"
#include "brmsgqueue.h"
#include "brthreadpool.h"

// The library's clock reads resolve to this definition, which can show the
// library a wall clock that is off by an hour and tells when a watched thread
// reads any clock.
namespace {
std::atomic<long> g_wall_shift{0};
std::atomic<bool> g_watched_clock_read{false};
thread_local bool t_watched = false;
}  // namespace

extern "C" int clock_gettime(clockid_t clock, struct timespec *ts) {
  if (syscall(SYS_clock_gettime, clock, ts) != 0) return -1;
  if (clock == CLOCK_REALTIME) ts->tv_sec += g_wall_shift.load();
  if (t_watched) g_watched_clock_read.store(true);
  return 0;
}

namespace {

void wait_until(const std::function<bool()> &done) {
  while (!done()) sched_yield();
}

TEST(BrThread, NewThreadRunsWithNameIdStackAndExitCallback) {
  struct Seen {
    std::string name;
    uint64_t id = 0;
    brthread_t self = nullptr;
  };
  static Seen seen;
  static std::atomic<void *> exit_result{nullptr};
  static int result_token;
  seen = Seen{};
  exit_result = nullptr;

  brthread_t thread = nullptr;
  ASSERT_EQ(brthread__new(
                &thread,
                [](void *) -> void * {
                  seen.self = brthread__current();
                  seen.name = brthread__getname(seen.self);
                  seen.id = static_cast<uint64_t>(gettid());
                  brthread__set_cleanup_func(seen.self, [](void *r) { exit_result = r; });
                  EXPECT_EQ(brthread__set_cleanup_func(seen.self, [](void *) {}),
                            BRERROR_ALREADY_HANDLED);
                  return &result_token;
                },
                nullptr, "A-THREAD-NAME-LONGER-THAN-THIRTY-ONE"),
            BRERROR_NONE);
  // The record is complete as soon as brthread__new returns.
  EXPECT_STREQ(brthread__getname(thread), "A-THREAD-NAME-LONGER-THAN-THIRT");
  EXPECT_NE(brthread__getthreadid(thread), 0u);
  void *base = nullptr;
  size_t size = 0;
  brthread__getstack(thread, &base, &size);
  EXPECT_NE(base, nullptr);
  EXPECT_GE(size, BRTHREAD_STACK_SIZE);
  uint64_t id = brthread__getthreadid(thread);
  ASSERT_EQ(brthread__join(thread), BRERROR_NONE);

  EXPECT_EQ(seen.name, "A-THREAD-NAME-LONGER-THAN-THIRT");
  EXPECT_EQ(seen.id, id);
  EXPECT_EQ(seen.self, thread);
  EXPECT_EQ(exit_result.load(), &result_token);
}

TEST(BrThread, ForeignThreadGetsRecordNamedByItsIdAndCanRename) {
  std::string name, renamed;
  uint64_t id = 0, tid = 0;
  std::thread foreign([&] {
    brthread_t self = brthread__current();
    EXPECT_EQ(brthread__current(), self);
    name = brthread__getname(self);
    id = brthread__getthreadid(self);
    tid = static_cast<uint64_t>(gettid());
    brthread__setname("RENAMED");
    renamed = brthread__getname(brthread__current());
  });
  foreign.join();
  EXPECT_EQ(name, std::to_string(tid));
  EXPECT_EQ(id, tid);
  EXPECT_EQ(renamed, "RENAMED");
}

TEST(BrThread, DetachedThreadEndsOnItsOwn) {
  brsemaphore_t gate, done;
  ASSERT_EQ(brsemaphore__new(&gate, 0), 0);
  ASSERT_EQ(brsemaphore__new(&done, 0), 0);
  struct Args {
    brsemaphore_t gate, done;
  } args{gate, done};
  brthread_t thread = nullptr;
  ASSERT_EQ(brthread__new(
                &thread,
                [](void *p) -> void * {
                  Args *a = static_cast<Args *>(p);
                  brsemaphore__down(a->gate);
                  brsemaphore__up(a->done);
                  return nullptr;
                },
                &args, "DETACHED"),
            0);
  ASSERT_EQ(brthread__detatch(thread), 0);
  brsemaphore__up(gate);
  brsemaphore__down(done);
  brsemaphore__destroy(gate);
  brsemaphore__destroy(done);
}

TEST(BrThread, ComputerNameIsTheHostName) {
  char expected[256] = {};
  gethostname(expected, sizeof expected);
  char name[256];
  ASSERT_EQ(brthread__getcomputername(name, sizeof name), 0);
  EXPECT_STREQ(name, expected);

  char tiny[2] = {'x', 'x'};
  if (strlen(expected) >= sizeof tiny) {
    EXPECT_LT(brthread__getcomputername(tiny, sizeof tiny), 0);
    EXPECT_EQ(tiny[1], 0);
  }
}

TEST(BrThread, AtomicCountersCountEveryIncrementAcrossThreads) {
  int32_t count32 = 0;
  int64_t count64 = 0;
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; t++) {
    threads.emplace_back([&] {
      for (int i = 0; i < 10000; i++) {
        brthread__atomicinc(&count32);
        brthread__atomicincby64(&count64, 3);
      }
    });
  }
  for (auto &t : threads) t.join();
  EXPECT_EQ(count32, 40000);
  EXPECT_EQ(count64, 120000);
  EXPECT_EQ(brthread__atomicdec(&count32), 39999);
  EXPECT_EQ(brthread__atomicincby(&count32, -9999), 30000);
  EXPECT_EQ(brthread__atomicinc64(&count64), 120001);
  EXPECT_EQ(brthread__atomicdec64(&count64), 120000);
}

TEST(BrTls, ValuesArePerThreadAndReplacedValuesAreDestroyed) {
  static std::vector<intptr_t> destroyed;
  destroyed.clear();
  brtls_t slot = nullptr;
  ASSERT_EQ(brtls__new(&slot, [](void *v) { destroyed.push_back(reinterpret_cast<intptr_t>(v)); }),
            0);
  EXPECT_EQ(brtls__get(slot), nullptr);
  brtls__set(slot, reinterpret_cast<void *>(1));
  brtls__set(slot, reinterpret_cast<void *>(2));
  EXPECT_EQ(destroyed, std::vector<intptr_t>{1});
  EXPECT_EQ(brtls__get(slot), reinterpret_cast<void *>(2));
  // Setting the stored value again replaces nothing.
  brtls__set(slot, reinterpret_cast<void *>(2));
  EXPECT_EQ(destroyed, std::vector<intptr_t>{1});

  void *other = reinterpret_cast<void *>(-1);
  std::thread([&] {
    other = brtls__get(slot);
    brtls__set(slot, reinterpret_cast<void *>(3));
  }).join();
  EXPECT_EQ(other, nullptr);
  EXPECT_EQ(brtls__get(slot), reinterpret_cast<void *>(2));
  // Values are not destroyed when their thread ends.
  EXPECT_EQ(destroyed, std::vector<intptr_t>{1});
  brtls__destroy(slot);
}

TEST(BrTls, SlotGivenBackIsReusedWithoutItsOldValues) {
  brtls_t first = nullptr;
  ASSERT_EQ(brtls__new(&first, nullptr), 0);
  brtls__set(first, reinterpret_cast<void *>(7));
  brtls__destroy(first);
  // Every free slot is taken below, so the given-back one is among them.
  std::vector<brtls_t> slots;
  brtls_t slot = nullptr;
  while (brtls__new(&slot, nullptr) == 0) slots.push_back(slot);
  for (brtls_t s : slots) EXPECT_EQ(brtls__get(s), nullptr);
  for (brtls_t s : slots) brtls__destroy(s);
}

TEST(BrTlsDeathTest, ThirtyOneSlotsAtMost) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  // A fresh process, so that no slot is taken before counting.
  EXPECT_EXIT(
      {
        brtls_t slot = nullptr;
        for (int i = 0; i < BRTLS_MAX_SLOTS; i++) {
          if (brtls__new(&slot, nullptr) != 0) _exit(1);
        }
        if (brtls__new(&slot, nullptr) != -1 || slot != nullptr) _exit(2);
        _exit(0);
      },
      ::testing::ExitedWithCode(0), "");
}

TEST(BrMutex, TrylockOnHeldMutexAnswersAlreadyHandled) {
  brmutex_t mutex = nullptr;
  ASSERT_EQ(brmutex__new_named(&mutex, "a/rather/long/source/file/name.cc:1234"), 0);
  EXPECT_STREQ(brmutex__getname(mutex), "a/rather/long/source/file/name.");
  brmutex__lock(mutex);
  brerror_t other = 0;
  std::thread([&] { other = brmutex__trylock(mutex); }).join();
  EXPECT_EQ(other, BRERROR_ALREADY_HANDLED);
  brmutex__unlock(mutex);
  EXPECT_EQ(brmutex__trylock(mutex), 0);
  brmutex__unlock(mutex);
  brmutex__destroy(mutex);
}

TEST(BrCond, TimedWaitTimesOutWithTryAgainAndWakesWhenSignalled) {
  brmutex_t mutex = nullptr;
  brcond_t cond = nullptr;
  ASSERT_EQ(brmutex__new(&mutex), 0);
  ASSERT_EQ(brcond__new(&cond), 0);
  brmutex__lock(mutex);
  EXPECT_EQ(brcond__timedwait(cond, mutex, 50), BRERROR_TRY_AGAIN);
  EXPECT_EQ(brcond__timedwaituntil(cond, mutex, brthread__getticks() + 50), BRERROR_TRY_AGAIN);

  bool flag = false;
  std::thread signaller([&] {
    BRMutexLock lock(mutex);
    flag = true;
    brcond__signal(cond);
  });
  while (!flag) ASSERT_EQ(brcond__timedwait(cond, mutex, -1), 0);
  brmutex__unlock(mutex);
  signaller.join();
  brcond__destroy(cond);
  brmutex__destroy(mutex);
}

TEST(BrSemaphore, CountsDownAndUp) {
  brsemaphore_t sem = nullptr;
  ASSERT_EQ(brsemaphore__new(&sem, 1), 0);
  EXPECT_EQ(brsemaphore__trydown(sem), 0);
  EXPECT_EQ(brsemaphore__trydown(sem), -1);
  EXPECT_EQ(brsemaphore__timeddown(sem, 50), -1);

  std::thread upper([&] { brsemaphore__up(sem); });
  EXPECT_EQ(brsemaphore__down(sem), 0);
  upper.join();
  brsemaphore__up(sem);
  EXPECT_EQ(brsemaphore__timeddown(sem, -1), 0);
  brsemaphore__destroy(sem);
}

TEST(BrRwlock, ReadersShareTheLock) {
  brrwlock_t lock = nullptr;
  ASSERT_EQ(brrwlock__new(&lock), 0);
  brrwlock__rdlock(lock);
  std::thread([&] {
    brrwlock__rdlock(lock);
    brrwlock__unlock(lock);
  }).join();
  brrwlock__unlock(lock);
  brrwlock__wrlock(lock);
  brrwlock__unlock(lock);
  brrwlock__destroy(lock);
}

// A timed wait must not end early when the wall clock is far from the
// monotonic one: the waiter is signalled only after it started waiting on a
// 10 s time-out, so any answer but "woken" means the time-out was cut short.
struct TimedWaitCase {
  const char *name;
  std::function<void *()> make;
  std::function<brerror_t(void *)> wait;
  std::function<void(void *)> wake;
  std::function<void(void *)> destroy;
};

struct CondAndMutex {
  brcond_t cond;
  brmutex_t mutex;
};

std::vector<TimedWaitCase> timed_wait_cases() {
  return {
      {"condition",
       [] {
         auto *c = new CondAndMutex;
         brcond__new(&c->cond);
         brmutex__new(&c->mutex);
         return static_cast<void *>(c);
       },
       [](void *p) {
         auto *c = static_cast<CondAndMutex *>(p);
         BRMutexLock lock(c->mutex);
         return brcond__timedwait(c->cond, c->mutex, 10000);
       },
       [](void *p) {
         auto *c = static_cast<CondAndMutex *>(p);
         BRMutexLock lock(c->mutex);
         brcond__signal(c->cond);
       },
       [](void *p) {
         auto *c = static_cast<CondAndMutex *>(p);
         brcond__destroy(c->cond);
         brmutex__destroy(c->mutex);
         delete c;
       }},
      {"semaphore",
       [] {
         brsemaphore_t s = nullptr;
         brsemaphore__new(&s, 0);
         return static_cast<void *>(s);
       },
       [](void *p) { return brsemaphore__timeddown(static_cast<brsemaphore_t>(p), 10000); },
       [](void *p) { brsemaphore__up(static_cast<brsemaphore_t>(p)); },
       [](void *p) { brsemaphore__destroy(static_cast<brsemaphore_t>(p)); }},
      {"message queue",
       [] {
         brmsgqueue_t q = nullptr;
         brmsgqueue__new(&q, 1);
         return static_cast<void *>(q);
       },
       [](void *p) {
         return brmsgqueue__get(static_cast<brmsgqueue_t>(p), nullptr, nullptr, 10000);
       },
       [](void *p) { brmsgqueue__put(static_cast<brmsgqueue_t>(p), 1, nullptr, false); },
       [](void *p) { brmsgqueue__destroy(static_cast<brmsgqueue_t>(p)); }},
  };
}

TEST(BrTimedWait, WallClockOffByAnHourDoesNotCutTimeOutsShort) {
  for (const TimedWaitCase &c : timed_wait_cases()) {
    SCOPED_TRACE(c.name);
    void *object = c.make();
    g_watched_clock_read = false;
    g_wall_shift = -3600;
    brerror_t result = 1;
    std::thread waiter([&] {
      t_watched = true;
      result = c.wait(object);
    });
    // The waiter reads the clock with the object's lock held, and keeps it
    // until it waits: waking it after that read reaches a waiting thread.
    wait_until([] { return g_watched_clock_read.load(); });
    c.wake(object);
    waiter.join();
    g_wall_shift = 0;
    EXPECT_EQ(result, 0);
    c.destroy(object);
  }
}

void stderr_sink(void *, const char *tag, int, const char *format, va_list args) {
  fprintf(stderr, "[%s] ", tag);
  vfprintf(stderr, format, args);
}

TEST(BrThreadDeathTest, NullHandlesAreProgrammingErrors) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  const std::vector<std::pair<const char *, std::function<void()>>> calls = {
      {"brthread__join", [] { brthread__join(nullptr); }},
      {"brmutex__lock", [] { brmutex__lock(nullptr); }},
      {"brcond__timedwait", [] { brcond__timedwait(nullptr, nullptr, 5); }},
      {"brsemaphore__up", [] { brsemaphore__up(nullptr); }},
      {"brrwlock__rdlock", [] { brrwlock__rdlock(nullptr); }},
      {"brtls__get", [] { brtls__get(nullptr); }},
      {"brmsgqueue__put", [] { brmsgqueue__put(nullptr, 0, nullptr, false); }},
      {"brtp__dowork", [] { brtp__dowork(nullptr, [](void *) {}, nullptr); }},
  };
  for (const auto &[name, call] : calls) {
    SCOPED_TRACE(name);
    EXPECT_DEATH(
        {
          brlog__addSink(stderr_sink, nullptr);
          call();
        },
        "\\[ASSERT\\] .*nullptr(.|\n)*ABORTING");
  }
}

}  // namespace
