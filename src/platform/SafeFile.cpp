#include "platform/SafeFile.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <climits>
#include <cstring>
#include <filesystem>

namespace {

// Why a stat result cannot be read as a settings-sized file; empty when it can.
std::string WhyNotRegular(const struct stat& st, size_t maxBytes) {
  if (S_ISDIR(st.st_mode)) return "is a directory";
  if (!S_ISREG(st.st_mode)) return "is not a regular file";
  if (static_cast<unsigned long long>(st.st_size) > maxBytes)
    return "is larger than " + std::to_string(maxBytes) + " bytes";
  return {};
}

TFileRead Refused(std::string why) {
  return TFileRead{EFileRead::Refused, {}, std::move(why)};
}

std::string ErrnoText(const char* what, int error) {
  return std::string(what) + ": " + std::strerror(error);
}

class TFd {
 public:
  explicit TFd(int fd) : fd_(fd) {}
  ~TFd() {
    if (fd_ >= 0) ::close(fd_);
  }
  TFd(const TFd&) = delete;
  TFd& operator=(const TFd&) = delete;
  int Get() const { return fd_; }
  // Closes now, so that a failing close can be told apart.
  bool Close() {
    const int fd = fd_;
    fd_ = -1;
    return fd < 0 || ::close(fd) == 0;
  }

 private:
  int fd_;
};

// The path a write must replace: symbolic links followed to the file they end at (which may not
// exist yet). Empty when the links go round.
std::string FinalTarget(std::string path) {
  namespace fs = std::filesystem;
  for (int hops = 0; hops < 40; ++hops) {
    char buf[PATH_MAX];
    const ssize_t n = ::readlink(path.c_str(), buf, sizeof buf);
    if (n < 0 || static_cast<size_t>(n) >= sizeof buf) return path;
    const fs::path target(std::string(buf, static_cast<size_t>(n)));
    path =
        target.is_absolute() ? target.string() : (fs::path(path).parent_path() / target).string();
  }
  return {};
}

bool WriteAll(int fd, std::string_view content) {
  while (!content.empty()) {
    const ssize_t n = ::write(fd, content.data(), content.size());
    if (n < 0 && errno == EINTR) continue;
    if (n == 0) errno = EIO;
    if (n <= 0) return false;
    content.remove_prefix(static_cast<size_t>(n));
  }
  return true;
}

}  // namespace

TFileRead ReadRegularFile(const std::string& path, size_t maxBytes) {
  struct stat st {};
  if (::stat(path.c_str(), &st) != 0) {
    if (errno == ENOENT) return {};
    return Refused(ErrnoText("cannot be read", errno));
  }
  // A FIFO or a device is never opened: an open could wait for a writer.
  if (std::string why = WhyNotRegular(st, maxBytes); !why.empty()) return Refused(std::move(why));
  TFd fd(::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC));
  if (fd.Get() < 0) {
    if (errno == ENOENT) return {};
    return Refused(ErrnoText("cannot be read", errno));
  }
  // The path may have changed between the stat and the open.
  if (::fstat(fd.Get(), &st) != 0) return Refused(ErrnoText("cannot be read", errno));
  if (std::string why = WhyNotRegular(st, maxBytes); !why.empty()) return Refused(std::move(why));
  TFileRead result{EFileRead::Ok, {}, {}};
  // One byte past the size tells a file that grew since the fstat; it may grow to the limit
  // and one byte past it, which tells a file too large.
  std::string& content = result.sContent;
  content.resize(static_cast<size_t>(st.st_size) + 1);
  size_t done = 0;
  while (done < content.size()) {
    const ssize_t n = ::read(fd.Get(), content.data() + done, content.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return Refused(ErrnoText("cannot be read", errno));
    if (n == 0) break;
    done += static_cast<size_t>(n);
    if (done == content.size() && done <= maxBytes) content.resize(maxBytes + 1);
  }
  if (done > maxBytes) return Refused("is larger than " + std::to_string(maxBytes) + " bytes");
  content.resize(done);
  return result;
}

namespace {

// What ReplaceFile checks before it writes anything: the file it replaces, its stat when it
// exists, and why it may not.
struct TReplaceTarget {
  std::string path;
  bool exists = false;
  struct stat st {};
  std::string why;
};

TReplaceTarget ExamineTarget(const std::string& path) {
  TReplaceTarget t;
  t.path = FinalTarget(path);
  if (t.path.empty()) {
    t.why = "cannot be written: too many levels of symbolic links";
    return t;
  }
  t.exists = ::stat(t.path.c_str(), &t.st) == 0;
  if (!t.exists && errno != ENOENT) {
    t.why = ErrnoText("cannot be written", errno);
  } else if (t.exists && !S_ISREG(t.st.st_mode)) {
    t.why = "is not a regular file";
  } else if (t.exists && ::access(t.path.c_str(), W_OK) != 0) {
    // The directory alone would allow the rename; a read-only file is the operator's word.
    t.why = ErrnoText("cannot be written", errno);
  }
  return t;
}

}  // namespace

std::string WhyNotReplaceable(const std::string& path) {
  const TReplaceTarget t = ExamineTarget(path);
  if (!t.why.empty()) return t.why;
  std::filesystem::path dir = std::filesystem::path(t.path).parent_path();
  if (dir.empty()) dir = std::filesystem::path(".");
  if (::access(dir.c_str(), W_OK | X_OK) != 0)
    return ErrnoText("cannot be written: its directory", errno);
  return {};
}

std::string ReplaceFile(const std::string& path, std::string_view content) {
  namespace fs = std::filesystem;
  const TReplaceTarget t = ExamineTarget(path);
  if (!t.why.empty()) return t.why;
  const std::string& target = t.path;
  const bool exists = t.exists;
  const struct stat& st = t.st;

  static std::atomic<unsigned> serial{0};
  const fs::path at(target);
  // Hidden, and named after the file and the process, for whoever finds one after a crash.
  std::string stem = (at.parent_path() / ".").string();
  stem.append(at.filename().string()).append(".").append(std::to_string(::getpid())).append(".");
  std::string temp;
  int raw = -1;
  for (int attempt = 0; attempt < 16 && raw < 0; ++attempt) {
    temp = stem + std::to_string(serial++) + ".tmp";
    raw = ::open(temp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, exists ? 0600 : 0644);
    if (raw < 0 && errno != EEXIST) break;
  }
  if (raw < 0) return ErrnoText("cannot create a file beside it", errno);
  TFd fd(raw);
  int error = 0;
  const auto fail = [&error](int e) {
    if (error == 0) error = e != 0 ? e : EIO;
  };
  if (exists) {
    if (::fchmod(fd.Get(), st.st_mode & 07777) != 0) fail(errno);
    // Only a privileged process may give the file back to its owner; others keep theirs.
    if (st.st_uid != ::geteuid() || st.st_gid != ::getegid()) {
      [[maybe_unused]] const bool given = ::fchown(fd.Get(), st.st_uid, st.st_gid) == 0;
    }
  }
  if (error == 0 && !WriteAll(fd.Get(), content)) fail(errno);
  if (error == 0 && ::fsync(fd.Get()) != 0) fail(errno);
  if (!fd.Close()) fail(errno);
  if (error == 0 && ::rename(temp.c_str(), target.c_str()) != 0) fail(errno);
  if (error != 0) {
    ::unlink(temp.c_str());
    return ErrnoText("cannot be written", error);
  }
  // The rename itself survives a crash once the directory is synced.
  const std::string dir = at.parent_path().empty() ? "." : at.parent_path().string();
  if (TFd d(::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC)); d.Get() >= 0)
    ::fsync(d.Get());
  return {};
}
