#include "hbstralloc.h"

#include <cstdlib>
#include <cstring>

#include "brlog.h"

// A heap block: this header, then the block's bytes.
struct HBStringAllocator::Block {
  Block *next;
  size_t size;
  char *data() { return reinterpret_cast<char *>(this + 1); }
};

namespace {

constexpr int kManyBlocks = 100;

void *listNodeAlloc(brlist__node_allocator_t *allocator, void *) {
  return static_cast<HBStringAllocator *>(allocator->state)->allocMem(sizeof(brlist__node_t));
}
brrbtree__node_s *treeNodeAlloc(brrbtree__node_allocator_s *allocator, void *) {
  return static_cast<brrbtree__node_s *>(
      static_cast<HBStringAllocator *>(allocator->state)->allocMem(sizeof(brrbtree__node_s)));
}
// Arena memory is only ever reclaimed as a whole.
void listNodeRelease(brlist__node_allocator_t *, void *) {}
void treeNodeRelease(brrbtree__node_allocator_s *, brrbtree__node_s *) {}

}  // namespace

HBStringAllocator::HBStringAllocator(size_t initialSize, size_t growSize)
    : freeOnDestroy_(true), growSize_(growSize) {
  listNodes_ = {listNodeAlloc, listNodeRelease, this};
  treeNodes_ = {treeNodeAlloc, treeNodeRelease, this};
  if (initialSize > 0) grow(initialSize, true);
}

HBStringAllocator::HBStringAllocator(void *buffer, size_t size, uint32_t flags)
    : freeOnDestroy_((flags & HBSTRALLOC_KEEP_BUFFER) == 0),
      buffer_(static_cast<char *>(buffer)),
      size_(buffer ? size : 0),
      growSize_(0),
      allocatedSize_(buffer ? size : 0),
      blockCount_(buffer ? 1 : 0) {
  listNodes_ = {listNodeAlloc, listNodeRelease, this};
  treeNodes_ = {treeNodeAlloc, treeNodeRelease, this};
}

HBStringAllocator::~HBStringAllocator() {
  if (!freeOnDestroy_) return;
  while (full_) {
    Block *next = full_->next;
    free(full_);
    full_ = next;
  }
  if (current_) {
    free(current_);
  } else {
    free(buffer_);
  }
}

int32_t HBStringAllocator::saupref() { return refs_.fetch_add(1, std::memory_order_relaxed) + 1; }

int32_t HBStringAllocator::sadnref() {
  int32_t count = refs_.fetch_sub(1, std::memory_order_acq_rel) - 1;
  if (count == 0) delete this;
  return count;
}

bool HBStringAllocator::grow(size_t need, bool exact) {
  size_t size = need;
  if (exact) {
    size = need;
  } else if (growSize_ > 0 && need > growSize_) {
    size_t blocks = need / growSize_ + (need % growSize_ != 0 ? 1 : 0);
    if (blocks > SIZE_MAX / growSize_) return false;
    size = blocks * growSize_;
  } else if (growSize_ > 0) {
    size = growSize_;
  }
  if (size > SIZE_MAX - sizeof(Block)) return false;
  auto *block = static_cast<Block *>(malloc(sizeof(Block) + size));
  if (!block) return false;
  block->size = size;
  block->next = nullptr;
  if (current_) {
    current_->next = full_;
    full_ = current_;
    if (blockCount_ > kManyBlocks) {
      brlog("STRALLOC", 16, "Allocated %d extra buffers. Maybe larger growsize?\n", blockCount_);
    }
  }
  current_ = block;
  buffer_ = block->data();
  used_ = 0;
  size_ = size;
  allocatedSize_ += size;
  blockCount_++;
  brlog("STRALLOC", 16, "m_buffer newly alloced: %p\n", static_cast<void *>(buffer_));
  return true;
}

void *HBStringAllocator::allocMem(ssize_t len) {
  if (len <= 0 || static_cast<size_t>(len) > SIZE_MAX - 7) return nullptr;
  size_t need = static_cast<size_t>(len) + 7;
  if (!buffer_ || size_ - used_ < need) {
    if (growSize_ == 0 || !grow(need, false)) return nullptr;
  }
  auto start = reinterpret_cast<uintptr_t>(buffer_ + used_);
  used_ += need;
  return reinterpret_cast<void *>((start + 7) & ~static_cast<uintptr_t>(7));
}

char *HBStringAllocator::adoptString(const char *text, ssize_t len) {
  if (!text) return nullptr;
  size_t length = len < 0 ? strlen(text) : static_cast<size_t>(len);
  auto *copy = static_cast<char *>(allocMem(static_cast<ssize_t>(length + 1)));
  if (!copy) return nullptr;
  memcpy(copy, text, length);
  copy[length] = '\0';
  return copy;
}

void HBStringAllocator::flushAllocator() {
  int32_t refs = getReferenceCount();
  if (refs > 1) {
    brlog("STRALLOC", 2, "You are flushing a string alocator that is multi-owned: %d\n", refs);
  }
  while (full_) {
    Block *next = full_->next;
    allocatedSize_ -= full_->size;
    blockCount_--;
    free(full_);
    full_ = next;
  }
  used_ = 0;
  if (blockCount_ > 1) brlog("STRALLOC", 1, "Too many allocs after flush: %d\n", blockCount_);
}

int32_t HBStringAllocatorOnStack::saupref() {
  brlog("STRALLOC", 1, "You can't reference count an on-stack string buffer!");
  BRABORT();
}

int32_t HBStringAllocatorOnStack::sadnref() {
  brlog("STRALLOC", 1, "You can't reference count an on-stack string buffer!");
  BRABORT();
}

brlist_t *HBStringAllocator__allocList(HBStringAllocator *allocator) {
  auto *list = static_cast<brlist_t *>(allocator->allocMem(sizeof(brlist_t)));
  if (list) brlist__init(list, allocator->listNodeAllocator());
  return list;
}

brrbtree_t *HBStringAllocator__allocTree(HBStringAllocator *allocator, brht__compare_f compare) {
  auto *tree = static_cast<brrbtree_t *>(allocator->allocMem(sizeof(brrbtree_t)));
  if (tree) brrbtree__init(tree, compare, allocator->treeNodeAllocator());
  return tree;
}
