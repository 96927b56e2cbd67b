#include "testkit/Process.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <fstream>
#include <random>
#include <stdexcept>

namespace testkit {

using namespace std::chrono_literals;

Process::Process(const std::string& Program, const std::vector<std::string>& Args,
                 const std::string& Cwd, int KeepFd)
    : Process(Program, Args, ProcessOptions{Cwd, {}, KeepFd, {}}) {}

Process::Process(const std::string& Program, const std::vector<std::string>& Args,
                 ProcessOptions Opts) {
  int in[2], out[2];
  if (pipe2(in, O_CLOEXEC) != 0 || pipe2(out, O_CLOEXEC) != 0) throw std::runtime_error("pipe");
  const int file = Opts.OutputFile.empty() ? -1
                                           : open(Opts.OutputFile.c_str(),
                                                  O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  // Built before the fork: the child only calls what is safe there.
  std::vector<char*> argv{const_cast<char*>(Program.c_str())};
  for (auto& a : Args) argv.push_back(const_cast<char*>(a.c_str()));
  argv.push_back(nullptr);
  std::vector<char*> envp;
  for (char** e = environ; *e; ++e) envp.push_back(*e);
  for (auto& e : Opts.Env) envp.push_back(const_cast<char*>(e.c_str()));
  envp.push_back(nullptr);
  pid_ = fork();
  if (pid_ == 0) {
    const int to = file >= 0 ? file : out[1];
    dup2(in[0], 0);
    dup2(to, 1);
    dup2(to, 2);
    if (Opts.KeepFd >= 0) fcntl(Opts.KeepFd, F_SETFD, 0);
    if (chdir(Opts.Cwd.c_str()) != 0) _exit(127);
    execve(Program.c_str(), argv.data(), envp.data());
    _exit(127);
  }
  if (file >= 0) close(file);
  close(in[0]);
  close(out[1]);
  stdin_ = in[1];
  stdout_ = out[0];
  if (pid_ < 0) throw std::runtime_error("fork");
  reader_ = std::thread([this] { ReadLoop(stdout_); });
}

Process::~Process() {
  if (!exited_) Stop(SIGKILL, 5s);
  if (stdin_ >= 0) close(stdin_);
  if (reader_.joinable()) reader_.join();
  close(stdout_);
}

void Process::ReadLoop(int Fd) {
  std::string partial;
  char buf[4096];
  for (;;) {
    const ssize_t n = read(Fd, buf, sizeof buf);
    if (n <= 0) break;
    partial.append(buf, static_cast<size_t>(n));
    size_t nl;
    std::lock_guard<std::mutex> lock(mutex_);
    while ((nl = partial.find('\n')) != std::string::npos) {
      lines_.push_back(partial.substr(0, nl));
      partial.erase(0, nl + 1);
    }
    cv_.notify_all();
  }
  std::lock_guard<std::mutex> lock(mutex_);
  if (!partial.empty()) lines_.push_back(partial);
  drained_ = true;
  cv_.notify_all();
}

int Process::WaitForLine(const std::string& Text, std::chrono::milliseconds Timeout, size_t From) {
  std::unique_lock<std::mutex> lock(mutex_);
  int found = -1;
  cv_.wait_for(lock, Timeout, [&] {
    for (size_t i = From; i < lines_.size(); ++i)
      if (lines_[i].find(Text) != std::string::npos) {
        found = static_cast<int>(i);
        return true;
      }
    return false;
  });
  return found;
}

bool Process::WaitForPort(uint16_t Port, std::chrono::milliseconds Timeout) {
  const auto deadline = std::chrono::steady_clock::now() + Timeout;
  do {
    const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    addr.sin_port = htons(Port);
    const bool up = connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0;
    close(fd);
    if (up) return true;
    std::this_thread::sleep_for(20ms);
  } while (std::chrono::steady_clock::now() < deadline && !WaitExit(0ms));
  return false;
}

std::vector<std::string> Process::Lines() {
  std::lock_guard<std::mutex> lock(mutex_);
  return lines_;
}

size_t Process::LineCount() {
  std::lock_guard<std::mutex> lock(mutex_);
  return lines_.size();
}

void Process::WriteLine(const std::string& Line) {
  const std::string l = Line + "\n";
  if (write(stdin_, l.data(), l.size()) < 0) {
  }
}

void Process::Signal(int Sig) {
  if (!exited_) kill(pid_, Sig);
}

std::optional<int> Process::WaitExit(std::chrono::milliseconds Timeout) {
  const auto deadline = std::chrono::steady_clock::now() + Timeout;
  while (!exited_) {
    int status = 0;
    if (waitpid(pid_, &status, WNOHANG) == pid_) {
      exited_ = true;
      status_ = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
      break;
    }
    if (std::chrono::steady_clock::now() >= deadline) return std::nullopt;
    std::this_thread::sleep_for(5ms);
  }
  // The reader thread may still hold the last lines the program wrote. A
  // child it left behind keeps the pipe open, hence the bound.
  std::unique_lock<std::mutex> lock(mutex_);
  cv_.wait_until(lock, std::max(deadline, std::chrono::steady_clock::now() + 1s),
                 [this] { return drained_; });
  return status_;
}

int Process::Stop(int Sig, std::chrono::milliseconds Timeout) {
  Signal(Sig);
  if (auto status = WaitExit(Timeout)) return *status;
  Signal(SIGKILL);
  return WaitExit(5s).value_or(-1);
}

namespace {

// Binds 127.0.0.1:Port (0: any) and returns the port bound, 0 on failure.
uint16_t BindLoopback(uint16_t Port) {
  const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return 0;
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  addr.sin_port = htons(Port);
  socklen_t len = sizeof addr;
  const bool bound = bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0 &&
                     getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &len) == 0;
  close(fd);
  return bound ? ntohs(addr.sin_port) : 0;
}

}  // namespace

uint16_t FreePort() {
  // Below the range the kernel hands out to outgoing connections: a port
  // from it could be taken by another client socket before the server it
  // was chosen for listens on it.
  static std::mt19937 random(std::random_device{}());
  int low = 32768;
  if (std::ifstream range("/proc/sys/net/ipv4/ip_local_port_range"); range) range >> low;
  const int from = std::max(1024, low - 12000);
  for (int attempt = 0; attempt < 50 && from < low - 1; ++attempt) {
    const int port = std::uniform_int_distribution<int>(from, low - 1)(random);
    if (BindLoopback(static_cast<uint16_t>(port)) != 0) return static_cast<uint16_t>(port);
  }
  return BindLoopback(0);
}

int64_t ResidentKb(pid_t Pid) {
  std::ifstream in("/proc/" + std::to_string(Pid) + "/status");
  for (std::string line; std::getline(in, line);)
    if (line.rfind("VmRSS:", 0) == 0) return std::stoll(line.substr(6));
  return 0;
}

}  // namespace testkit
