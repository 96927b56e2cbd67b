#include "platform/SystemdNotify.h"

#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstddef>
#include <cstdlib>
#include <cstring>

namespace {

// The address `name` stands for, or false when it names none we send to. A
// name too long for sun_path is refused rather than cut, since the cut name
// could be someone else's socket.
bool NotifyAddress(const char* name, sockaddr_un& addr, socklen_t& length) {
  addr = {};
  addr.sun_family = AF_UNIX;
  const size_t room = sizeof addr.sun_path;
  const size_t size = strnlen(name, room + 1);
  if (size < 2 || size > room) return false;
  if (name[0] == '/') {
    if (size == room) return false;  // no room left for the terminating zero
    std::memcpy(addr.sun_path, name, size);
    length = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + size + 1);
    return true;
  }
  if (name[0] == '@') {
    // Abstract: a leading zero byte, then the name without its '@' and
    // without a terminator; the length says where it ends.
    std::memcpy(addr.sun_path + 1, name + 1, size - 1);
    length = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + size);
    return true;
  }
  return false;
}

}  // namespace

bool SdNotifyTo(const char* socketName, std::string_view state) {
  if (!socketName || state.empty()) return false;
  sockaddr_un addr;
  socklen_t length = 0;
  if (!NotifyAddress(socketName, addr, length)) return false;
  const int fd = ::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
  if (fd < 0) return false;
  const ssize_t sent = ::sendto(fd, state.data(), state.size(), MSG_NOSIGNAL | MSG_DONTWAIT,
                                reinterpret_cast<const sockaddr*>(&addr), length);
  ::close(fd);
  return sent == static_cast<ssize_t>(state.size());
}

bool SdNotify(std::string_view state) {
  return SdNotifyTo(std::getenv("NOTIFY_SOCKET"), state);
}
