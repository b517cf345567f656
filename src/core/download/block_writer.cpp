#include "core/download/block_writer.hpp"

#include <algorithm>
#include <cstring>
#include <stdexcept>
#include <utility>

namespace tvlib::download {

BlockWriter::BlockWriter(Consume consume, std::size_t block_size,
                         std::size_t block_count)
    : consume_(std::move(consume)), block_size_(block_size) {
  if (block_size == 0 || block_count < 2) {
    throw std::invalid_argument(
        "a block writer needs two blocks or more of some bytes");
  }
  blocks_.resize(block_count);
  for (Block& block : blocks_) {
    block.bytes = std::make_unique_for_overwrite<std::byte[]>(block_size);
  }
  thread_ = std::thread([this] { run(); });
}

BlockWriter::~BlockWriter() {
  {
    const std::scoped_lock lock(mutex_);
    dropping_ = true;
  }
  queued_.notify_one();
  thread_.join();
}

void BlockWriter::append(std::span<const std::byte> piece) {
  while (!piece.empty()) {
    Block& block = blocks_[handed_over_ % blocks_.size()];
    const std::size_t length = std::min(piece.size(), block_size_ - block.size);
    std::memcpy(block.bytes.get() + block.size, piece.data(), length);
    block.size += length;
    piece = piece.subspan(length);
    if (block.size == block_size_) {
      hand_over();
    }
  }
}

void BlockWriter::finish() {
  if (blocks_[handed_over_ % blocks_.size()].size > 0) {
    hand_over();
  }
  std::unique_lock lock(mutex_);
  finishing_ = true;
  queued_.notify_one();
  consumed_.wait(lock, [this] { return done_ == handed_over_ || failure_; });
  rethrow_failure();
}

// Downloading thread: queues the block being filled and waits until the
// next one is free.
void BlockWriter::hand_over() {
  std::unique_lock lock(mutex_);
  rethrow_failure();
  ++handed_over_;
  queued_.notify_one();
  consumed_.wait(lock,
                 [this] { return handed_over_ - done_ < blocks_.size() || failure_; });
  rethrow_failure();
}

void BlockWriter::rethrow_failure() {
  if (failure_) {
    std::rethrow_exception(failure_);
  }
}

void BlockWriter::run() {
  std::unique_lock lock(mutex_);
  for (;;) {
    queued_.wait(lock,
                 [this] { return done_ < handed_over_ || finishing_ || dropping_; });
    if (dropping_ || done_ == handed_over_) {
      return;
    }
    Block& block = blocks_[done_ % blocks_.size()];
    lock.unlock();
    // Nothing may leave this thread: a failure waits for the downloading one.
    std::exception_ptr failure;
    try {
      consume_({block.bytes.get(), block.size});
    } catch (...) {
      failure = std::current_exception();
    }
    block.size = 0;
    lock.lock();
    if (failure) {
      failure_ = failure;
      consumed_.notify_one();
      return;
    }
    ++done_;
    consumed_.notify_one();
  }
}

}  // namespace tvlib::download
