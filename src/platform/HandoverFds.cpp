#include "platform/HandoverFds.h"

#include <dirent.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <sys/mman.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <climits>
#include <cstdlib>
#include <cstring>

extern char** environ;

namespace {

// A value longer than this is no variable of ours.
constexpr size_t kMaxVariableBytes = 256;
constexpr unsigned kAllSeals = F_SEAL_SHRINK | F_SEAL_GROW | F_SEAL_WRITE | F_SEAL_SEAL;

std::string Errno(const char* what) {
  return std::string(what) + ": " + std::strerror(errno);
}

int SocketOption(int fd, int option) {
  int value = -1;
  socklen_t len = sizeof value;
  if (::getsockopt(fd, SOL_SOCKET, option, &value, &len) != 0) return -1;
  return value;
}

// A TCP socket over IPv4 or IPv6, listening or not as `listening` says.
bool CheckTcpSocket(int fd, bool listening, std::string& why) {
  struct stat st {};
  if (::fstat(fd, &st) != 0) {
    why = "descriptor " + std::to_string(fd) + " is not open";
    return false;
  }
  const int domain = SocketOption(fd, SO_DOMAIN);
  if (!S_ISSOCK(st.st_mode) || SocketOption(fd, SO_TYPE) != SOCK_STREAM ||
      (domain != AF_INET && domain != AF_INET6)) {
    why = "descriptor " + std::to_string(fd) + " is not a TCP socket";
    return false;
  }
  if ((SocketOption(fd, SO_ACCEPTCONN) == 1) != listening) {
    why = "descriptor " + std::to_string(fd) +
          (listening ? " is not a listening socket" : " is a listening socket");
    return false;
  }
  return true;
}

}  // namespace

std::string FormatHandoverFds(const THandoverFds& fds) {
  std::string value = "ws=" + std::to_string(fds.ws) + ",console=" + std::to_string(fds.console);
  if (fds.link >= 0) value += ",link=" + std::to_string(fds.link);
  value += ",state=" + std::to_string(fds.state) + ",stop=" + std::to_string(fds.nStopNs);
  value += ",ok=" + std::to_string(fds.nOk) + ",refused=" + std::to_string(fds.nRefused) +
           ",failed=" + std::to_string(fds.nFailed) + ",pause=" + std::to_string(fds.nPauseNs) +
           ",conn=" + std::to_string(fds.nNextConn) + ",exec=" + std::to_string(fds.nExecNs);
  return value;
}

bool ParseHandoverFds(std::string_view value, THandoverFds& fds, std::string& why) {
  fds = THandoverFds{};
  const auto fail = [&why](std::string text) {
    if (why.empty()) why = std::move(text);
  };
  why.clear();
  if (value.size() > kMaxVariableBytes) {
    why = "the variable is " + std::to_string(value.size()) + " bytes long";
    return false;
  }
  bool seenStop = false;
  while (!value.empty()) {
    const size_t comma = value.find(',');
    const std::string_view field = value.substr(0, comma);
    value = comma == std::string_view::npos ? std::string_view() : value.substr(comma + 1);
    const size_t eq = field.find('=');
    const std::string_view key = field.substr(0, eq);
    const std::string_view text = eq == std::string_view::npos ? "" : field.substr(eq + 1);
    uint64_t number = 0;
    const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), number);
    if (text.empty() || ec != std::errc() || end != text.data() + text.size()) {
      fail("field \"" + std::string(field) + "\" is not name=number");
      continue;
    }
    if (key == "stop") {
      if (seenStop) fail("stop is given twice");
      fds.nStopNs = number;
      seenStop = true;
      continue;
    }
    uint64_t* count = key == "ok"        ? &fds.nOk
                      : key == "refused" ? &fds.nRefused
                      : key == "failed"  ? &fds.nFailed
                      : key == "pause"   ? &fds.nPauseNs
                      : key == "conn"    ? &fds.nNextConn
                      : key == "exec"    ? &fds.nExecNs
                                         : nullptr;
    if (count) {
      *count = number;
      continue;
    }
    int* slot = key == "ws"        ? &fds.ws
                : key == "console" ? &fds.console
                : key == "link"    ? &fds.link
                : key == "state"   ? &fds.state
                                   : nullptr;
    if (!slot) {
      fail("unknown field \"" + std::string(key) + "\"");
      continue;
    }
    // Standard streams are never passed; a number past INT_MAX names nothing.
    if (number < 3 || number > INT_MAX) {
      fail(std::string(key) + "=" + std::string(text) + " names no passed descriptor");
      continue;
    }
    if (*slot >= 0) fail(std::string(key) + " is given twice");
    *slot = static_cast<int>(number);
  }
  if (fds.ws < 0) fail("no ws descriptor");
  if (fds.console < 0) fail("no console descriptor");
  if (fds.state < 0) fail("no state descriptor");
  if (!seenStop) fail("no stop time");
  const int all[] = {fds.ws, fds.console, fds.link, fds.state};
  for (size_t i = 0; i < 4; ++i)
    for (size_t j = i + 1; j < 4; ++j)
      if (all[i] >= 0 && all[i] == all[j]) fail("descriptor " + std::to_string(all[i]) + " twice");
  return why.empty();
}

