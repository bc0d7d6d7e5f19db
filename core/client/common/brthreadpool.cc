#include "brthreadpool.h"

#include <pthread.h>
#include <stdio.h>
#include <string.h>

#include <atomic>
#include <new>

#include "brlog.h"
#include "brthread.h"

namespace {

constexpr size_t kItemNameMax = 32;

struct WorkItem {
  brtp_work_f function = nullptr;
  brtp_work_f cleanup = nullptr;
  void *argument = nullptr;
  int64_t queued = 0;
  int64_t started = 0;
  char name[kItemNameMax + 1] = {};
  WorkItem *next = nullptr;
};

struct Worker {
  brthread_t thread = nullptr;
  brtp_s *pool = nullptr;
  // Guarded by the pool mutex.
  WorkItem *current = nullptr;
};

// One slot for every pool: a worker finds its record there, whatever its
// pool (brtp__nameworkitem has no pool argument).
brtls_t g_worker_slot = nullptr;
pthread_once_t g_worker_slot_once = PTHREAD_ONCE_INIT;

void make_worker_slot() { brtls__new(&g_worker_slot, nullptr); }

}  // namespace

struct brtp_s {
  std::atomic<int32_t> refs{1};
  int severity = 19;
  int32_t workers = 0;
  int32_t started_workers = 0;
  int32_t limit = -1;
  char *name = nullptr;
  Worker *worker_list = nullptr;
  brmutex_t mutex = nullptr;
  brcond_t cond = nullptr;
  // Guarded by mutex.
  bool running = false;
  int32_t idle = 0;
  int32_t pending = 0;
  int32_t active = 0;
  WorkItem *head = nullptr;
  WorkItem *tail = nullptr;

  ~brtp_s() {
    while (head) {
      WorkItem *item = head;
      head = item->next;
      if (item->cleanup) item->cleanup(item->argument);
      delete item;
    }
    if (cond) brcond__destroy(cond);
    if (mutex) brmutex__destroy(mutex);
    delete[] worker_list;
    delete[] name;
  }
};

namespace {

void pool_release(brtp_s *pool) {
  if (pool->refs.fetch_sub(1, std::memory_order_acq_rel) != 1) return;
  brlog("BRTP", pool->severity, "Destroying Thread Pool '%s' [%d, %d]\n", pool->name,
        pool->workers, pool->limit);
  delete pool;
}

void *worker_main(void *argument) {
  Worker *self = static_cast<Worker *>(argument);
  brtp_s *pool = self->pool;
  brtls__set(g_worker_slot, self);
  brmutex__lock(pool->mutex);
  while (pool->running) {
    WorkItem *item = pool->head;
    if (!item) {
      brlog("BRTP", pool->severity, "Thread waiting for work [%d]\n", pool->idle);
      brcond__wait(pool->cond, pool->mutex);
      continue;
    }
    pool->head = item->next;
    if (!pool->head) pool->tail = nullptr;
    pool->pending--;
    pool->active++;
    pool->idle--;
    item->started = brthread__getticks();
    self->current = item;
    brmutex__unlock(pool->mutex);

    brlog("BRTP", pool->severity, "+++Thread executing work item [%p(%p)]\n",
          reinterpret_cast<void *>(item->function), item->argument);
    item->function(item->argument);
    brlog("BRTP", pool->severity, "---Thread work item complete  [%p(%p)]\n",
          reinterpret_cast<void *>(item->function), item->argument);

    brmutex__lock(pool->mutex);
    self->current = nullptr;
    pool->active--;
    pool->idle++;
    brmutex__unlock(pool->mutex);
    delete item;
    brmutex__lock(pool->mutex);
  }
  brmutex__unlock(pool->mutex);
  brtls__set(g_worker_slot, nullptr);
  pool_release(pool);
  return nullptr;
}

}  // namespace

