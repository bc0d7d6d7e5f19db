#include "brrbtree.h"

#include <cstdlib>

namespace {

typedef brrbtree__node_s node_t;

node_t *heapAlloc(brrbtree__node_allocator_s *, void *) {
  return static_cast<node_t *>(malloc(sizeof(node_t)));
}
void heapRelease(brrbtree__node_allocator_s *, node_t *node) { free(node); }

brrbtree__node_allocator_s g_heapAllocator = {heapAlloc, heapRelease, nullptr};

// The pool's free list is chained through the parent field.
node_t *poolAlloc(brrbtree__node_allocator_s *allocator, void *) {
  auto *node = static_cast<node_t *>(allocator->state);
  if (node) allocator->state = node->parent;
  return node;
}
void poolRelease(brrbtree__node_allocator_s *allocator, node_t *node) {
  node->parent = static_cast<node_t *>(allocator->state);
  allocator->state = node;
}

bool isRed(const node_t *node) { return node && node->color == BRRBTREE_RED; }

node_t *minimum(node_t *node) {
  while (node->left) node = node->left;
  return node;
}
node_t *maximum(node_t *node) {
  while (node->right) node = node->right;
  return node;
}

// Puts `with` where `node` hangs (the root, or a child link of its parent).
void replaceChild(brrbtree_t *tree, node_t *node, node_t *with) {
  node_t *parent = node->parent;
  if (!parent) {
    tree->root = with;
  } else if (parent->left == node) {
    parent->left = with;
  } else {
    parent->right = with;
  }
  if (with) with->parent = parent;
}

void rotateLeft(brrbtree_t *tree, node_t *x) {
  node_t *y = x->right;
  x->right = y->left;
  if (y->left) y->left->parent = x;
  replaceChild(tree, x, y);
  y->left = x;
  x->parent = y;
}

void rotateRight(brrbtree_t *tree, node_t *x) {
  node_t *y = x->left;
  x->left = y->right;
  if (y->right) y->right->parent = x;
  replaceChild(tree, x, y);
  y->right = x;
  x->parent = y;
}

void insertRepair(brrbtree_t *tree, node_t *node) {
  node_t *parent;
  while ((parent = node->parent) && parent->color == BRRBTREE_RED) {
    node_t *grand = parent->parent;
    bool leftSide = parent == grand->left;
    node_t *uncle = leftSide ? grand->right : grand->left;
    if (isRed(uncle)) {
      parent->color = BRRBTREE_BLACK;
      uncle->color = BRRBTREE_BLACK;
      grand->color = BRRBTREE_RED;
      node = grand;
      continue;
    }
    if (leftSide) {
      if (node == parent->right) {
        rotateLeft(tree, parent);
        parent = node;
      }
      rotateRight(tree, grand);
    } else {
      if (node == parent->left) {
        rotateRight(tree, parent);
        parent = node;
      }
      rotateLeft(tree, grand);
    }
    parent->color = BRRBTREE_BLACK;
    grand->color = BRRBTREE_RED;
    break;
  }
  tree->root->color = BRRBTREE_BLACK;
}

// `node` (possibly null) carries an extra black; `parent` is its parent.
void removeRepair(brrbtree_t *tree, node_t *node, node_t *parent) {
  while (node != tree->root && !isRed(node)) {
    if (node == parent->left) {
      node_t *sibling = parent->right;
      if (isRed(sibling)) {
        sibling->color = BRRBTREE_BLACK;
        parent->color = BRRBTREE_RED;
        rotateLeft(tree, parent);
        sibling = parent->right;
      }
      if (!isRed(sibling->left) && !isRed(sibling->right)) {
        sibling->color = BRRBTREE_RED;
        node = parent;
        parent = node->parent;
        continue;
      }
      if (!isRed(sibling->right)) {
        sibling->left->color = BRRBTREE_BLACK;
        sibling->color = BRRBTREE_RED;
        rotateRight(tree, sibling);
        sibling = parent->right;
      }
      sibling->color = parent->color;
      parent->color = BRRBTREE_BLACK;
      sibling->right->color = BRRBTREE_BLACK;
      rotateLeft(tree, parent);
    } else {
      node_t *sibling = parent->left;
      if (isRed(sibling)) {
        sibling->color = BRRBTREE_BLACK;
        parent->color = BRRBTREE_RED;
        rotateRight(tree, parent);
        sibling = parent->left;
      }
      if (!isRed(sibling->left) && !isRed(sibling->right)) {
        sibling->color = BRRBTREE_RED;
        node = parent;
        parent = node->parent;
        continue;
      }
      if (!isRed(sibling->left)) {
        sibling->right->color = BRRBTREE_BLACK;
        sibling->color = BRRBTREE_RED;
        rotateLeft(tree, sibling);
        sibling = parent->left;
      }
      sibling->color = parent->color;
      parent->color = BRRBTREE_BLACK;
      sibling->left->color = BRRBTREE_BLACK;
      rotateRight(tree, parent);
    }
    node = tree->root;
  }
  if (node) node->color = BRRBTREE_BLACK;
}

void preorder(brrbtree_t *tree, node_t *node, bool reverse, brrbtree__traverse_f callback,
              void *user) {
  if (!node) return;
  node_t *first = reverse ? node->right : node->left;
  node_t *second = reverse ? node->left : node->right;
  callback(tree, node, user);
  preorder(tree, first, reverse, callback, user);
  preorder(tree, second, reverse, callback, user);
}

// Children are read before the callback, which may release the node.
void postorder(brrbtree_t *tree, node_t *node, bool reverse, brrbtree__traverse_f callback,
               void *user) {
  if (!node) return;
  node_t *first = reverse ? node->right : node->left;
  node_t *second = reverse ? node->left : node->right;
  postorder(tree, first, reverse, callback, user);
  postorder(tree, second, reverse, callback, user);
  callback(tree, node, user);
}

void releaseNode(brrbtree_t *tree, node_t *node, void *) {
  tree->allocator->release(tree->allocator, node);
}

}  // namespace

