// When a downloading thread may hand its next batch of progress signals to
// the interface thread. Standard C++ only: the caller decides what a batch,
// an emission and a delivery are.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <mutex>

namespace tvlib::download {

// Agreed between the worker thread and the interface (UI) thread, which
// acknowledges each batch once its slots have run. The UI thread holds the
// GIL for each slot and takes it back at once between slots; a worker that
// simply asked for it waited up to the interpreter's switch interval, waking
// and losing at every slot. So the worker emits when the UI thread has
// delivered every batch (the GIL is free then), or when the acknowledgement
// of the batch before its last one hands the GIL over and waits for it back:
// the UI thread then runs the slots of the last batch while the worker emits
// the next. While the UI thread keeps up, at most two batches are queued:
// the one being delivered and the one just emitted.
//
// A worker that emits without the GIL (through Qt itself) has nothing to hand
// over: it sets `hand_over` off and lets `batches_ahead` batches wait in the
// queue, so that the UI thread always finds the next one there.
//
// A UI thread that is blocked, or waits for the worker to end, must not stop
// the download: after `ui_patience` in vain the worker emits without waiting
// until the UI thread delivers again, and only then is the bound restored
// (the queue grows meanwhile, by one batch per batch made).
class DeliveryGate {
 public:
  struct Limits {
    // The longest the worker waits for its turn.
    std::chrono::milliseconds ui_patience{250};
    // The longest the UI thread, handing the GIL over, waits for it back.
    std::chrono::milliseconds handover_limit{5};
    // Batches emitted and not yet delivered when the worker may emit the next
    // without a hand-over.
    std::uint64_t batches_ahead = 1;
    bool hand_over = true;
  };

  DeliveryGate() = default;
  explicit DeliveryGate(Limits limits) : limits_(limits) {}

  // Worker thread, without the GIL: waits for its turn, at most
  // `ui_patience`. After a wait in vain the next ones are skipped until the
  // UI thread delivers again.
  void wait_for_turn();

  // Worker thread, GIL held, right before it emits the batch's
  // acknowledgement signal (which is what the UI thread's `delivered`
  // answers).
  void sent();

  // Worker thread, once it has let go of the GIL again, whether the batch
  // went out or an emission failed: the UI thread's hand-over ends.
  void emitted();

  // UI thread, GIL held: a batch's slots have run. True when the worker
  // waits with its next batch to be handed the GIL, and the caller is to let
  // go of it and call `wait_for_emission`.
  [[nodiscard]] bool delivered();

  // UI thread, without the GIL: until the worker has emitted, at most
  // `handover_limit`.
  void wait_for_emission();

  // Whether the worker is waiting for its turn right now.
  [[nodiscard]] bool worker_waiting() const;

 private:
  // mutex_ held: whether the worker's turn has come.
  [[nodiscard]] bool may_emit() const;

  Limits limits_;
  mutable std::mutex mutex_;
  std::condition_variable changed_;
  std::uint64_t sent_ = 0;
  std::uint64_t delivered_ = 0;
  bool waiting_ = false;
  bool handed_over_ = false;
  bool gave_up_ = false;
  std::uint64_t delivered_when_given_up_ = 0;
};

}  // namespace tvlib::download
