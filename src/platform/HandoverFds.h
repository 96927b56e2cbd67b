// The operating-system side of a hand-over to a new image of the binary:
// the one environment variable that names the descriptors passed across
// execve, the checks the new image makes of each, the sealed memfd that
// carries the state, the close-on-exec flags that decide what crosses, and
// the execve itself. Stateless free functions and one RAII guard; no event
// loop, main thread only.
//
//   TAVREL_HANDOVER=ws=3,console=4,link=5,state=6,stop=81234567890123,ok=2,...
//
// `link` is absent when the link was down; `stop` is when the old image
// stopped accepting (CLOCK_MONOTONIC ns, which survives execve); ok,
// refused, failed and pause carry the /metrics counters of hand-overs; conn
// the number of the old image's next connection; exec when execve was called.
#pragma once

#include <csignal>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include <boost/asio/ip/tcp.hpp>

inline constexpr const char* kHandoverVariable = "TAVREL_HANDOVER";
// The largest state a new image maps: far above what the caps on clients'
// queues, replay windows and the link queue let a gateway hold.
inline constexpr uint64_t kMaxHandoverStateBytes = 4ull << 30;

struct THandoverFds {
  int ws = -1;
  int console = -1;
  int link = -1;
  int state = -1;
  uint64_t nStopNs = 0;
  // The hand-over counters so far (optional fields ok, refused, failed, pause).
  uint64_t nOk = 0, nRefused = 0, nFailed = 0, nPauseNs = 0;
  // The number the old image's next connection would have had (optional field conn).
  uint64_t nNextConn = 0;
  uint64_t nExecNs = 0;  // when execve was called (optional field exec)
};

// The variable's value for `fds`.
std::string FormatHandoverFds(const THandoverFds& fds);
// Every well-formed field is taken, so that what was passed can still be
// closed or used; false with the first problem in `why` when any field is
// bad, unknown, repeated or missing (ws, console and state are required) or
// two fields name the same descriptor.
bool ParseHandoverFds(std::string_view value, THandoverFds& fds, std::string& why);

// The variable's value, removed from the environment so that nothing this
// image starts sees it; false when it is not set.
bool TakeHandoverVariable(std::string& value);

// A TCP socket that listens (IPv4 or IPv6); its local port in `port`.
bool CheckListeningSocket(int fd, uint16_t& port, std::string& why);
// A connected TCP socket.
bool CheckConnectedSocket(int fd, std::string& why);
// A listening socket passed across execve, taken into `acceptor` with its
// address family; false with the reason, the descriptor closed, when not.
bool AdoptListener(boost::asio::ip::tcp::acceptor& acceptor, int fd, std::string& why);

// A memfd holding `data`, sealed against every change (shrink, grow,
// write, further seals); -1 with `why` on failure. Close-on-exec until the
// hand-over clears it.
int WriteSealedMemfd(std::string_view data, std::string& why);

// A sealed memfd mapped read-only; unmapped by the destructor.
class TSealedState {
 public:
  TSealedState() = default;
  ~TSealedState();
  TSealedState(const TSealedState&) = delete;
  TSealedState& operator=(const TSealedState&) = delete;
  // False with `why` when `fd` is not a memfd sealed as WriteSealedMemfd
  // seals one, or is larger than `maxBytes`.
  bool Map(int fd, uint64_t maxBytes, std::string& why);
  std::string_view Bytes() const;

 private:
  void* data_ = nullptr;
  size_t size_ = 0;
};

// What crosses execve: exactly `pass` (close-on-exec cleared), `keep` as it
// is (the control program's descriptor, standard streams), and nothing
// else (close-on-exec set on every other descriptor). The destructor puts
// every flag back: a failed execve leaves the process as it was.
class TExecInheritance {
 public:
  TExecInheritance(const std::vector<int>& pass, const std::vector<int>& keep);
  ~TExecInheritance();
  TExecInheritance(const TExecInheritance&) = delete;
  TExecInheritance& operator=(const TExecInheritance&) = delete;
  bool Ok() const { return why_.empty(); }
  const std::string& Why() const { return why_; }

 private:
  std::vector<std::pair<int, int>> changed_;  // descriptor, flags before
  std::string why_;
};

// The signals the gateway handles (TERM, INT, HUP, USR1, USR2, QUIT) are
// blocked across execve: one arriving between the two images would find the
// default action (the end of the process) instead of a handler. The new
// image takes a pending one when its handlers are in place.
void BlockGatewaySignals(sigset_t& before);
void RestoreSignalMask(const sigset_t& before);
void UnblockGatewaySignals();
// Takes `sig` when it is pending (blocked), without delivering it.
bool TakePendingSignal(int sig);

// The path of the running binary as /proc/self/exe names it now (read at
// start-up: after an upgrade it names the new file); empty when unreadable.
std::string SelfExePath();

// execve of `path` with `argv` and this environment plus `variable` (a
// "NAME=value" that replaces any of that name). Returns only on failure,
// with errno's text.
std::string ExecImage(const std::string& path, const std::vector<std::string>& argv,
                      const std::string& variable);
