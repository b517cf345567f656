#include "core/download/delivery_gate.hpp"

#include <algorithm>

namespace tvlib::download {

bool DeliveryGate::may_emit() const {
  const std::scoped_lock lock(mutex_);
  return sent_ == delivered_;
}

bool DeliveryGate::wait_for_turn(std::chrono::milliseconds limit) {
  std::unique_lock lock(mutex_);
  return changed_.wait_for(lock, limit, [this] { return sent_ == delivered_; });
}

void DeliveryGate::sent() {
  const std::scoped_lock lock(mutex_);
  ++sent_;
}

void DeliveryGate::delivered() {
  {
    const std::scoped_lock lock(mutex_);
    ++delivered_;
  }
  changed_.notify_all();
}

void PendingPercentages::push(int pct) {
  if (!runs_.empty() && runs_.back().pct == pct) {
    ++runs_.back().count;
  } else {
    runs_.push_back({pct, 1});
  }
  ++count_;
}

std::vector<int> PendingPercentages::take(std::size_t most) {
  std::vector<int> taken;
  taken.reserve(static_cast<std::size_t>(std::min<std::uint64_t>(most, count_)));
  while (taken.size() < most && !runs_.empty()) {
    Run& run = runs_.front();
    const auto n = static_cast<std::size_t>(
        std::min<std::uint64_t>(run.count, most - taken.size()));
    taken.insert(taken.end(), n, run.pct);
    run.count -= n;
    count_ -= n;
    if (run.count == 0) {
      runs_.pop_front();
    }
  }
  return taken;
}

}  // namespace tvlib::download
