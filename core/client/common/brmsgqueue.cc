#include "brmsgqueue.h"

#include <new>

#include "brlog.h"
#include "brthread.h"

namespace {

struct Cell {
  uint32_t word;
  void *pointer;
};

}  // namespace

struct brmsgqueue_s {
  int32_t capacity = 0;
  Cell *ring = nullptr;
  // Guarded by mutex.
  int32_t read = 0;
  int32_t write = 0;
  int32_t count = 0;
  brmutex_t mutex = nullptr;
  brcond_t not_empty = nullptr;
  brcond_t not_full = nullptr;

  ~brmsgqueue_s() {
    delete[] ring;
    if (not_full) brcond__destroy(not_full);
    if (not_empty) brcond__destroy(not_empty);
    if (mutex) brmutex__destroy(mutex);
  }
};

brerror_t brmsgqueue__new(brmsgqueue_t *out, int32_t capacity) {
  BRASSERT(out != nullptr);
  *out = nullptr;
  if (capacity < 1) return BRERROR_INVALID_ARGUMENT;
  brmsgqueue_s *queue = new (std::nothrow) brmsgqueue_s;
  if (!queue) return BRERROR_UNSPECIFIED;
  queue->capacity = capacity;
  queue->ring = new (std::nothrow) Cell[capacity]();
  if (!queue->ring || brmutex__new_named(&queue->mutex, BRMUTEX_HERE) != 0 ||
      brcond__new(&queue->not_empty) != 0 || brcond__new(&queue->not_full) != 0) {
    delete queue;
    return BRERROR_UNSPECIFIED;
  }
  *out = queue;
  return BRERROR_NONE;
}

brerror_t brmsgqueue__destroy(brmsgqueue_t queue) {
  BRASSERT(queue != nullptr);
  delete queue;
  return BRERROR_NONE;
}

brerror_t brmsgqueue__put(brmsgqueue_t queue, uint32_t word, void *pointer, bool wait) {
  BRASSERT(queue != nullptr);
  BRMutexLock lock(queue->mutex);
  while (queue->count == queue->capacity) {
    if (!wait) return BRERROR_UNSPECIFIED;
    brcond__wait(queue->not_full, queue->mutex);
  }
  queue->ring[queue->write] = Cell{word, pointer};
  queue->write = (queue->write + 1) % queue->capacity;
  queue->count++;
  brcond__signal(queue->not_empty);
  return BRERROR_NONE;
}

brerror_t brmsgqueue__get(brmsgqueue_t queue, uint32_t *word, void **pointer, int32_t ms) {
  BRASSERT(queue != nullptr);
  // One deadline for the whole wait, so that a wake-up lost to another
  // reader does not restart the time-out.
  BRMutexLock lock(queue->mutex);
  int64_t deadline = ms >= 0 ? brthread__getticks() + ms : -1;
  while (queue->count == 0) {
    brerror_t err = deadline < 0 ? brcond__wait(queue->not_empty, queue->mutex)
                                 : brcond__timedwaituntil(queue->not_empty, queue->mutex, deadline);
    if (err != BRERROR_NONE && queue->count == 0) return err;
  }
  Cell &cell = queue->ring[queue->read];
  if (word) *word = cell.word;
  if (pointer) *pointer = cell.pointer;
  cell = Cell{};
  queue->read = (queue->read + 1) % queue->capacity;
  queue->count--;
  brcond__signal(queue->not_full);
  return BRERROR_NONE;
}

int32_t brmsgqueue__length(brmsgqueue_t queue) {
  BRASSERT(queue != nullptr);
  BRMutexLock lock(queue->mutex);
  return queue->count;
}
