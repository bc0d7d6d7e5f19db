// brthreadpool: a fixed set of worker threads taking work items from one
// FIFO queue, with an optional limit on the items in the pool (running plus
// pending).
//
// Ownership: the pool holds one reference for its creator and one per
// worker. brtp__shutdown drops the creator's; the pool is destroyed when the
// last reference goes, which may be on a worker after a shutdown without
// waiting. Items still pending then are not run: their clean-up function is
// called with their argument instead. The handle must not be used after
// brtp__shutdown.
//
// Thread-safety: every call may be made from any thread; brtp__nameworkitem
// only from inside a work function. Work functions run without the pool
// lock. Pool log lines use tag "BRTP" at severity 19.
#pragma once

#include <cstdint>

#include "brerror.h"

typedef struct brtp_s *brtp_t;
typedef void (*brtp_work_f)(void *argument);

// `name` null means "TP"; workers are named "%.28s%02d" (pool name, index
// from 00). `queueLimit` -1 means no limit. When a worker cannot start, the
// started ones are shut down and the error is returned.
brerror_t brtp__new(brtp_t *out, const char *name, int32_t workers, int32_t queueLimit);
brerror_t brtp__dowork(brtp_t pool, brtp_work_f function, void *argument);
// -12 when the pool holds `queueLimit` items. `cleanup` (may be null) runs
// only for an item still pending when the pool is destroyed.
brerror_t brtp__dowork_cleanup(brtp_t pool, brtp_work_f function, brtp_work_f cleanup,
                               void *argument);
// Names the item the calling worker runs (32 characters kept), for
// diagnostics.
brerror_t brtp__nameworkitem(const char *name);
// Stops the workers after their current item. With `wait` it joins them
// first; otherwise it returns at once.
brerror_t brtp__shutdown(brtp_t pool, bool wait);
