#include <errno.h>
#include <pthread.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <new>

#include "brlog.h"
#include "brthread.h"

struct brthread_s {
  pthread_t handle;
  // kFinished once the thread function (and exit callback) returned,
  // kDetached once detached: whichever of the thread's end and the detach
  // comes second frees the record.
  std::atomic<uint32_t> state{0};
  std::atomic<uint32_t> started{0};
  std::atomic<brthread_exit_f> exit_callback{nullptr};
  brthread_func_f function = nullptr;
  void *argument = nullptr;
  void *stack_base = nullptr;
  size_t stack_size = 0;
  uint64_t id = 0;
  bool adopted = false;
  char name[BRTHREAD_NAME_MAX + 1] = {};
  void *tls_value[BRTLS_MAX_SLOTS] = {};
  uint32_t tls_generation[BRTLS_MAX_SLOTS] = {};
};

struct brtls_s {
  int index;
  uint32_t generation;
  brtls_destructor_f destructor;
};

struct brmutex_s {
  pthread_mutex_t mutex;
  char name[BRTHREAD_NAME_MAX + 1];
};

struct brcond_s {
  pthread_cond_t cond;
};

struct brsemaphore_s {
  pthread_mutex_t mutex;
  pthread_cond_t cond;
  int32_t count;
};

struct brrwlock_s {
  pthread_rwlock_t lock;
};

namespace {

constexpr uint32_t kFinished = 1;
constexpr uint32_t kDetached = 2;

thread_local brthread_s *t_current = nullptr;

// Frees records of threads the runtime did not start, when they end.
pthread_key_t g_adopted_key;
pthread_once_t g_adopted_once = PTHREAD_ONCE_INIT;

void adopted_exit(void *value) {
  brthread_s *record = static_cast<brthread_s *>(value);
  if (t_current == record) t_current = nullptr;
  delete record;
}

void make_adopted_key() { pthread_key_create(&g_adopted_key, adopted_exit); }

// Handed out when a record cannot be allocated, so that logging keeps working.
brthread_s g_nomem_record;

void copy_name(char *dest, const char *name) {
  snprintf(dest, BRTHREAD_NAME_MAX + 1, "%s", name ? name : "");
}

void fill_stack(brthread_s *record) {
  pthread_attr_t attr;
  if (pthread_getattr_np(pthread_self(), &attr) != 0) return;
  pthread_attr_getstack(&attr, &record->stack_base, &record->stack_size);
  pthread_attr_destroy(&attr);
}

void set_system_name(const char *name) {
  // The kernel keeps 15 characters.
  char shortname[16];
  snprintf(shortname, sizeof shortname, "%.15s", name);
  pthread_setname_np(pthread_self(), shortname);
}

void *thread_main(void *p) {
  brthread_s *self = static_cast<brthread_s *>(p);
  t_current = self;
  self->id = static_cast<uint64_t>(gettid());
  fill_stack(self);
  set_system_name(self->name);
  brthread_func_f function = self->function;
  void *argument = self->argument;
  self->started.store(1, std::memory_order_release);
  self->started.notify_one();

  brlog("THREAD", 18, "+++ Starting [STACK: %p(0x%x)] @ %p\n", self->stack_base,
        static_cast<unsigned>(self->stack_size), reinterpret_cast<void *>(function));
  void *result = function(argument);
  brthread_exit_f callback = self->exit_callback.load(std::memory_order_acquire);
  if (callback) callback(result);

  // Anything logged from here on (thread-local destructors) gets a record of
  // its own: this one may be freed by the joiner at any moment.
  t_current = nullptr;
  if (self->state.fetch_or(kFinished, std::memory_order_acq_rel) & kDetached) delete self;
  return result;
}

void deadline_after(int32_t ms, struct timespec *deadline) {
  clock_gettime(CLOCK_MONOTONIC, deadline);
  deadline->tv_sec += ms / 1000;
  deadline->tv_nsec += static_cast<long>(ms % 1000) * 1000000;
  if (deadline->tv_nsec >= 1000000000) {
    deadline->tv_sec += 1;
    deadline->tv_nsec -= 1000000000;
  }
}

bool init_monotonic_cond(pthread_cond_t *cond) {
  pthread_condattr_t attr;
  if (pthread_condattr_init(&attr) != 0) return false;
  pthread_condattr_setclock(&attr, CLOCK_MONOTONIC);
  bool ok = pthread_cond_init(cond, &attr) == 0;
  pthread_condattr_destroy(&attr);
  return ok;
}

brerror_t wait_until(pthread_cond_t *cond, pthread_mutex_t *mutex,
                     const struct timespec *deadline) {
  int rc = pthread_cond_timedwait(cond, mutex, deadline);
  if (rc == 0) return BRERROR_NONE;
  return rc == ETIMEDOUT ? BRERROR_TRY_AGAIN : BRERROR_UNSPECIFIED;
}

// Allocates a lock handle and sets it up with `init`, which undoes its own
// partial work when it fails; the handle is freed then.
template <typename Handle, typename Init>
brerror_t new_handle(Handle **out, Init init) {
  BRASSERT(out != nullptr);
  *out = nullptr;
  Handle *handle = new (std::nothrow) Handle;
  if (!handle) return BRERROR_UNSPECIFIED;
  if (!init(handle)) {
    delete handle;
    return BRERROR_UNSPECIFIED;
  }
  *out = handle;
  return BRERROR_NONE;
}

pthread_mutex_t g_tls_mutex = PTHREAD_MUTEX_INITIALIZER;
bool g_tls_used[BRTLS_MAX_SLOTS];
// Bumped on every hand-out of a slot, so that values stored under an earlier
// owner of the slot read as unset.
uint32_t g_tls_generation[BRTLS_MAX_SLOTS];

}  // namespace

