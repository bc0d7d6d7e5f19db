// HBStringAllocator: the arena that maps and strings draw from.
//
// Memory is handed out in 8-byte-aligned pieces from the current block and
// is never returned piece by piece: it all goes when the arena is flushed
// (full blocks freed, the current block reused) or destroyed. Lists and
// trees made by allocList/allocTree take their headers and nodes from the
// arena, and releasing such a node does nothing.
//
// Not an IHBObj: its own count (saupref/sadnref, atomic) keeps it alive for
// every holder (maps sharing it, HBStrSA strings). Allocation and flushing
// are not locked: one thread at a time, under the owner's lock.
#pragma once

#include <sys/types.h>

#include <atomic>
#include <cstddef>
#include <cstdint>

#include "brlist.h"
#include "brrbtree.h"

// Constructor flag for a caller's buffer: the caller keeps (and frees) it.
constexpr uint32_t HBSTRALLOC_KEEP_BUFFER = 0x1;

class HBStringAllocator {
 public:
  // Own blocks: the first of `initialSize` (none when 0), later ones of
  // `growSize`, or of the smallest multiple of it that fits a request.
  HBStringAllocator(size_t initialSize, size_t growSize);
  // Over a caller's buffer, never growing; frees it with free() on
  // destruction unless HBSTRALLOC_KEEP_BUFFER.
  HBStringAllocator(void *buffer, size_t size, uint32_t flags);
  HBStringAllocator(const HBStringAllocator &) = delete;
  HBStringAllocator &operator=(const HBStringAllocator &) = delete;

  virtual int32_t saupref();
  // Deletes the arena when the count reaches 0.
  virtual int32_t sadnref();
  virtual ~HBStringAllocator();

  // Null for len <= 0 or when no room can be had.
  void *allocMem(ssize_t len);
  // A NUL-terminated copy of `len` bytes (the whole string when len < 0);
  // null for a null text or when no room can be had.
  char *adoptString(const char *text, ssize_t len);
  // Frees the full blocks and rewinds the current one: every pointer handed
  // out before is dead afterwards.
  void flushAllocator();
  size_t getAllocatedSize() const { return allocatedSize_; }
  int32_t getReferenceCount() const { return refs_.load(std::memory_order_relaxed); }

  brlist__node_allocator_t *listNodeAllocator() { return &listNodes_; }
  brrbtree__node_allocator_s *treeNodeAllocator() { return &treeNodes_; }

 private:
  struct Block;
  // A new current block: `need` bytes exactly, or sized by the grow size.
  bool grow(size_t need, bool exact);

  std::atomic<int32_t> refs_{1};
  bool freeOnDestroy_;
  char *buffer_ = nullptr;
  size_t used_ = 0;
  size_t size_ = 0;
  size_t growSize_;
  Block *current_ = nullptr;  // null for a caller's buffer
  Block *full_ = nullptr;
  size_t allocatedSize_ = 0;
  int32_t blockCount_ = 0;
  brlist__node_allocator_t listNodes_;
  brrbtree__node_allocator_s treeNodes_;
};

// The caller's-buffer form over a stack buffer. It lives and dies with its
// scope: saupref and sadnref log and abort.
class HBStringAllocatorOnStack : public HBStringAllocator {
 public:
  HBStringAllocatorOnStack(void *buffer, size_t size)
      : HBStringAllocator(buffer, size, HBSTRALLOC_KEEP_BUFFER) {}
  int32_t saupref() override;
  int32_t sadnref() override;
};

// A list or tree whose header and nodes live in the arena (null when it is
// full). Never destroy them: they die with the arena's memory.
brlist_t *HBStringAllocator__allocList(HBStringAllocator *allocator);
brrbtree_t *HBStringAllocator__allocTree(HBStringAllocator *allocator, brht__compare_f compare);
