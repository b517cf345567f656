// The writer thread of a download: blocks in order, failures carried back.
#include "core/download/block_writer.hpp"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstddef>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <latch>
#include <memory>
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

#include "test_environment.hpp"

namespace tvlib {
namespace {

using download::BlockWriter;
namespace fs = std::filesystem;

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

// A failed download gives its writer up with full blocks still queued: they
// belong to a package that is about to be removed. The block in hand is
// finished, since the destructor waits for the thread; no later one is begun.
TEST(BlockWriter, AWriterGivenUpConsumesNoBlockQueuedBehindTheOneInHand) {
  constexpr std::size_t block_size = 1024;
  const fs::path file = fs::temp_directory_path() /
                        ("tvlib-block-writer-" + std::to_string(test::process_id()));
  std::latch in_hand(1);
  std::latch release(1);
  std::atomic<bool> dropping{false};
  std::string consumed;  // each block's first byte, as a digit
  std::streamoff written_when_dropped = -1;
  {
    std::ofstream out(file, std::ios::binary | std::ios::trunc);
    auto writer = std::make_unique<BlockWriter>(
        [&](std::span<const std::byte> block) {
          consumed += static_cast<char>('0' + std::to_integer<int>(block[0]));
          if (consumed.size() == 1) {
            in_hand.count_down();
            release.wait();
          }
          out.write(reinterpret_cast<const char*>(block.data()),
                    static_cast<std::streamsize>(block.size()));
          out.flush();
        },
        block_size, 4);
    // Three full blocks, each of its own byte, and a partial fourth.
    for (int n = 1; n <= 3; ++n) {
      writer->append(std::vector<std::byte>(block_size, static_cast<std::byte>(n)));
    }
    writer->append(std::vector<std::byte>(100, std::byte{4}));
    in_hand.wait();
    std::thread dropper([&] {
      dropping = true;
      writer.reset();
      written_when_dropped = out.tellp();
    });
    // The destructor marks the writer dropped at once, then waits for the
    // block in hand, which is let go once the destructor has had ample time.
    while (!dropping) {
      std::this_thread::yield();
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    release.count_down();
    dropper.join();
  }
  std::ifstream in(file, std::ios::binary);
  const std::string stored{std::istreambuf_iterator<char>(in), {}};
  in.close();
  fs::remove(file);
  EXPECT_EQ(consumed, "1") << "blocks queued behind the one in hand were consumed";
  EXPECT_EQ(stored.size(), block_size);
  EXPECT_EQ(stored.find_first_not_of('\x01'), std::string::npos);
  EXPECT_EQ(written_when_dropped, static_cast<std::streamoff>(block_size))
      << "bytes in the file when the destructor returned";
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