// --- threads

brerror_t brthread__new(brthread_t *out, brthread_func_f function, void *argument,
                        const char *name) {
  BRASSERT(out != nullptr);
  BRASSERT(function != nullptr);
  *out = nullptr;
  brthread_s *record = new (std::nothrow) brthread_s;
  if (!record) return BRERROR_UNSPECIFIED;
  record->function = function;
  record->argument = argument;
  copy_name(record->name, name);

  pthread_attr_t attr;
  if (pthread_attr_init(&attr) != 0) {
    delete record;
    return BRERROR_UNSPECIFIED;
  }
  pthread_attr_setstacksize(&attr, BRTHREAD_STACK_SIZE);
  int rc = pthread_create(&record->handle, &attr, thread_main, record);
  pthread_attr_destroy(&attr);
  if (rc != 0) {
    brlog("THREAD", 2, "pthread_create failed: %d\n", rc);
    delete record;
    return BRERROR_UNSPECIFIED;
  }
  while (record->started.load(std::memory_order_acquire) == 0) record->started.wait(0);
  *out = record;
  return BRERROR_NONE;
}

brerror_t brthread__join(brthread_t thread) {
  BRASSERT(thread != nullptr);
  BRASSERT(!thread->adopted);
  if (pthread_join(thread->handle, nullptr) != 0) return BRERROR_UNSPECIFIED;
  delete thread;
  return BRERROR_NONE;
}

brerror_t brthread__destroy(brthread_t thread) { return brthread__join(thread); }

brerror_t brthread__detatch(brthread_t thread) {
  BRASSERT(thread != nullptr);
  BRASSERT(!thread->adopted);
  pthread_detach(thread->handle);
  if (thread->state.fetch_or(kDetached, std::memory_order_acq_rel) & kFinished) delete thread;
  return BRERROR_NONE;
}

brthread_t brthread__current() {
  if (t_current) return t_current;
  pthread_once(&g_adopted_once, make_adopted_key);
  brthread_s *record = new (std::nothrow) brthread_s;
  if (!record) return &g_nomem_record;
  record->handle = pthread_self();
  record->adopted = true;
  record->id = static_cast<uint64_t>(gettid());
  snprintf(record->name, sizeof record->name, "%llu",
           static_cast<unsigned long long>(record->id));
  fill_stack(record);
  t_current = record;
  pthread_setspecific(g_adopted_key, record);
  return record;
}

const char *brthread__getname(brthread_t thread) {
  BRASSERT(thread != nullptr);
  return thread->name;
}