brerror_t brtp__new(brtp_t *out, const char *name, int32_t workers, int32_t queueLimit) {
  BRASSERT(out != nullptr);
  *out = nullptr;
  if (workers < 1) return BRERROR_INVALID_ARGUMENT;
  pthread_once(&g_worker_slot_once, make_worker_slot);
  if (!g_worker_slot) return BRERROR_UNSPECIFIED;
  if (!name) name = "TP";

  brtp_s *pool = new (std::nothrow) brtp_s;
  if (!pool) return BRERROR_UNSPECIFIED;
  pool->workers = workers;
  pool->limit = queueLimit;
  pool->name = new (std::nothrow) char[strlen(name) + 1];
  if (pool->name) strcpy(pool->name, name);
  brlog("BRTP", pool->severity, "Creating Thread Pool '%s' [%d, %d]\n", name, workers,
        queueLimit);
  if (!pool->name || brmutex__new_named(&pool->mutex, BRMUTEX_HERE) != 0 ||
      brcond__new(&pool->cond) != 0 ||
      !(pool->worker_list = new (std::nothrow) Worker[workers])) {
    delete pool;
    return BRERROR_UNSPECIFIED;
  }
  pool->running = true;

  for (int32_t i = 0; i < workers; i++) {
    Worker *worker = &pool->worker_list[i];
    worker->pool = pool;
    char worker_name[BRTHREAD_NAME_MAX + 1];
    // "%.28s%02d", with room for a three-digit index past 99 workers.
    char index[12];
    snprintf(index, sizeof index, "%02d", i);
    snprintf(worker_name, sizeof worker_name, "%.28s%.3s", name, index);
    pool->refs.fetch_add(1, std::memory_order_relaxed);
    {
      BRMutexLock lock(pool->mutex);
      pool->idle++;
    }
    brerror_t err = brthread__new(&worker->thread, worker_main, worker, worker_name);
    if (err != BRERROR_NONE) {
      pool->refs.fetch_sub(1, std::memory_order_relaxed);
      {
        BRMutexLock lock(pool->mutex);
        pool->idle--;
      }
      brtp__shutdown(pool, true);
      return err;
    }
    pool->started_workers = i + 1;
  }
  *out = pool;
  return BRERROR_NONE;
}

brerror_t brtp__dowork(brtp_t pool, brtp_work_f function, void *argument) {
  return brtp__dowork_cleanup(pool, function, nullptr, argument);
}

brerror_t brtp__dowork_cleanup(brtp_t pool, brtp_work_f function, brtp_work_f cleanup,
                               void *argument) {
  BRASSERT(pool != nullptr);
  BRASSERT(function != nullptr);
  WorkItem *item = new (std::nothrow) WorkItem;
  if (!item) return BRERROR_NO_MEMORY;
  item->function = function;
  item->cleanup = cleanup;
  item->argument = argument;
  item->queued = brthread__getticks();

  BRMutexLock lock(pool->mutex);
  if (pool->limit >= 0 && pool->pending + pool->active >= pool->limit) {
    brlog("BRTP", pool->severity, "No Room in Queue: [%d, %d, %d, %d]\n", pool->limit,
          pool->idle, pool->pending, pool->limit + pool->idle - pool->pending);
    delete item;
    return BRERROR_NO_SPACE;
  }
  if (pool->tail) {
    pool->tail->next = item;
  } else {
    pool->head = item;
  }
  pool->tail = item;
  pool->pending++;
  if (pool->idle == 0) {
    brlog("BRTP", pool->severity,
          "+++ PENDING WORK ITEM (inqueue, no threads available) [%p(%p)]\n",
          reinterpret_cast<void *>(function), argument);
  }
  brcond__signal(pool->cond);
  return BRERROR_NONE;
}

brerror_t brtp__nameworkitem(const char *name) {
  BRASSERT(name != nullptr);
  if (!g_worker_slot) return BRERROR_BAD_STATE;
  Worker *self = static_cast<Worker *>(brtls__get(g_worker_slot));
  if (!self) return BRERROR_BAD_STATE;
  BRMutexLock lock(self->pool->mutex);
  if (!self->current) return BRERROR_BAD_STATE;
  snprintf(self->current->name, sizeof self->current->name, "%s", name);
  return BRERROR_NONE;
}

brerror_t brtp__shutdown(brtp_t pool, bool wait) {
  BRASSERT(pool != nullptr);
  brlog("BRTP", pool->severity, "Shutting Down Thread Pool '%s'\n", pool->name);
  {
    BRMutexLock lock(pool->mutex);
    pool->running = false;
    brcond__broadcast(pool->cond);
  }
  brthread_t caller = brthread__current();
  if (wait) {
    for (int32_t i = 0; i < pool->started_workers; i++) {
      brthread_t thread = pool->worker_list[i].thread;
      brlog("BRTP", pool->severity, "Waiting for thread '%s'\n", brthread__getname(thread));
      // A work function shutting down its own pool cannot wait for itself.
      if (thread == caller) {
        brthread__detatch(thread);
      } else {
        brthread__join(thread);
      }
    }
    brlog("BRTP", pool->severity, "Shutdown complete\n");
  } else {
    brlog("BRTP", pool->severity, "Shutting down in background...\n");
    for (int32_t i = 0; i < pool->started_workers; i++) {
      brthread__detatch(pool->worker_list[i].thread);
    }
  }
  pool_release(pool);
  return BRERROR_NONE;
}
