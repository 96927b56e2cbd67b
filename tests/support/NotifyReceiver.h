// The service manager's side of the notification socket for tests: a
// Unix-domain datagram socket bound to a path or, for a name beginning with
// '@', an abstract name, whose messages are read with a deadline. Header only,
// like TempDir.h.
#pragma once

#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <chrono>
#include <cstddef>
#include <cstring>
#include <optional>
#include <string>

class TNotifyReceiver {
 public:
  // `name` as NOTIFY_SOCKET would carry it. Bound() tells whether it worked.
  explicit TNotifyReceiver(const std::string& name) : name_(name) {
    fd_ = ::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    // A path needs room for its terminating zero; an abstract name has none.
    const size_t longest = sizeof addr.sun_path - (name.starts_with('@') ? 0 : 1);
    if (fd_ < 0 || name.size() < 2 || name.size() > longest) return;
    std::memcpy(addr.sun_path, name.data(), name.size());
    socklen_t length = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + name.size() + 1);
    if (name[0] == '@') {
      addr.sun_path[0] = '\0';
      length = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + name.size());
    }
    bound_ = ::bind(fd_, reinterpret_cast<const sockaddr*>(&addr), length) == 0;
  }
  ~TNotifyReceiver() {
    if (fd_ >= 0) ::close(fd_);
    if (bound_ && name_[0] == '/') ::unlink(name_.c_str());
  }
  TNotifyReceiver(const TNotifyReceiver&) = delete;
  TNotifyReceiver& operator=(const TNotifyReceiver&) = delete;

  bool Bound() const { return bound_; }
  // The next message, or nullopt when none came within `timeout`.
  std::optional<std::string> Receive(std::chrono::milliseconds timeout) {
    pollfd p{fd_, POLLIN, 0};
    if (::poll(&p, 1, static_cast<int>(timeout.count())) != 1) return std::nullopt;
    char buf[4096];
    const ssize_t n = ::recv(fd_, buf, sizeof buf, MSG_DONTWAIT);
    if (n < 0) return std::nullopt;
    return std::string(buf, static_cast<size_t>(n));
  }
  // Closes the socket, so that a sender waiting on it (which it must never do) gives up.
  void Close() {
    if (fd_ >= 0) ::close(fd_);
    fd_ = -1;
  }

 private:
  std::string name_;
  int fd_ = -1;
  bool bound_ = false;
};
