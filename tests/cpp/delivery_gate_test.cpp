// The turn taking between a downloading thread and the interface thread that
// delivers its progress batches, each side on a thread of its own.
#include "core/download/delivery_gate.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <future>
#include <mutex>
#include <thread>

namespace tvlib {
namespace {

using download::DeliveryGate;
using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

// Long enough never to run out on a loaded machine: a case that relies on
// it does not wait for it.
constexpr milliseconds forever{10000};

void until_worker_waits(const DeliveryGate& gate) {
  const auto due = Clock::now() + forever;
  while (!gate.worker_waiting()) {
    ASSERT_LT(Clock::now(), due) << "the worker never started waiting";
    std::this_thread::yield();
  }
}

milliseconds time_of(const auto& action) {
  const auto start = Clock::now();
  action();
  return std::chrono::duration_cast<milliseconds>(Clock::now() - start);
}

TEST(DeliveryGate, TheWorkerWaitsUntilItsBatchIsDeliveredThenHandsTheTurnBack) {
  DeliveryGate gate({.ui_patience = forever, .handover_limit = forever});
  gate.sent();
  gate.emitted();

  auto worker = std::async(std::launch::async, [&gate] {
    gate.wait_for_turn();
    gate.sent();
    gate.emitted();
  });
  until_worker_waits(gate);
  EXPECT_EQ(worker.wait_for(milliseconds(20)), std::future_status::timeout);

  // The UI thread delivers the batch while the worker waits: the GIL is
  // handed over, and the UI thread waits only until the worker has emitted.
  ASSERT_TRUE(gate.delivered());
  EXPECT_LT(time_of([&gate] { gate.wait_for_emission(); }), forever / 2);
  worker.get();
  EXPECT_FALSE(gate.worker_waiting());
}

TEST(DeliveryGate, AFirstBatchAndABatchAfterEverythingWasDeliveredGoOutAtOnce) {
  DeliveryGate gate({.ui_patience = forever, .handover_limit = forever});
  EXPECT_LT(time_of([&gate] { gate.wait_for_turn(); }), forever / 2);
  gate.sent();
  gate.emitted();
  EXPECT_FALSE(gate.delivered()) << "nobody waits: no hand-over";
  EXPECT_LT(time_of([&gate] { gate.wait_for_turn(); }), forever / 2);
}

TEST(DeliveryGate, ABlockedUiThreadHoldsTheWorkerBackOnceThenNotUntilItDeliversAgain) {
  constexpr milliseconds patience{100};
  DeliveryGate gate({.ui_patience = patience, .handover_limit = forever});
  gate.sent();
  gate.emitted();

  EXPECT_GE(time_of([&gate] { gate.wait_for_turn(); }), patience);
  for (int batch = 0; batch < 3; ++batch) {
    EXPECT_LT(time_of([&gate] { gate.wait_for_turn(); }), patience)
        << "batch " << batch << " after the give-up waited";
    gate.sent();
    gate.emitted();
  }
  // Four batches out, one of them delivered: the worker waits again, and
  // with nothing more delivered gives up again.
  EXPECT_FALSE(gate.delivered());
  EXPECT_GE(time_of([&gate] { gate.wait_for_turn(); }), patience);
  EXPECT_LT(time_of([&gate] { gate.wait_for_turn(); }), patience);
}

TEST(DeliveryGate, ABacklogHandsOverOnlyOnceItIsDownToOneBatch) {
  DeliveryGate gate({.ui_patience = forever, .handover_limit = forever});
  // Four batches went out while the UI thread was blocked.
  for (int batch = 0; batch < 4; ++batch) {
    gate.sent();
    gate.emitted();
  }
  auto worker = std::async(std::launch::async, [&gate] { gate.wait_for_turn(); });
  until_worker_waits(gate);
  EXPECT_FALSE(gate.delivered());
  EXPECT_FALSE(gate.delivered());
  EXPECT_EQ(worker.wait_for(milliseconds(20)), std::future_status::timeout);
  EXPECT_TRUE(gate.delivered()) << "one batch left in the queue";
  worker.get();
}

// The most batches emitted and not yet delivered while a UI thread
// delivers `batches` of them as they come.
int most_undelivered_of(DeliveryGate& gate, int batches) {
  std::mutex mutex;
  std::condition_variable queued;
  int emitted = 0;
  int delivered = 0;
  int most_undelivered = 0;

  std::thread ui([&] {
    for (int batch = 0; batch < batches; ++batch) {
      {
        std::unique_lock lock(mutex);
        queued.wait(lock, [&] { return emitted > delivered; });
        ++delivered;
      }
      if (gate.delivered()) {
        gate.wait_for_emission();
      }
    }
  });
  for (int batch = 0; batch < batches; ++batch) {
    gate.wait_for_turn();
    gate.sent();
    {
      const std::scoped_lock lock(mutex);
      ++emitted;
      most_undelivered = std::max(most_undelivered, emitted - delivered);
    }
    queued.notify_one();
    gate.emitted();
  }
  ui.join();
  EXPECT_EQ(delivered, batches);
  return most_undelivered;
}

TEST(DeliveryGate, TheQueueHoldsAtMostTwoBatchesWhileTheUiThreadDelivers) {
  DeliveryGate gate({.ui_patience = forever, .handover_limit = forever});
  EXPECT_LE(most_undelivered_of(gate, 300), 2);
}

TEST(DeliveryGate, WithoutHandOverTheWorkerKeepsItsBatchesAheadAndNoMore) {
  DeliveryGate gate({.ui_patience = forever,
                     .handover_limit = forever,
                     .batches_ahead = 3,
                     .hand_over = false});
  EXPECT_LE(most_undelivered_of(gate, 300), 3);

  // Three batches go out at once; the fourth waits for a delivery, and no
  // delivery asks the UI thread to hand anything over.
  for (int batch = 0; batch < 3; ++batch) {
    EXPECT_LT(time_of([&gate] { gate.wait_for_turn(); }), forever / 2);
    gate.sent();
    gate.emitted();
  }
  auto worker = std::async(std::launch::async, [&gate] { gate.wait_for_turn(); });
  until_worker_waits(gate);
  EXPECT_EQ(worker.wait_for(milliseconds(20)), std::future_status::timeout);
  EXPECT_FALSE(gate.delivered());
  EXPECT_EQ(worker.wait_for(forever / 2), std::future_status::ready)
      << "the worker was not woken by the delivery";
}

TEST(DeliveryGate, AHandOverEndsAfterItsLimitWhenTheWorkerDoesNotEmit) {
  constexpr milliseconds limit{5};
  DeliveryGate gate({.ui_patience = forever, .handover_limit = limit});
  gate.sent();
  gate.emitted();
  auto worker = std::async(std::launch::async, [&gate] { gate.wait_for_turn(); });
  until_worker_waits(gate);
  ASSERT_TRUE(gate.delivered());
  worker.get();

  const milliseconds waited = time_of([&gate] { gate.wait_for_emission(); });
  EXPECT_GE(waited, limit);
  EXPECT_LT(waited, forever / 2);
  // The hand-over is over: the worker's next batch waits for its own turn.
  gate.sent();
  auto next = std::async(std::launch::async, [&gate] { gate.wait_for_turn(); });
  until_worker_waits(gate);
  EXPECT_EQ(next.wait_for(milliseconds(20)), std::future_status::timeout);
  ASSERT_TRUE(gate.delivered());
  next.get();
}

TEST(DeliveryGate, AFailedEmissionEndsTheHandOverAndNeverLeavesTheWorkerStuck) {
  constexpr milliseconds patience{100};
  DeliveryGate gate({.ui_patience = patience, .handover_limit = forever});
  gate.sent();
  gate.emitted();

  // A progress signal raises: the batch's acknowledgement never goes out,
  // and the hand-over ends with the failure, not after its limit.
  auto worker = std::async(std::launch::async, [&gate] {
    gate.wait_for_turn();
    gate.emitted();
  });
  until_worker_waits(gate);
  ASSERT_TRUE(gate.delivered());
  EXPECT_LT(time_of([&gate] { gate.wait_for_emission(); }), forever / 2);
  worker.get();
  EXPECT_LT(time_of([&gate] { gate.wait_for_turn(); }), patience)
      << "everything sent was delivered";

  // The acknowledgement itself raises after being counted: it is never
  // delivered, and the worker waits no longer than its patience for it.
  gate.sent();
  gate.emitted();
  const milliseconds waited = time_of([&gate] { gate.wait_for_turn(); });
  EXPECT_GE(waited, patience);
  EXPECT_LT(waited, forever / 2);
}

}  // namespace
}  // namespace tvlib
