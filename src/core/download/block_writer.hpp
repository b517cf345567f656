// A body's pieces gathered into blocks that a thread of its own passes on.
#pragma once

#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <exception>
#include <functional>
#include <memory>
#include <mutex>
#include <span>
#include <thread>
#include <vector>

namespace tvlib::download {

// Copies pieces into blocks and hands each full block to `consume` on a
// thread of its own, in order: writing the file and hashing the package then
// run on the other core while the downloading thread reads and decrypts the
// next bytes. A failure of `consume` is kept, no further block is consumed,
// and the next `append` or `finish` throws it on the downloading thread.
class BlockWriter {
 public:
  using Consume = std::function<void(std::span<const std::byte>)>;

  static constexpr std::size_t default_block_size = std::size_t{128} * 1024;
  // Eight (1 MiB) cut the downloading thread's waits for a free block but
  // gained no measurable speed, and the host's memory grew by 0.6 MiB more.
  static constexpr std::size_t default_block_count = 3;

  explicit BlockWriter(Consume consume, std::size_t block_size = default_block_size,
                       std::size_t block_count = default_block_count);
  BlockWriter(const BlockWriter&) = delete;
  BlockWriter& operator=(const BlockWriter&) = delete;
  BlockWriter(BlockWriter&&) = delete;
  BlockWriter& operator=(BlockWriter&&) = delete;
  // Stops the thread; blocks not consumed yet are dropped.
  ~BlockWriter();

  // Waits for a free block when all are queued.
  void append(std::span<const std::byte> piece);
  // Hands the last, partial block over and returns once every block is
  // consumed. Called once; nothing may be appended after it.
  void finish();

 private:
  struct Block {
    std::unique_ptr<std::byte[]> bytes;
    std::size_t size = 0;
  };

  void hand_over();
  void rethrow_failure();  // mutex_ held
  void run();

  Consume consume_;
  std::size_t block_size_;
  std::vector<Block> blocks_;
  std::mutex mutex_;
  std::condition_variable queued_;    // to the consuming thread
  std::condition_variable consumed_;  // to the downloading thread
  // Blocks are numbered in order; block n lives in blocks_[n % count].
  std::uint64_t handed_over_ = 0;
  std::uint64_t done_ = 0;
  bool finishing_ = false;
  bool dropping_ = false;
  std::exception_ptr failure_;
  std::thread thread_;  // last: starts once everything above is ready
};

}  // namespace tvlib::download
