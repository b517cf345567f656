// The writer thread of a download: blocks in order, failures carried back.
#include "core/download/block_writer.hpp"

#include <gtest/gtest.h>

#include <cstddef>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#ifdef _WIN32
#include <windows.h>
#elif defined(__linux__)
#include <sys/resource.h>
#include <sys/syscall.h>
#include <unistd.h>
#endif

namespace tvlib {
namespace {

using download::BlockWriter;

std::vector<std::byte> counting_bytes(std::size_t size) {
  std::vector<std::byte> bytes(size);
  for (std::size_t i = 0; i < size; ++i) {
    bytes[i] = static_cast<std::byte>(i * 7 % 251);
  }
  return bytes;
}

// How much the scheduler favours the calling thread: higher is sooner.
int thread_priority() {
#ifdef _WIN32
  return GetThreadPriority(GetCurrentThread());
#elif defined(__linux__)
  return -getpriority(PRIO_PROCESS, static_cast<id_t>(syscall(SYS_gettid)));
#else
  return 0;
#endif
}

TEST(BlockWriter, OddPiecesArriveWholeAndInOrderOnAnotherThread) {
  const std::vector<std::byte> body = counting_bytes(100'003);
  std::vector<std::byte> written;
  std::vector<std::size_t> sizes;
  std::thread::id consumer;
  {
    BlockWriter writer(
        [&](std::span<const std::byte> block) {
          consumer = std::this_thread::get_id();
          written.insert(written.end(), block.begin(), block.end());
          sizes.push_back(block.size());
        },
        4096, 2);
    for (std::size_t offset = 0, piece = 1; offset < body.size();
         piece = piece * 3 % 9001) {
      const std::size_t length = std::min(piece, body.size() - offset);
      writer.append({body.data() + offset, length});
      offset += length;
    }
    writer.finish();
    EXPECT_EQ(written, body) << "everything is consumed once finish returns";
  }
  EXPECT_NE(consumer, std::this_thread::get_id());
  ASSERT_EQ(sizes.size(), 25U);
  EXPECT_EQ(sizes.back(), 100'003U % 4096);
}

TEST(BlockWriter, AFailedBlockStopsTheWriterAndIsThrownOnTheAppendingThread) {
  const std::vector<std::byte> block = counting_bytes(1024);
  int consumed = 0;
  BlockWriter writer(
      [&consumed](std::span<const std::byte> /*block*/) {
        if (++consumed == 2) {
          throw std::runtime_error("cannot write the package: the disk is full");
        }
      },
      block.size(), 2);
  try {
    for (int i = 0; i < 100; ++i) {
      writer.append(block);
    }
    writer.finish();
    FAIL() << "the failure was lost";
  } catch (const std::runtime_error& failure) {
    EXPECT_STREQ(failure.what(), "cannot write the package: the disk is full");
  }
  EXPECT_EQ(consumed, 2) << "no block is consumed after a failure";
  EXPECT_THROW(writer.finish(), std::runtime_error);
}

TEST(BlockWriter, AWriterGivenUpDropsItsBlocksWithoutWaitingForThem) {
  std::vector<std::size_t> consumed;
  {
    BlockWriter writer(
        [&consumed](std::span<const std::byte> block) {
          consumed.push_back(block.size());
        },
        1024, 3);
    writer.append(counting_bytes(100));
  }
  EXPECT_TRUE(consumed.empty()) << "a partial block is written only by finish";
}

// The writer runs at its caller's priority: below the host's threads, it
// was preempted by other processes while the host's interface thread waited
// for what it held (measured: a longer stall of the host, not a shorter one).
TEST(BlockWriter, WritesAtTheCallersPriority) {
#if !defined(_WIN32) && !defined(__linux__)
  GTEST_SKIP() << "threads have no priority of their own here";
#endif
  const int caller = thread_priority();
  int writer_priority = caller + 1000;  // no priority: the block was not written
  {
    BlockWriter writer(
        [&](std::span<const std::byte> /*block*/) {
          writer_priority = thread_priority();
        },
        16, 2);
    writer.append(counting_bytes(16));
    writer.finish();
  }
  EXPECT_EQ(writer_priority, caller);
  std::thread other([caller] { EXPECT_EQ(thread_priority(), caller); });
  other.join();
}

}  // namespace
}  // namespace tvlib
