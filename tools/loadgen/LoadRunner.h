// The load run: every client connection on one io_context, the send
// schedule, the phases (connect, warm-up, measured window, drain, close) and
// the results. Owns its io_context, clients and timers; runs on the calling
// thread inside Run.
#pragma once

#include <memory>
#include <string>

#include "loadgen/LoadOptions.h"
#include "loadgen/LoadResults.h"

namespace loadgen {

class TLoadRunner {
 public:
  explicit TLoadRunner(const TLoadOptions& Opts);
  ~TLoadRunner();
  TLoadRunner(const TLoadRunner&) = delete;
  TLoadRunner& operator=(const TLoadRunner&) = delete;

  // Runs every phase to the end (bounded by the options' times).
  TLoadResults Run();

  class TImpl;

 private:
  std::unique_ptr<TImpl> impl_;
};

}  // namespace loadgen
