#include "brrbtree.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <algorithm>
#include <map>
#include <random>
#include <string>
#include <utility>
#include <vector>

namespace {

typedef std::vector<std::pair<int64_t, uintptr_t>> Pairs;

void *id(uintptr_t n) { return reinterpret_cast<void *>(n); }

// Checks every red-black property and the links; returns the black height
// of the subtree and counts its nodes.
int checkSubtree(brrbtree_t *tree, brrbtree__node_s *node, brrbtree__node_s *parent,
                 uint32_t *count) {
  if (!node) return 1;
  ++*count;
  EXPECT_EQ(node->parent, parent);
  if (node->color == BRRBTREE_RED) {
    EXPECT_FALSE(node->left && node->left->color == BRRBTREE_RED) << "red-red";
    EXPECT_FALSE(node->right && node->right->color == BRRBTREE_RED) << "red-red";
  }
  if (node->left) {
    EXPECT_LE(tree->compare(node->left->key, node->key), 0);
  }
  if (node->right) {
    EXPECT_GE(tree->compare(node->right->key, node->key), 0);
  }
  int left = checkSubtree(tree, node->left, node, count);
  int right = checkSubtree(tree, node->right, node, count);
  EXPECT_EQ(left, right) << "black heights differ";
  return left + (node->color == BRRBTREE_BLACK ? 1 : 0);
}

void checkInvariants(brrbtree_t *tree) {
  if (tree->root) {
    EXPECT_EQ(tree->root->color, BRRBTREE_BLACK);
  }
  uint32_t count = 0;
  checkSubtree(tree, tree->root, nullptr, &count);
  EXPECT_EQ(count, tree->count);
}

Pairs inOrder(brrbtree_t *tree, int reverse = 0) {
  Pairs out;
  brrbtree__traverse(
      tree, reverse,
      [](brrbtree_t *, brrbtree__node_s *node, void *user) {
        static_cast<Pairs *>(user)->emplace_back(*static_cast<int64_t *>(node->key),
                                                 reinterpret_cast<uintptr_t>(node->data));
      },
      &out);
  return out;
}

class BrRbTreeTest : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_EQ(brrbtree__new(&tree_, brht__pi64cmp), 0); }
  void TearDown() override { brrbtree__destroy(tree_); }
  brrbtree_t *tree_ = nullptr;
};

// Keys 5, 3, 5, 5 with data a, b, c, d.
class BrRbTreeEqualKeys : public BrRbTreeTest {
 protected:
  void SetUp() override {
    BrRbTreeTest::SetUp();
    for (int i = 0; i < 4; i++) brrbtree__insert(tree_, &keys_[i], id('a' + i));
  }
  int64_t keys_[4] = {5, 3, 5, 5};
};

TEST_F(BrRbTreeEqualKeys, EqualKeysWalkInInsertionOrder) {
  EXPECT_EQ(inOrder(tree_), (Pairs{{3, 'b'}, {5, 'a'}, {5, 'c'}, {5, 'd'}}));
  EXPECT_EQ(inOrder(tree_, 1), (Pairs{{5, 'd'}, {5, 'c'}, {5, 'a'}, {3, 'b'}}));
  Pairs walked;
  for (auto *n = brrbtree__last(tree_); n; n = brrbtree__prev(tree_, n)) {
    walked.emplace_back(*static_cast<int64_t *>(n->key), reinterpret_cast<uintptr_t>(n->data));
  }
  EXPECT_EQ(walked, inOrder(tree_, 1));
}