brerror_t brthread__setname(const char *name) {
  BRASSERT(name != nullptr);
  brthread_s *self = brthread__current();
  copy_name(self->name, name);
  set_system_name(self->name);
  return BRERROR_NONE;
}

uint64_t brthread__getthreadid(brthread_t thread) {
  BRASSERT(thread != nullptr);
  return thread->id;
}

pthread_t brthread__gettid(brthread_t thread) {
  BRASSERT(thread != nullptr);
  return thread->handle;
}

brerror_t brthread__getstack(brthread_t thread, void **base, size_t *size) {
  BRASSERT(thread != nullptr);
  if (base) *base = thread->stack_base;
  if (size) *size = thread->stack_size;
  return BRERROR_NONE;
}

brerror_t brthread__set_cleanup_func(brthread_t thread, brthread_exit_f callback) {
  BRASSERT(thread != nullptr);
  brthread_exit_f expected = nullptr;
  if (!thread->exit_callback.compare_exchange_strong(expected, callback,
                                                     std::memory_order_acq_rel)) {
    return BRERROR_ALREADY_HANDLED;
  }
  return BRERROR_NONE;
}

void brthread__sleep(uint32_t ms) {
  brlog("THREAD", 20, "SLEEPING(%u)\n", ms);
  struct timespec left = {static_cast<time_t>(ms / 1000), static_cast<long>(ms % 1000) * 1000000};
  while (clock_nanosleep(CLOCK_MONOTONIC, 0, &left, &left) == EINTR) {
  }
}

int64_t brthread__getticks() {
  struct timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<int64_t>(ts.tv_sec) * 1000 + ts.tv_nsec / 1000000;
}

int64_t brthread__getnowtime() {
  struct timespec ts;
  if (clock_gettime(CLOCK_REALTIME, &ts) != 0) return -1;
  return static_cast<int64_t>(ts.tv_sec) * 1000 + ts.tv_nsec / 1000000;
}

brerror_t brthread__getcomputername(char *buffer, size_t size) {
  BRASSERT(buffer != nullptr);
  if (size == 0) return BRERROR_INVALID_ARGUMENT;
  if (gethostname(buffer, size) != 0) {
    buffer[size - 1] = 0;
    return brposix__maperrno(errno);
  }
  buffer[size - 1] = 0;
  return BRERROR_NONE;
}

int32_t brthread__atomicinc(int32_t *counter) { return __atomic_add_fetch(counter, 1, __ATOMIC_SEQ_CST); }
int32_t brthread__atomicdec(int32_t *counter) { return __atomic_sub_fetch(counter, 1, __ATOMIC_SEQ_CST); }
int32_t brthread__atomicincby(int32_t *counter, int32_t by) {
  return __atomic_add_fetch(counter, by, __ATOMIC_SEQ_CST);
}
int64_t brthread__atomicinc64(int64_t *counter) { return __atomic_add_fetch(counter, 1, __ATOMIC_SEQ_CST); }
int64_t brthread__atomicdec64(int64_t *counter) { return __atomic_sub_fetch(counter, 1, __ATOMIC_SEQ_CST); }
int64_t brthread__atomicincby64(int64_t *counter, int64_t by) {
  return __atomic_add_fetch(counter, by, __ATOMIC_SEQ_CST);
}

// --- thread-local slots

brerror_t brtls__new(brtls_t *out, brtls_destructor_f destructor) {
  BRASSERT(out != nullptr);
  *out = nullptr;
  brtls_s *slot = new (std::nothrow) brtls_s;
  if (!slot) return BRERROR_UNSPECIFIED;
  pthread_mutex_lock(&g_tls_mutex);
  int index = 0;
  while (index < BRTLS_MAX_SLOTS && g_tls_used[index]) index++;
  if (index == BRTLS_MAX_SLOTS) {
    pthread_mutex_unlock(&g_tls_mutex);
    delete slot;
    return BRERROR_UNSPECIFIED;
  }
  g_tls_used[index] = true;
  // Generation 0 is what a fresh record holds: never a live slot's.
  if (++g_tls_generation[index] == 0) ++g_tls_generation[index];
  *slot = brtls_s{index, g_tls_generation[index], destructor};
  pthread_mutex_unlock(&g_tls_mutex);
  *out = slot;
  return BRERROR_NONE;
}

