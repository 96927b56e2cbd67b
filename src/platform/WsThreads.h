// The WebSocket layer's transport threads: each runs an io_context of its own, on which the
// connections handed to it do their accepts' handshakes and their frame reading and writing.
// Built, handed out and stopped on the owner's thread only; the contexts themselves are
// thread-safe to post to.
#pragma once

#include <atomic>
#include <cstddef>
#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace boost::asio {
class io_context;
}

class TWsThreads {
 public:
  // Starts `nThreads` threads named "tavrel-io" (at least one), each running its context until
  // Stop. `onEscape` hears, on the transport thread, the text of an exception that escaped a
  // handler there; the thread runs on.
  explicit TWsThreads(size_t nThreads, std::function<void(const std::string&)> onEscape = {});
  // Stop, then the contexts go: handlers still queued are destroyed unrun, on this thread.
  ~TWsThreads();
  TWsThreads(const TWsThreads&) = delete;
  TWsThreads& operator=(const TWsThreads&) = delete;

  // The context the next connection runs on, in turn.
  boost::asio::io_context& Next();
  size_t Size() const { return workers_.size(); }
  boost::asio::io_context& At(size_t i);
  // Stops every context and joins its thread; no handler of theirs runs afterwards.
  void Stop();
  // Exceptions that escaped a handler on these threads (the thread runs on).
  uint64_t Escapes() const { return nEscapes_.load(std::memory_order_relaxed); }

 private:
  struct TWorker;
  void Escaped(const std::string& sWhat);

  std::function<void(const std::string&)> onEscape_;
  std::vector<std::unique_ptr<TWorker>> workers_;
  size_t nNext_ = 0;
  std::atomic<uint64_t> nEscapes_{0};
};

// Bytes of one connection's incoming messages that its transport thread has handed to the
// owner's thread and the owner has not yet taken: past a cap the thread reads no more, so a
// fast sender cannot fill memory while the owner's loop is busy. Added to on the transport
// thread, taken from on the owner's.
class TWsTransit {
 public:
  explicit TWsTransit(size_t nCap) : nCap_(nCap) {}
  // Transport thread: `n` bytes more are on their way.
  void Add(size_t n) { nBytes_.fetch_add(n, std::memory_order_relaxed); }
  // Transport thread: whether the next read must wait for the owner.
  bool Full() const { return nBytes_.load(std::memory_order_acquire) > nCap_; }
  // Owner's thread: `n` bytes were taken. True when this brought the figure from above the cap
  // to at most it: a read that waits must be resumed (exactly once per such crossing).
  bool Take(size_t n) {
    const size_t before = nBytes_.fetch_sub(n, std::memory_order_acq_rel);
    return before > nCap_ && before - n <= nCap_;
  }
  size_t Bytes() const { return nBytes_.load(std::memory_order_relaxed); }

 private:
  std::atomic<size_t> nBytes_{0};
  size_t nCap_;
};