TEST_F(BrRbTreeEqualKeys, LowerBoundExactAndDataLookups) {
  struct Case {
    int64_t key;
    uintptr_t find;       // 0: null
    uintptr_t findexact;  // 0: null
  } cases[] = {{5, 'a', 'a'}, {4, 'a', 0}, {6, 0, 0}, {3, 'b', 'b'}, {0, 'b', 0}};
  for (const Case &c : cases) {
    brrbtree__node_s *found = brrbtree__find(tree_, &c.key);
    EXPECT_EQ(found ? reinterpret_cast<uintptr_t>(found->data) : 0, c.find) << c.key;
    found = brrbtree__findexact(tree_, &c.key);
    EXPECT_EQ(found ? reinterpret_cast<uintptr_t>(found->data) : 0, c.findexact) << c.key;
  }
  int64_t five = 5, three = 3;
  brrbtree__node_s *d = brrbtree__finddata(tree_, &five, id('d'));
  ASSERT_NE(d, nullptr);
  EXPECT_EQ(d->data, id('d'));
  EXPECT_EQ(brrbtree__finddata(tree_, &three, id('d')), nullptr);
  EXPECT_EQ(brrbtree__removedata(tree_, &five, id('c')), 0);
  EXPECT_EQ(brrbtree__removedata(tree_, &five, id('c')), BRERROR_NO_ENTRY);
  EXPECT_EQ(inOrder(tree_), (Pairs{{3, 'b'}, {5, 'a'}, {5, 'd'}}));
  checkInvariants(tree_);
}

TEST_F(BrRbTreeTest, PreorderAndPostorderWalks) {
  int64_t keys[3] = {2, 1, 3};
  for (int64_t &k : keys) brrbtree__insert(tree_, &k, id(static_cast<uintptr_t>(k)));
  auto collect = [](brrbtree_t *, brrbtree__node_s *node, void *user) {
    static_cast<std::vector<int64_t> *>(user)->push_back(*static_cast<int64_t *>(node->key));
  };
  std::vector<int64_t> seen;
  brrbtree__traverse_preorder(tree_, 0, collect, &seen);
  EXPECT_EQ(seen, (std::vector<int64_t>{2, 1, 3}));
  seen.clear();
  brrbtree__traverse_preorder(tree_, 1, collect, &seen);
  EXPECT_EQ(seen, (std::vector<int64_t>{2, 3, 1}));
  seen.clear();
  brrbtree__traverse_postorder(tree_, 0, collect, &seen);
  EXPECT_EQ(seen, (std::vector<int64_t>{1, 3, 2}));
  seen.clear();
  brrbtree__traverse_postorder(tree_, 1, collect, &seen);
  EXPECT_EQ(seen, (std::vector<int64_t>{3, 1, 2}));

  // Post-order may release each node as it is handed over.
  brrbtree__traverse_postorder(
      tree_, 0,
      [](brrbtree_t *tree, brrbtree__node_s *node, void *) {
        tree->allocator->release(tree->allocator, node);
      },
      nullptr);
  brrbtree__init(tree_, brht__pi64cmp, nullptr);
  EXPECT_EQ(brrbtree__first(tree_), nullptr);
}

TEST_F(BrRbTreeTest, HandlesStayValidAcrossRemovals) {
  std::vector<int64_t> keys(200);
  std::vector<brrbtree__node_s *> handles;
  for (size_t i = 0; i < keys.size(); i++) {
    keys[i] = static_cast<int64_t>(i % 50);
    handles.push_back(brrbtree__insert(tree_, &keys[i], id(i)));
  }
  std::mt19937 rng(7);
  std::vector<size_t> order(keys.size());
  for (size_t i = 0; i < order.size(); i++) order[i] = i;
  std::shuffle(order.begin(), order.end(), rng);
  std::vector<bool> alive(keys.size(), true);
  for (size_t step = 0; step < order.size(); step++) {
    size_t victim = order[step];
    ASSERT_EQ(brrbtree__remove(tree_, handles[victim]), 0);
    alive[victim] = false;
    if (step % 10 != 0) continue;
    for (size_t i = 0; i < keys.size(); i++) {
      if (!alive[i]) continue;
      ASSERT_EQ(handles[i]->key, &keys[i]);
      ASSERT_EQ(handles[i]->data, id(i));
      ASSERT_EQ(brrbtree__finddata(tree_, &keys[i], id(i)), handles[i]);
    }
    checkInvariants(tree_);
  }
  EXPECT_EQ(brrbtree__size(tree_), 0u);
  EXPECT_EQ(tree_->root, nullptr);
}