void *brtls__get(brtls_t slot) {
  BRASSERT(slot != nullptr);
  brthread_s *self = brthread__current();
  if (self->tls_generation[slot->index] != slot->generation) return nullptr;
  return self->tls_value[slot->index];
}

brerror_t brtls__set(brtls_t slot, void *value) {
  BRASSERT(slot != nullptr);
  brthread_s *self = brthread__current();
  void *old = nullptr;
  if (self->tls_generation[slot->index] == slot->generation) old = self->tls_value[slot->index];
  self->tls_generation[slot->index] = slot->generation;
  self->tls_value[slot->index] = value;
  // Storing the value already there replaces nothing: destroying it would
  // leave the slot holding a freed value.
  if (old && old != value && slot->destructor) slot->destructor(old);
  return BRERROR_NONE;
}

brerror_t brtls__destroy(brtls_t slot) {
  BRASSERT(slot != nullptr);
  pthread_mutex_lock(&g_tls_mutex);
  g_tls_used[slot->index] = false;
  pthread_mutex_unlock(&g_tls_mutex);
  delete slot;
  return BRERROR_NONE;
}

// --- mutex

brerror_t brmutex__new(brmutex_t *out) { return brmutex__new_named(out, nullptr); }

brerror_t brmutex__new_named(brmutex_t *out, const char *name) {
  return new_handle(out, [name](brmutex_s *mutex) {
    if (pthread_mutex_init(&mutex->mutex, nullptr) != 0) return false;
    copy_name(mutex->name, name);
    return true;
  });
}

brerror_t brmutex__destroy(brmutex_t mutex) {
  BRASSERT(mutex != nullptr);
  pthread_mutex_destroy(&mutex->mutex);
  delete mutex;
  return BRERROR_NONE;
}

brerror_t brmutex__lock(brmutex_t mutex) {
  BRASSERT(mutex != nullptr);
  pthread_mutex_lock(&mutex->mutex);
  return BRERROR_NONE;
}

brerror_t brmutex__unlock(brmutex_t mutex) {
  BRASSERT(mutex != nullptr);
  pthread_mutex_unlock(&mutex->mutex);
  return BRERROR_NONE;
}

brerror_t brmutex__trylock(brmutex_t mutex) {
  BRASSERT(mutex != nullptr);
  return pthread_mutex_trylock(&mutex->mutex) == 0 ? BRERROR_NONE : BRERROR_ALREADY_HANDLED;
}

const char *brmutex__getname(brmutex_t mutex) {
  BRASSERT(mutex != nullptr);
  return mutex->name;
}

// --- condition

brerror_t brcond__new(brcond_t *out) {
  return new_handle(out, [](brcond_s *cond) { return init_monotonic_cond(&cond->cond); });
}

brerror_t brcond__destroy(brcond_t cond) {
  BRASSERT(cond != nullptr);
  pthread_cond_destroy(&cond->cond);
  delete cond;
  return BRERROR_NONE;
}

brerror_t brcond__signal(brcond_t cond) {
  BRASSERT(cond != nullptr);
  pthread_cond_signal(&cond->cond);
  return BRERROR_NONE;
}

brerror_t brcond__broadcast(brcond_t cond) {
  BRASSERT(cond != nullptr);
  pthread_cond_broadcast(&cond->cond);
  return BRERROR_NONE;
}

brerror_t brcond__wait(brcond_t cond, brmutex_t mutex) {
  BRASSERT(cond != nullptr);
  BRASSERT(mutex != nullptr);
  return pthread_cond_wait(&cond->cond, &mutex->mutex) == 0 ? BRERROR_NONE : BRERROR_UNSPECIFIED;
}

brerror_t brcond__timedwait(brcond_t cond, brmutex_t mutex, int32_t ms) {
  if (ms < 0) return brcond__wait(cond, mutex);
  BRASSERT(cond != nullptr);
  BRASSERT(mutex != nullptr);
  struct timespec deadline;
  deadline_after(ms, &deadline);
  return wait_until(&cond->cond, &mutex->mutex, &deadline);
}

