// StateHistory: a workflow engine's current FSM state and the list of every state it entered,
// changed together or not at all. Pure C++; safe from any thread.
#pragma once

#include <cstddef>
#include <mutex>
#include <utility>
#include <vector>

#include "fsm/fsm_state.hpp"

namespace morva::fsm {

// A transition appends to the history, which may need memory; the state changes only once the
// entry is in, so the last entry always names the current state. A run must be able to end,
// though: its last transition (Complete or Failed, often made while another error is already
// on its way out) finds its room set aside by the run's first, so it cannot fail. Every run in
// progress holds one such room.
class StateHistory {
 public:
  enum class Step { kStart, kMiddle, kEnd };

  StateHistory() : entries_{FsmValue::Pending} {}

  // Enters `next` and returns the state it leaves. A kStart or kMiddle transition throws
  // std::bad_alloc, changing nothing, when its entry (and for kStart the room for the run's
  // end) cannot be made; a kEnd transition never fails, being the end of a run that started.
  FsmValue enter(FsmValue next, Step step) {
    std::lock_guard<std::mutex> guard(lock_);
    if (step != Step::kEnd) {
      std::size_t owed = ends_owed_ + (step == Step::kStart ? 1 : 0);
      entries_.reserve(entries_.size() + 1 + owed);  // growth is geometric: amortised O(1)
      if (step == Step::kStart) ++ends_owed_;
    } else {
      --ends_owed_;
    }
    entries_.push_back(next);  // within the room made above: cannot fail
    return std::exchange(state_, next);
  }

  FsmValue state() const {
    std::lock_guard<std::mutex> guard(lock_);
    return state_;
  }
  std::vector<FsmValue> entries() const {
    std::lock_guard<std::mutex> guard(lock_);
    return entries_;
  }

 private:
  mutable std::mutex lock_;
  std::vector<FsmValue> entries_;
  FsmValue state_ = FsmValue::Pending;
  std::size_t ends_owed_ = 0;  // runs started and not yet ended
};

}  // namespace morva::fsm