TEST(BrRbTreeRandom, MatchesMultimapAndKeepsInvariants) {
  brrbtree_t tree;
  ASSERT_EQ(brrbtree__init(&tree, brht__pi64cmp, nullptr), 0);
  std::multimap<int64_t, uintptr_t> model;
  std::vector<std::pair<int64_t *, brrbtree__node_s *>> live;
  std::mt19937_64 rng(20240601);
  uintptr_t nextId = 1;
  for (int step = 0; step < 6000; step++) {
    bool insert = live.empty() || rng() % 100 < (step < 3000 ? 65 : 35);
    if (insert) {
      auto *key = new int64_t(static_cast<int64_t>(rng() % 400) - 200);
      brrbtree__node_s *node = brrbtree__insert(&tree, key, id(nextId));
      ASSERT_NE(node, nullptr);
      model.emplace(*key, nextId++);
      live.emplace_back(key, node);
    } else {
      size_t pick = rng() % live.size();
      auto [key, node] = live[pick];
      auto range = model.equal_range(*key);
      for (auto it = range.first; it != range.second; ++it) {
        if (id(it->second) == node->data) {
          model.erase(it);
          break;
        }
      }
      ASSERT_EQ(brrbtree__remove(&tree, node), 0);
      delete key;
      live[pick] = live.back();
      live.pop_back();
    }
    checkInvariants(&tree);
    ASSERT_EQ(tree.count, model.size());
    if (step % 50 == 0) {
      ASSERT_EQ(inOrder(&tree), Pairs(model.begin(), model.end())) << "step " << step;
      int64_t probe = static_cast<int64_t>(rng() % 440) - 220;
      auto expect = model.lower_bound(probe);
      brrbtree__node_s *found = brrbtree__find(&tree, &probe);
      if (expect == model.end()) {
        ASSERT_EQ(found, nullptr);
      } else {
        ASSERT_NE(found, nullptr);
        ASSERT_EQ(found->data, id(expect->second));
      }
    }
    if (::testing::Test::HasFailure()) FAIL() << "at step " << step << (insert ? " insert" : " remove");
  }
  for (auto &[key, node] : live) delete key;
  brrbtree__deinit(&tree);
  EXPECT_EQ(tree.count, 0u);
}

TEST(BrRbTreePool, RunsDryAndRecovers) {
  brrbtree__node_s nodes[8];
  brrbtree__node_allocator_s pool;
  brrbtree__preallocator_init(&pool, nodes, 8);
  brrbtree_t tree;
  brrbtree__init(&tree, brht__pi64cmp, &pool);
  int64_t keys[9] = {4, 8, 1, 6, 3, 7, 2, 5, 9};
  for (int i = 0; i < 8; i++) {
    brrbtree__node_s *node = brrbtree__insert(&tree, &keys[i], id(i + 1));
    ASSERT_NE(node, nullptr);
    EXPECT_GE(node, &nodes[0]);
    EXPECT_LE(node, &nodes[7]);
  }
  EXPECT_EQ(brrbtree__insert(&tree, &keys[8], id(9)), nullptr);
  EXPECT_EQ(brrbtree__size(&tree), 8u);
  checkInvariants(&tree);
  ASSERT_EQ(brrbtree__remove(&tree, brrbtree__findexact(&tree, &keys[0])), 0);
  EXPECT_NE(brrbtree__insert(&tree, &keys[8], id(9)), nullptr);
  EXPECT_EQ(brrbtree__insert(&tree, &keys[8], id(10)), nullptr);
  brrbtree__removeall(&tree);
  for (int i = 0; i < 8; i++) EXPECT_NE(brrbtree__insert(&tree, &keys[i], id(i)), nullptr);
  checkInvariants(&tree);
}

TEST(BrRbTreeStrings, OrdersByStrcmp) {
  brrbtree_t *tree = nullptr;
  ASSERT_EQ(brrbtree__new(&tree, brht__strcmp), 0);
  const char *words[] = {"pear", "Apple", "fig", "apple", "Zoo"};
  for (const char *w : words) brrbtree__insert(tree, const_cast<char *>(w), nullptr);
  std::vector<std::string> seen;
  for (auto *n = brrbtree__first(tree); n; n = brrbtree__next(tree, n)) {
    seen.emplace_back(static_cast<const char *>(n->key));
  }
  EXPECT_EQ(seen, (std::vector<std::string>{"Apple", "Zoo", "apple", "fig", "pear"}));
  EXPECT_STREQ(static_cast<const char *>(brrbtree__find(tree, "b")->key), "fig");
  brrbtree__destroy(tree);
}

}  // namespace