brerror_t brcond__timedwaituntil(brcond_t cond, brmutex_t mutex, int64_t deadline) {
  BRASSERT(cond != nullptr);
  BRASSERT(mutex != nullptr);
  if (deadline < 0) deadline = 0;
  struct timespec ts = {static_cast<time_t>(deadline / 1000),
                        static_cast<long>(deadline % 1000) * 1000000};
  return wait_until(&cond->cond, &mutex->mutex, &ts);
}

// --- counting semaphore

brerror_t brsemaphore__new(brsemaphore_t *out, int32_t initial) {
  return new_handle(out, [initial](brsemaphore_s *sem) {
    if (pthread_mutex_init(&sem->mutex, nullptr) != 0) return false;
    if (!init_monotonic_cond(&sem->cond)) {
      pthread_mutex_destroy(&sem->mutex);
      return false;
    }
    sem->count = initial;
    return true;
  });
}

brerror_t brsemaphore__destroy(brsemaphore_t sem) {
  BRASSERT(sem != nullptr);
  pthread_cond_destroy(&sem->cond);
  pthread_mutex_destroy(&sem->mutex);
  delete sem;
  return BRERROR_NONE;
}

brerror_t brsemaphore__up(brsemaphore_t sem) {
  BRASSERT(sem != nullptr);
  pthread_mutex_lock(&sem->mutex);
  sem->count++;
  pthread_cond_broadcast(&sem->cond);
  pthread_mutex_unlock(&sem->mutex);
  return BRERROR_NONE;
}

brerror_t brsemaphore__down(brsemaphore_t sem) { return brsemaphore__timeddown(sem, -1); }

brerror_t brsemaphore__trydown(brsemaphore_t sem) {
  BRASSERT(sem != nullptr);
  pthread_mutex_lock(&sem->mutex);
  brerror_t result = BRERROR_UNSPECIFIED;
  if (sem->count > 0) {
    sem->count--;
    result = BRERROR_NONE;
  }
  pthread_mutex_unlock(&sem->mutex);
  return result;
}

brerror_t brsemaphore__timeddown(brsemaphore_t sem, int32_t ms) {
  BRASSERT(sem != nullptr);
  pthread_mutex_lock(&sem->mutex);
  struct timespec deadline;
  if (ms >= 0) deadline_after(ms, &deadline);
  // One deadline for the whole wait: losing the race after a broadcast must
  // not restart the time-out.
  while (sem->count <= 0) {
    if (ms < 0) {
      pthread_cond_wait(&sem->cond, &sem->mutex);
    } else if (wait_until(&sem->cond, &sem->mutex, &deadline) == BRERROR_TRY_AGAIN &&
               sem->count <= 0) {
      pthread_mutex_unlock(&sem->mutex);
      return BRERROR_UNSPECIFIED;
    }
  }
  sem->count--;
  pthread_mutex_unlock(&sem->mutex);
  return BRERROR_NONE;
}

// --- reader-writer lock

brerror_t brrwlock__new(brrwlock_t *out) {
  return new_handle(out, [](brrwlock_s *lock) {
    return pthread_rwlock_init(&lock->lock, nullptr) == 0;
  });
}

brerror_t brrwlock__destroy(brrwlock_t lock) {
  BRASSERT(lock != nullptr);
  pthread_rwlock_destroy(&lock->lock);
  delete lock;
  return BRERROR_NONE;
}

brerror_t brrwlock__rdlock(brrwlock_t lock) {
  BRASSERT(lock != nullptr);
  pthread_rwlock_rdlock(&lock->lock);
  return BRERROR_NONE;
}

brerror_t brrwlock__wrlock(brrwlock_t lock) {
  BRASSERT(lock != nullptr);
  pthread_rwlock_wrlock(&lock->lock);
  return BRERROR_NONE;
}

brerror_t brrwlock__unlock(brrwlock_t lock) {
  BRASSERT(lock != nullptr);
  pthread_rwlock_unlock(&lock->lock);
  return BRERROR_NONE;
}