bool TakeHandoverVariable(std::string& value) {
  const char* set = std::getenv(kHandoverVariable);
  if (!set) return false;
  value = set;
  ::unsetenv(kHandoverVariable);
  return true;
}

bool CheckListeningSocket(int fd, uint16_t& port, std::string& why) {
  if (!CheckTcpSocket(fd, true, why)) return false;
  sockaddr_storage local{};
  socklen_t len = sizeof local;
  if (::getsockname(fd, reinterpret_cast<sockaddr*>(&local), &len) != 0) {
    why = Errno("getsockname");
    return false;
  }
  port = ntohs(local.ss_family == AF_INET6 ? reinterpret_cast<sockaddr_in6&>(local).sin6_port
                                           : reinterpret_cast<sockaddr_in&>(local).sin_port);
  return true;
}

bool CheckConnectedSocket(int fd, std::string& why) {
  if (!CheckTcpSocket(fd, false, why)) return false;
  sockaddr_storage peer{};
  socklen_t len = sizeof peer;
  if (::getpeername(fd, reinterpret_cast<sockaddr*>(&peer), &len) != 0) {
    why = "descriptor " + std::to_string(fd) + " is not connected";
    return false;
  }
  return true;
}

bool AdoptListener(boost::asio::ip::tcp::acceptor& acceptor, int fd, std::string& why) {
  using tcp = boost::asio::ip::tcp;
  sockaddr_storage local{};
  socklen_t len = sizeof local;
  if (::getsockname(fd, reinterpret_cast<sockaddr*>(&local), &len) != 0) {
    why = std::strerror(errno);
    ::close(fd);
    return false;
  }
  boost::system::error_code ec;
  acceptor.assign(local.ss_family == AF_INET6 ? tcp::v6() : tcp::v4(), fd, ec);
  if (ec) {
    why = ec.message();
    ::close(fd);
    return false;
  }
  return true;
}

int WriteSealedMemfd(std::string_view data, std::string& why) {
  const int fd = ::memfd_create("tavrel-handover", MFD_CLOEXEC | MFD_ALLOW_SEALING);
  if (fd < 0) {
    why = Errno("memfd_create");
    return -1;
  }
  size_t done = 0;
  while (done < data.size()) {
    const ssize_t n = ::write(fd, data.data() + done, data.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      why = Errno("write to the memfd");
      ::close(fd);
      return -1;
    }
    done += static_cast<size_t>(n);
  }
  if (::fcntl(fd, F_ADD_SEALS, kAllSeals) != 0) {
    why = Errno("sealing the memfd");
    ::close(fd);
    return -1;
  }
  return fd;
}

TSealedState::~TSealedState() {
  if (data_) ::munmap(data_, size_);
}

bool TSealedState::Map(int fd, uint64_t maxBytes, std::string& why) {
  struct stat st {};
  if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
    why = "descriptor " + std::to_string(fd) + " is not a memfd";
    return false;
  }
  // Only a memfd (or shared memory) has seals; without all of them the old
  // image, or anyone holding the descriptor, could still change the bytes.
  const int seals = ::fcntl(fd, F_GET_SEALS);
  if (seals < 0 || (static_cast<unsigned>(seals) & kAllSeals) != kAllSeals) {
    why = "descriptor " + std::to_string(fd) + " is not a sealed memfd";
    return false;
  }
  if (st.st_size <= 0 || static_cast<uint64_t>(st.st_size) > maxBytes) {
    why = "the state is " + std::to_string(st.st_size) + " bytes long";
    return false;
  }
  void* data = ::mmap(nullptr, static_cast<size_t>(st.st_size), PROT_READ, MAP_PRIVATE, fd, 0);
  if (data == MAP_FAILED) {
    why = Errno("mapping the state");
    return false;
  }
  if (data_) ::munmap(data_, size_);
  data_ = data;
  size_ = static_cast<size_t>(st.st_size);
  return true;
}