brrbtree__node_allocator_s *brrbtree__getDefaultAllocator() { return &g_heapAllocator; }

void brrbtree__preallocator_init(brrbtree__node_allocator_s *allocator, brrbtree__node_s *nodes,
                                 uint32_t count) {
  allocator->alloc = poolAlloc;
  allocator->release = poolRelease;
  allocator->state = nullptr;
  for (uint32_t i = count; i > 0; i--) poolRelease(allocator, &nodes[i - 1]);
}

brerror_t brrbtree__init(brrbtree_t *tree, brht__compare_f compare,
                         brrbtree__node_allocator_s *allocator) {
  if (!tree) return BRERROR_FAULT;
  tree->root = nullptr;
  tree->compare = compare;
  tree->count = 0;
  tree->allocator = allocator ? allocator : &g_heapAllocator;
  return BRERROR_NONE;
}

brerror_t brrbtree__new(brrbtree_t **out, brht__compare_f compare) {
  return brrbtree__newex(out, compare, nullptr);
}

brerror_t brrbtree__newex(brrbtree_t **out, brht__compare_f compare,
                          brrbtree__node_allocator_s *allocator) {
  auto *tree = static_cast<brrbtree_t *>(malloc(sizeof(brrbtree_t)));
  if (!tree) return BRERROR_FAULT;
  brrbtree__init(tree, compare, allocator);
  *out = tree;
  return BRERROR_NONE;
}

brrbtree__node_s *brrbtree__insert(brrbtree_t *tree, void *key, void *data) {
  node_t *node = tree->allocator->alloc(tree->allocator, data);
  if (!node) return nullptr;
  node_t *parent = nullptr;
  node_t **link = &tree->root;
  while (*link) {
    parent = *link;
    link = tree->compare(key, parent->key) < 0 ? &parent->left : &parent->right;
  }
  node->key = key;
  node->data = data;
  node->left = nullptr;
  node->right = nullptr;
  node->parent = parent;
  node->color = BRRBTREE_RED;
  *link = node;
  tree->count++;
  insertRepair(tree, node);
  return node;
}

brrbtree__node_s *brrbtree__find(brrbtree_t *tree, const void *key) {
  node_t *best = nullptr;
  for (node_t *node = tree->root; node;) {
    if (tree->compare(key, node->key) > 0) {
      node = node->right;
    } else {
      best = node;
      node = node->left;
    }
  }
  return best;
}

