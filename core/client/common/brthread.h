// brthread: thread records and names, thread-local slots, locks, clocks and
// atomic counters.
//
// Intervals and time-outs are measured with brthread__getticks (monotonic);
// time stamps shown to people or stored use brthread__getnowtime (wall clock).
// Every timed wait here (condition, semaphore, and everything built on them)
// waits against the monotonic clock, so a change of the wall clock neither
// cuts a time-out short nor stretches it.
//
// Ownership: each handle is created by its __new function and freed by its
// __destroy (threads: __join or __detatch). A null handle is a programming
// error and aborts. Handles may be used from any thread; a thread's name and
// its thread-local slot values belong to that thread and change only on it.
// Lock calls do not report failures of the system calls: they return 0.
#pragma once

#include <pthread.h>

#include <cstddef>
#include <cstdint>

#include "brerror.h"

typedef struct brthread_s *brthread_t;
typedef struct brtls_s *brtls_t;
typedef struct brmutex_s *brmutex_t;
typedef struct brcond_s *brcond_t;
typedef struct brsemaphore_s *brsemaphore_t;
typedef struct brrwlock_s *brrwlock_t;

typedef void *(*brthread_func_f)(void *argument);
// Runs on the ending thread with the thread function's result.
typedef void (*brthread_exit_f)(void *result);
typedef void (*brtls_destructor_f)(void *value);

// Longest thread or mutex name, without the terminating NUL.
constexpr size_t BRTHREAD_NAME_MAX = 31;
constexpr size_t BRTHREAD_STACK_SIZE = 65536;
constexpr int BRTLS_MAX_SLOTS = 31;

// --- threads

// Starts a joinable thread with a BRTHREAD_STACK_SIZE stack. When it returns
// the thread is running and its record (name, id, stack) is complete.
// -1 when the system refuses.
brerror_t brthread__new(brthread_t *out, brthread_func_f function, void *argument,
                        const char *name);
// Waits for the thread when it still runs, then frees its record; -1 when the
// wait fails (the record is kept then).
brerror_t brthread__join(brthread_t thread);
brerror_t brthread__destroy(brthread_t thread);
// Lets the thread end on its own; its record is freed when it ends. The
// handle must not be used afterwards.
brerror_t brthread__detatch(brthread_t thread);

// The calling thread's record; a thread the runtime did not start gets one
// on its first call, named with its system thread id, freed when it ends.
brthread_t brthread__current();
const char *brthread__getname(brthread_t thread);
// Renames the calling thread (at most BRTHREAD_NAME_MAX characters kept).
brerror_t brthread__setname(const char *name);
// The kernel's id of the thread (as gettid()).
uint64_t brthread__getthreadid(brthread_t thread);
// The system thread handle.
pthread_t brthread__gettid(brthread_t thread);
brerror_t brthread__getstack(brthread_t thread, void **base, size_t *size);
// Sets the callback run when the thread function returns; -25 when one is
// already set.
brerror_t brthread__set_cleanup_func(brthread_t thread, brthread_exit_f callback);

void brthread__sleep(uint32_t ms);

// Milliseconds of a monotonic clock that ignores wall-clock changes.
int64_t brthread__getticks();
// Wall-clock milliseconds since 1970, or -1.
int64_t brthread__getnowtime();

// The machine's name (the host name) as a NUL-terminated UTF-8 text.
brerror_t brthread__getcomputername(char *buffer, size_t size);

// One locked read-modify-write each; they return the new value.
int32_t brthread__atomicinc(int32_t *counter);
int32_t brthread__atomicdec(int32_t *counter);
int32_t brthread__atomicincby(int32_t *counter, int32_t by);
int64_t brthread__atomicinc64(int64_t *counter);
int64_t brthread__atomicdec64(int64_t *counter);
int64_t brthread__atomicincby64(int64_t *counter, int64_t by);

// --- thread-local slots (BRTLS_MAX_SLOTS process-wide)

// -1 when every slot is taken.
brerror_t brtls__new(brtls_t *out, brtls_destructor_f destructor);
// The calling thread's value, null when unset.
void *brtls__get(brtls_t slot);
// Replaces the calling thread's value; the slot's destructor runs on the
// value being replaced. Values are not destroyed when a thread ends.
brerror_t brtls__set(brtls_t slot, void *value);
// Frees the handle and gives the slot back. Values that threads left in it
// are not destroyed, and the slot's next owner never sees them.
brerror_t brtls__destroy(brtls_t slot);

// --- mutex (default, not recursive)

#define BRTHREAD_STR2_(x) #x
#define BRTHREAD_STR_(x) BRTHREAD_STR2_(x)
// The debug name of a mutex created here: "file.cc:123".
#define BRMUTEX_HERE __FILE_NAME__ ":" BRTHREAD_STR_(__LINE__)

brerror_t brmutex__new(brmutex_t *out);
// `name`: a debug name, by custom the creating source position ("file:line").
brerror_t brmutex__new_named(brmutex_t *out, const char *name);
brerror_t brmutex__destroy(brmutex_t mutex);
brerror_t brmutex__lock(brmutex_t mutex);
brerror_t brmutex__unlock(brmutex_t mutex);
// 0, or -25 when the mutex is held.
brerror_t brmutex__trylock(brmutex_t mutex);
const char *brmutex__getname(brmutex_t mutex);

// Scope holder for a brmutex_t.
class BRMutexLock {
 public:
  explicit BRMutexLock(brmutex_t mutex) : mutex_(mutex) { brmutex__lock(mutex_); }
  ~BRMutexLock() { brmutex__unlock(mutex_); }
  BRMutexLock(const BRMutexLock &) = delete;
  BRMutexLock &operator=(const BRMutexLock &) = delete;

 private:
  brmutex_t mutex_;
};

// --- condition

brerror_t brcond__new(brcond_t *out);
brerror_t brcond__destroy(brcond_t cond);
brerror_t brcond__signal(brcond_t cond);
brerror_t brcond__broadcast(brcond_t cond);
brerror_t brcond__wait(brcond_t cond, brmutex_t mutex);
// Negative `ms` waits without limit. 0 when signalled (or woken spuriously),
// -2 on time-out, -1 on any other failure.
brerror_t brcond__timedwait(brcond_t cond, brmutex_t mutex, int32_t ms);
// As brcond__timedwait with an absolute brthread__getticks() deadline, for
// loops that wait again after a wake-up without stretching their time-out.
brerror_t brcond__timedwaituntil(brcond_t cond, brmutex_t mutex, int64_t deadline);

// --- counting semaphore

brerror_t brsemaphore__new(brsemaphore_t *out, int32_t initial);
brerror_t brsemaphore__destroy(brsemaphore_t sem);
// Increments and wakes every waiter.
brerror_t brsemaphore__up(brsemaphore_t sem);
// Waits while the count is 0 or less, then decrements.
brerror_t brsemaphore__down(brsemaphore_t sem);
// -1 when it would wait.
brerror_t brsemaphore__trydown(brsemaphore_t sem);
// -1 on time-out; negative `ms` waits without limit.
brerror_t brsemaphore__timeddown(brsemaphore_t sem, int32_t ms);

// --- reader-writer lock

brerror_t brrwlock__new(brrwlock_t *out);
brerror_t brrwlock__destroy(brrwlock_t lock);
brerror_t brrwlock__rdlock(brrwlock_t lock);
brerror_t brrwlock__wrlock(brrwlock_t lock);
brerror_t brrwlock__unlock(brrwlock_t lock);