std::string_view TSealedState::Bytes() const {
  return data_ ? std::string_view(static_cast<const char*>(data_), size_) : std::string_view();
}

TExecInheritance::TExecInheritance(const std::vector<int>& pass, const std::vector<int>& keep) {
  // Asio opens its sockets without close-on-exec: every client's socket
  // would otherwise live on, unseen, in the new image.
  std::vector<int> open;
  if (DIR* dir = ::opendir("/proc/self/fd")) {
    const int own = ::dirfd(dir);
    while (const dirent* entry = ::readdir(dir)) {
      char* end = nullptr;
      const long fd = std::strtol(entry->d_name, &end, 10);
      if (end == entry->d_name || *end != '\0' || fd == own) continue;
      open.push_back(static_cast<int>(fd));
    }
    ::closedir(dir);
  } else {
    why_ = Errno("listing /proc/self/fd");
    return;
  }
  for (const int fd : open) {
    if (fd <= 2 || std::find(keep.begin(), keep.end(), fd) != keep.end()) continue;
    const int flags = ::fcntl(fd, F_GETFD);
    if (flags < 0) continue;  // closed meanwhile
    const bool passed = std::find(pass.begin(), pass.end(), fd) != pass.end();
    const int want = passed ? flags & ~FD_CLOEXEC : flags | FD_CLOEXEC;
    if (want == flags) continue;
    if (::fcntl(fd, F_SETFD, want) != 0) {
      if (why_.empty()) why_ = Errno("fcntl(F_SETFD)");
      continue;
    }
    changed_.emplace_back(fd, flags);
  }
  for (const int fd : pass) {
    if (::fcntl(fd, F_GETFD) < 0 && why_.empty())
      why_ = "descriptor " + std::to_string(fd) + " to pass is not open";
  }
}

TExecInheritance::~TExecInheritance() {
  for (const auto& [fd, flags] : changed_) ::fcntl(fd, F_SETFD, flags);
}

namespace {
sigset_t GatewaySignals() {
  sigset_t set;
  sigemptyset(&set);
  for (const int sig : {SIGTERM, SIGINT, SIGHUP, SIGUSR1, SIGUSR2, SIGQUIT}) sigaddset(&set, sig);
  return set;
}
}  // namespace

void BlockGatewaySignals(sigset_t& before) {
  const sigset_t set = GatewaySignals();
  ::sigprocmask(SIG_BLOCK, &set, &before);
}

void RestoreSignalMask(const sigset_t& before) {
  ::sigprocmask(SIG_SETMASK, &before, nullptr);
}

void UnblockGatewaySignals() {
  const sigset_t set = GatewaySignals();
  ::sigprocmask(SIG_UNBLOCK, &set, nullptr);
}

bool TakePendingSignal(int sig) {
  sigset_t pending;
  sigemptyset(&pending);
  if (::sigpending(&pending) != 0 || sigismember(&pending, sig) != 1) return false;
  sigset_t one;
  sigemptyset(&one);
  sigaddset(&one, sig);
  const timespec now{0, 0};
  return ::sigtimedwait(&one, nullptr, &now) == sig;
}

std::string SelfExePath() {
  char path[PATH_MAX];
  const ssize_t n = ::readlink("/proc/self/exe", path, sizeof path - 1);
  if (n <= 0) return {};
  return std::string(path, static_cast<size_t>(n));
}

std::string ExecImage(const std::string& path, const std::vector<std::string>& argv,
                      const std::string& variable) {
  const std::string_view name = std::string_view(variable).substr(0, variable.find('=') + 1);
  std::vector<char*> args;
  args.reserve(argv.size() + 1);
  for (const std::string& arg : argv) args.push_back(const_cast<char*>(arg.c_str()));
  args.push_back(nullptr);
  std::vector<char*> env;
  for (char** e = environ; e && *e; ++e) {
    if (!std::string_view(*e).starts_with(name)) env.push_back(*e);
  }
  env.push_back(const_cast<char*>(variable.c_str()));
  env.push_back(nullptr);
  ::execve(path.c_str(), args.data(), env.data());
  return std::strerror(errno);
}
