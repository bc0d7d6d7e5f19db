#include "brlist.h"

#include <gtest/gtest.h>

#include <vector>

namespace {

std::vector<int> values(brlist_t *list) {
  std::vector<int> out;
  for (brlist__node_t *node = list->first; node; node = node->next) {
    out.push_back(*static_cast<int *>(node->value));
  }
  // The backward links must tell the same story.
  std::vector<int> back;
  for (brlist__node_t *node = list->last; node; node = node->prev) {
    back.insert(back.begin(), *static_cast<int *>(node->value));
  }
  EXPECT_EQ(out, back);
  EXPECT_EQ(out.size(), list->count);
  return out;
}

class BrListTest : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_EQ(brlist__new(&list_), 0); }
  void TearDown() override { brlist__destroy(list_); }
  brlist_t *list_ = nullptr;
  int v_[6] = {0, 1, 2, 3, 4, 5};
};

TEST_F(BrListTest, InsertionsKeepBothDirectionsLinked) {
  EXPECT_EQ(brlist__append(list_, &v_[2]), 0);
  EXPECT_EQ(brlist__prepend(list_, &v_[0]), 0);
  EXPECT_EQ(brlist__insertafter(list_, list_->first, &v_[1]), 0);
  EXPECT_EQ(brlist__insertbefore(list_, nullptr, &v_[4]), 0);
  EXPECT_EQ(brlist__insertbefore(list_, list_->last, &v_[3]), 0);
  EXPECT_EQ(brlist__insertafter(list_, nullptr, &v_[5]), 0);
  EXPECT_EQ(values(list_), (std::vector<int>{0, 1, 2, 3, 4, 5}));
}

TEST_F(BrListTest, RemovalsAndPop) {
  for (int &v : v_) brlist__append(list_, &v);
  EXPECT_EQ(brlist__remove(list_, &v_[3]), 0);
  EXPECT_EQ(brlist__removenode(list_, list_->last), 0);
  EXPECT_EQ(values(list_), (std::vector<int>{0, 1, 2, 4}));
  EXPECT_EQ(brlist__pop(list_), &v_[0]);
  EXPECT_EQ(values(list_), (std::vector<int>{1, 2, 4}));
  int stranger = 9;
  EXPECT_EQ(brlist__remove(list_, &stranger), BRERROR_NO_ENTRY);
  EXPECT_EQ(list_->count, 3u);
  brlist__removeall(list_);
  EXPECT_EQ(values(list_), std::vector<int>{});
  EXPECT_EQ(brlist__pop(list_), nullptr);
}

TEST_F(BrListTest, FindByPointerOrCompare) {
  for (int &v : v_) brlist__append(list_, &v);
  int three = 3;
  EXPECT_EQ(brlist__find(list_, &three, nullptr), nullptr);
  auto byValue = [](const void *a, const void *b) {
    return *static_cast<const int *>(a) - *static_cast<const int *>(b);
  };
  brlist__node_t *found = brlist__find(list_, &three, byValue);
  ASSERT_NE(found, nullptr);
  EXPECT_EQ(found->value, &v_[3]);
  EXPECT_EQ(brlist__find(list_, &v_[5], nullptr), list_->last);
}

TEST_F(BrListTest, DryAllocatorReportsAndLeavesListAlone) {
  brlist__node_allocator_t dry = {[](brlist__node_allocator_t *, void *) -> void * { return nullptr; },
                                  [](brlist__node_allocator_t *, void *) {}, nullptr};
  brlist_t list;
  brlist__init(&list, &dry);
  EXPECT_EQ(brlist__append(&list, &v_[0]), BRERROR_NO_MEMORY);
  EXPECT_EQ(brlist__insertbefore(&list, nullptr, &v_[0]), BRERROR_NO_MEMORY);
  EXPECT_EQ(list.count, 0u);
  EXPECT_EQ(list.first, nullptr);
}

}  // namespace
