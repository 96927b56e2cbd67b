#include "platform/WsThreads.h"

#include <boost/asio/executor_work_guard.hpp>
#include <boost/asio/io_context.hpp>

#include <pthread.h>

#include <algorithm>
#include <exception>
#include <thread>
#include <utility>

struct TWsThreads::TWorker {
  boost::asio::io_context ioc{1};  // run by one thread
  boost::asio::executor_work_guard<boost::asio::io_context::executor_type> work =
      boost::asio::make_work_guard(ioc);
  std::thread thread;
};

TWsThreads::TWsThreads(size_t nThreads, std::function<void(const std::string&)> onEscape)
    : onEscape_(std::move(onEscape)) {
  nThreads = std::max<size_t>(nThreads, 1);
  for (size_t i = 0; i < nThreads; ++i) {
    auto worker = std::make_unique<TWorker>();
    boost::asio::io_context& ioc = worker->ioc;
    worker->thread = std::thread([&ioc, this] {
      // A handler that throws must not end the thread and strand its connections.
      for (;;) {
        try {
          ioc.run();
          return;
        } catch (const std::exception& e) {
          Escaped(e.what());
        } catch (...) {
          Escaped("unknown exception");
        }
      }
    });
    // Named for the operator's `top -H` and for the tests that count them.
    pthread_setname_np(worker->thread.native_handle(), "tavrel-io");
    workers_.push_back(std::move(worker));
  }
}

TWsThreads::~TWsThreads() {
  Stop();
  // The contexts go before the workers' other parts: queued handlers release what they hold.
  workers_.clear();
}

void TWsThreads::Escaped(const std::string& sWhat) {
  nEscapes_.fetch_add(1, std::memory_order_relaxed);
  if (!onEscape_) return;
  try {
    onEscape_(sWhat);
  } catch (...) {
  }
}

boost::asio::io_context& TWsThreads::Next() {
  boost::asio::io_context& ioc = workers_[nNext_]->ioc;
  nNext_ = (nNext_ + 1) % workers_.size();
  return ioc;
}

boost::asio::io_context& TWsThreads::At(size_t i) {
  return workers_[i]->ioc;
}

void TWsThreads::Stop() {
  for (auto& worker : workers_) {
    worker->work.reset();
    worker->ioc.stop();
  }
  for (auto& worker : workers_) {
    if (worker->thread.joinable()) worker->thread.join();
  }
}
