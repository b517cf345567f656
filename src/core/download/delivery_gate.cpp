#include "core/download/delivery_gate.hpp"

namespace tvlib::download {

void DeliveryGate::wait_for_turn() {
  std::unique_lock lock(mutex_);
  if (gave_up_ && delivered_ == delivered_when_given_up_) {
    return;
  }
  waiting_ = true;
  gave_up_ =
      !changed_.wait_for(lock, limits_.ui_patience, [this] { return may_emit(); });
  waiting_ = false;
  delivered_when_given_up_ = delivered_;
}

void DeliveryGate::sent() {
  const std::scoped_lock lock(mutex_);
  ++sent_;
}

void DeliveryGate::emitted() {
  {
    const std::scoped_lock lock(mutex_);
    handed_over_ = false;
  }
  changed_.notify_all();
}

bool DeliveryGate::delivered() {
  bool handed_over = false;
  bool wake = false;
  {
    const std::scoped_lock lock(mutex_);
    ++delivered_;
    // Handing over when the batch before the worker's last one is through,
    // not only the last: the UI thread then has the last batch's slots to run
    // while the worker emits, instead of idling until it has. Later, after a
    // give-up, batches further behind do not hand over: the worker waits
    // until the queue is down to one batch.
    handed_over = handed_over_ =
        limits_.hand_over && waiting_ && sent_ - delivered_ <= 1;
    wake = waiting_ && may_emit();
  }
  if (wake) {
    changed_.notify_all();
  }
  return handed_over;
}

void DeliveryGate::wait_for_emission() {
  std::unique_lock lock(mutex_);
  changed_.wait_for(lock, limits_.handover_limit, [this] { return !handed_over_; });
  handed_over_ = false;
}

bool DeliveryGate::may_emit() const {
  return sent_ - delivered_ < limits_.batches_ahead || handed_over_;
}

bool DeliveryGate::worker_waiting() const {
  const std::scoped_lock lock(mutex_);
  return waiting_;
}

}  // namespace tvlib::download
