// The turn taking between a downloading thread and the interface thread that
// delivers its progress batches, and the percentages held meanwhile.
#include "core/download/delivery_gate.hpp"

#include <gtest/gtest.h>

#include <chrono>
#include <future>
#include <vector>

namespace tvlib {
namespace {

using download::DeliveryGate;
using download::PendingPercentages;
using std::chrono::milliseconds;

// Long enough never to run out on a loaded machine: a case that relies on
// it does not wait for it.
constexpr milliseconds forever{10000};

TEST(DeliveryGate, OneBatchIsQueuedAtMostAndADeliveryWakesTheWaitingWorker) {
  DeliveryGate gate;
  EXPECT_TRUE(gate.may_emit());
  gate.sent();
  EXPECT_FALSE(gate.may_emit()) << "a second batch would join the first in one pass";
  EXPECT_FALSE(gate.wait_for_turn(milliseconds(20)));

  auto worker =
      std::async(std::launch::async, [&gate] { return gate.wait_for_turn(forever); });
  EXPECT_EQ(worker.wait_for(milliseconds(20)), std::future_status::timeout);
  gate.delivered();
  ASSERT_EQ(worker.wait_for(forever / 2), std::future_status::ready)
      << "the delivery did not wake the worker";
  EXPECT_TRUE(worker.get());
  EXPECT_TRUE(gate.may_emit());
}

TEST(PendingPercentages, HeldPiecesComeBackInOrderOnePerPieceInBatches) {
  PendingPercentages pending;
  std::vector<int> pushed;
  // A 256 MiB download of 8 KiB pieces: 32,768 percentages of 101 values.
  constexpr int pieces = 32768;
  for (int piece = 1; piece <= pieces; ++piece) {
    const int pct = static_cast<int>(static_cast<long long>(piece) * 100 / pieces);
    pending.push(pct);
    pushed.push_back(pct);
  }
  EXPECT_EQ(pending.size(), static_cast<std::uint64_t>(pieces));
  EXPECT_LE(pending.entries(), 101U) << "memory grows with the pieces held";

  std::vector<int> taken;
  while (!pending.empty()) {
    const std::vector<int> batch = pending.take(128);
    ASSERT_FALSE(batch.empty());
    ASSERT_LE(batch.size(), 128U);
    taken.insert(taken.end(), batch.begin(), batch.end());
  }
  EXPECT_EQ(taken, pushed);
  EXPECT_EQ(pending.entries(), 0U);
  EXPECT_TRUE(pending.take(128).empty());
}

TEST(PendingPercentages, APercentageSeenAgainAfterAnotherIsKeptApart) {
  // Not a download's order, but nothing here may reorder or merge it.
  PendingPercentages pending;
  for (const int pct : {5, 5, 7, 5, 5, 5}) {
    pending.push(pct);
  }
  EXPECT_EQ(pending.entries(), 3U);
  EXPECT_EQ(pending.take(3), (std::vector<int>{5, 5, 7}));
  EXPECT_EQ(pending.take(10), (std::vector<int>{5, 5, 5}));
}

}  // namespace
}  // namespace tvlib
