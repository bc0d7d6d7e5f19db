// Test helpers for reference counting: an object that records every upref,
// dnref, getifc and its destruction, so tests can show that nothing leaks,
// nothing is released twice, and whether anyone looked at the object.
#pragma once

#include <gtest/gtest.h>

#include "hbobj.h"

struct HBCounts {
  int uprefs = 0;
  int dnrefs = 0;
  int destroyed = 0;
  int getifcs = 0;
};

class HBCountingObj : public IHBObj {
 public:
  explicit HBCountingObj(HBCounts *counts) : counts_(counts) {}
  int32_t upref() override {
    counts_->uprefs++;
    return ++refs_;
  }
  int32_t dnref() override {
    counts_->dnrefs++;
    EXPECT_GT(refs_, 0) << "released more often than referenced";
    int32_t count = --refs_;
    if (count == 0) {
      counts_->destroyed++;
      delete this;
    }
    return count;
  }
  brerror_t getifc(hbtype_t id, void **out) override {
    counts_->getifcs++;
    if (id != HBTYPE_IID_IHBOBJ) return BRERROR_NO_ENTRY;
    upref();
    *out = static_cast<IHBObj *>(this);
    return BRERROR_NONE;
  }
  int32_t refs() const { return refs_; }

 private:
  ~HBCountingObj() override = default;
  HBCounts *counts_;
  int32_t refs_ = 1;
};
