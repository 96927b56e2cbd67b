// A program started for a test or a tool: arguments, extra environment and
// working directory; stdin a pipe, and stdout with stderr either captured
// line by line (read on a thread of its own) or written to a file. Waits
// for a line or a listening port, and stops it with a signal and a bounded
// wait. The destructor kills what still runs. Its methods may be called
// from any one thread.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

namespace testkit {

struct ProcessOptions {
  std::string Cwd = ".";
  std::vector<std::string> Env;  // "NAME=value", added to this process's environment
  int KeepFd = -1;               // inherited as is when >= 0
  std::string OutputFile;        // stdout and stderr go here instead of being captured
};

class Process {
 public:
  Process(const std::string& Program, const std::vector<std::string>& Args, ProcessOptions Opts);
  Process(const std::string& Program, const std::vector<std::string>& Args, const std::string& Cwd,
          int KeepFd = -1);
  ~Process();
  Process(const Process&) = delete;
  Process& operator=(const Process&) = delete;

  // An output line containing Text (after the From-th line): its index, or
  // -1 on timeout.
  int WaitForLine(const std::string& Text, std::chrono::milliseconds Timeout, size_t From = 0);
  // True once something accepts connections on 127.0.0.1:Port.
  bool WaitForPort(uint16_t Port, std::chrono::milliseconds Timeout);
  std::vector<std::string> Lines();
  size_t LineCount();
  void WriteLine(const std::string& Line);
  void Signal(int Sig);
  // The exit status (128 + signal when killed), or nullopt on timeout. Once
  // it returns the status, Lines() holds the output to its end (waiting up
  // to Timeout, at least 1 s, for a child left behind holding it).
  std::optional<int> WaitExit(std::chrono::milliseconds Timeout);
  // Signal, then the exit status; SIGKILL when Timeout passes first.
  int Stop(int Sig, std::chrono::milliseconds Timeout);
  pid_t Pid() const { return pid_; }

 private:
  void ReadLoop(int Fd);

  pid_t pid_ = -1;
  int stdin_ = -1;
  int stdout_ = -1;
  bool exited_ = false;
  bool drained_ = false;  // the reader saw the end of the output
  int status_ = 0;
  std::thread reader_;
  std::mutex mutex_;
  std::condition_variable cv_;
  std::vector<std::string> lines_;
};

// A free TCP port on 127.0.0.1 at the moment of the call, for a program
// about to be started to listen on.
uint16_t FreePort();

// Resident memory of a process in KiB (0 when it is gone).
int64_t ResidentKb(pid_t Pid);

}  // namespace testkit
