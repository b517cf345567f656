// When a downloading thread may hand its next batch of progress signals to
// the interface thread, and the percentages it holds until then. Standard
// C++ only: the caller decides what a batch, an emission and a delivery are.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <mutex>
#include <vector>

namespace tvlib::download {

// Agreed between the worker thread and the interface (UI) thread, which
// acknowledges each batch once its slots have run. One batch is in the UI
// thread's queue at most: the worker emits the next only once the last is
// delivered, so that an event pass of the UI thread never runs more than one
// batch of progress slots, however long the UI thread was busy. The worker
// never waits for its turn while it downloads (a blocked UI thread must not
// stop the network being read): it holds the percentages meanwhile
// (PendingPercentages) and emits them as the turns come.
class DeliveryGate {
 public:
  // Worker thread: whether the last batch emitted has been delivered.
  [[nodiscard]] bool may_emit() const;

  // Worker thread: waits for its turn, at most `limit`; whether it came.
  [[nodiscard]] bool wait_for_turn(std::chrono::milliseconds limit);

  // Worker thread, right before it emits the batch's acknowledgement signal
  // (which is what the UI thread's `delivered` answers).
  void sent();

  // UI thread: a batch's slots have run.
  void delivered();

 private:
  mutable std::mutex mutex_;
  std::condition_variable changed_;
  std::uint64_t sent_ = 0;
  std::uint64_t delivered_ = 0;
};

// The percentages not emitted yet, in order, each with how many pieces in a
// row it stands for: as many entries as distinct percentages (101 for a
// whole download), whatever the number of pieces, so that memory stays flat
// while the UI thread is behind.
class PendingPercentages {
 public:
  void push(int pct);
  // The oldest `most` percentages at most, removed, one per piece.
  [[nodiscard]] std::vector<int> take(std::size_t most);
  [[nodiscard]] bool empty() const { return count_ == 0; }
  // Pieces held.
  [[nodiscard]] std::uint64_t size() const { return count_; }
  // Entries held: distinct percentages.
  [[nodiscard]] std::size_t entries() const { return runs_.size(); }

 private:
  struct Run {
    int pct;
    std::uint64_t count;
  };
  std::deque<Run> runs_;
  std::uint64_t count_ = 0;
};

}  // namespace tvlib::download
