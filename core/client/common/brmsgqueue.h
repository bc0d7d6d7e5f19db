// brmsgqueue: a bounded FIFO of (word, pointer) pairs between threads.
//
// The capacity is fixed at creation and the ring is allocated once. The
// queue does not own the pointers it carries. Every call is thread-safe
// except brmsgqueue__destroy, which must come after every other use. Timed
// gets wait against the monotonic clock.
#pragma once

#include <cstdint>

#include "brerror.h"

typedef struct brmsgqueue_s *brmsgqueue_t;

// -1 when memory is short, -6 for a capacity below 1.
brerror_t brmsgqueue__new(brmsgqueue_t *out, int32_t capacity);
brerror_t brmsgqueue__destroy(brmsgqueue_t queue);
// When full: waits for room if `wait`, else returns -1.
brerror_t brmsgqueue__put(brmsgqueue_t queue, uint32_t word, void *pointer, bool wait);
// Takes the oldest pair; while empty waits up to `ms` (negative: without
// limit) and returns -2 on time-out. `word` and `pointer` may be null.
brerror_t brmsgqueue__get(brmsgqueue_t queue, uint32_t *word, void **pointer, int32_t ms);
int32_t brmsgqueue__length(brmsgqueue_t queue);