brrbtree__node_s *brrbtree__findexact(brrbtree_t *tree, const void *key) {
  node_t *node = brrbtree__find(tree, key);
  return node && tree->compare(key, node->key) == 0 ? node : nullptr;
}

brrbtree__node_s *brrbtree__finddata(brrbtree_t *tree, const void *key, const void *data) {
  for (node_t *node = brrbtree__findexact(tree, key);
       node && tree->compare(key, node->key) == 0; node = brrbtree__next(tree, node)) {
    if (node->data == data) return node;
  }
  return nullptr;
}

brerror_t brrbtree__removedata(brrbtree_t *tree, const void *key, const void *data) {
  node_t *node = brrbtree__finddata(tree, key, data);
  if (!node) return BRERROR_NO_ENTRY;
  return brrbtree__remove(tree, node);
}

brrbtree__node_s *brrbtree__first(brrbtree_t *tree) {
  return tree->root ? minimum(tree->root) : nullptr;
}

brrbtree__node_s *brrbtree__last(brrbtree_t *tree) {
  return tree->root ? maximum(tree->root) : nullptr;
}

brrbtree__node_s *brrbtree__next(brrbtree_t *, brrbtree__node_s *node) {
  if (node->right) return minimum(node->right);
  node_t *parent = node->parent;
  while (parent && node == parent->right) {
    node = parent;
    parent = parent->parent;
  }
  return parent;
}

brrbtree__node_s *brrbtree__prev(brrbtree_t *, brrbtree__node_s *node) {
  if (node->left) return maximum(node->left);
  node_t *parent = node->parent;
  while (parent && node == parent->left) {
    node = parent;
    parent = parent->parent;
  }
  return parent;
}

brerror_t brrbtree__remove(brrbtree_t *tree, brrbtree__node_s *node) {
  node_t *child;
  node_t *childParent;
  int32_t removedColor = node->color;
  if (!node->left || !node->right) {
    child = node->left ? node->left : node->right;
    childParent = node->parent;
    replaceChild(tree, node, child);
  } else {
    // The successor itself moves into the node's place, so that every
    // other handle keeps its key and data.
    node_t *successor = minimum(node->right);
    removedColor = successor->color;
    child = successor->right;
    if (successor->parent == node) {
      childParent = successor;
    } else {
      childParent = successor->parent;
      replaceChild(tree, successor, child);
      successor->right = node->right;
      successor->right->parent = successor;
    }
    replaceChild(tree, node, successor);
    successor->left = node->left;
    successor->left->parent = successor;
    successor->color = node->color;
  }
  tree->count--;
  if (removedColor == BRRBTREE_BLACK) removeRepair(tree, child, childParent);
  tree->allocator->release(tree->allocator, node);
  return BRERROR_NONE;
}

void brrbtree__traverse(brrbtree_t *tree, int reverse, brrbtree__traverse_f callback, void *user) {
  if (reverse) {
    for (node_t *node = brrbtree__last(tree); node; node = brrbtree__prev(tree, node)) {
      callback(tree, node, user);
    }
  } else {
    for (node_t *node = brrbtree__first(tree); node; node = brrbtree__next(tree, node)) {
      callback(tree, node, user);
    }
  }
}

void brrbtree__traverse_preorder(brrbtree_t *tree, int reverse, brrbtree__traverse_f callback,
                                 void *user) {
  preorder(tree, tree->root, reverse != 0, callback, user);
}

void brrbtree__traverse_postorder(brrbtree_t *tree, int reverse, brrbtree__traverse_f callback,
                                  void *user) {
  postorder(tree, tree->root, reverse != 0, callback, user);
}

uint32_t brrbtree__size(brrbtree_t *tree) { return tree->count; }

void brrbtree__removeall(brrbtree_t *tree) {
  postorder(tree, tree->root, false, releaseNode, nullptr);
  tree->root = nullptr;
  tree->count = 0;
}

void brrbtree__deinit(brrbtree_t *tree) { brrbtree__removeall(tree); }

void brrbtree__destroy(brrbtree_t *tree) {
  if (!tree) return;
  brrbtree__removeall(tree);
  free(tree);
}
