// LockedRef: one optional Python reference behind its own mutex (the engine's worker, schema
// and audit references). The mutex covers only the pointer exchange; callers call out with the
// reference they took and drop replaced objects after the lock is gone, so no Python code
// (finalizers included) ever runs under it.
#pragma once

#include <mutex>

#include "binding/object.hpp"

namespace morva {

class LockedRef {
 public:
  // A new reference to the stored object, or an empty Ref when nothing was ever stored.
  Ref get() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return Ref::borrow(value_.get());
  }
  // Stores a new reference to `value` and hands back the previous one for the caller to drop.
  [[nodiscard]] Ref exchange(PyObject* value) {
    Ref next = Ref::borrow(value);
    std::lock_guard<std::mutex> lock(mutex_);
    std::swap(next, value_);
    return next;
  }

 private:
  mutable std::mutex mutex_;
  Ref value_;
};

}  // namespace morva
