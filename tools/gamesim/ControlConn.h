// A control connection of the test game server: command lines in, replies
// out, one write in flight with a queue behind it. Also the line reading
// that stdin shares. Runs on the server's io_context; each pending handler
// keeps the connection alive.
#pragma once

#include <cstddef>
#include <deque>
#include <functional>
#include <memory>
#include <string>

#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/streambuf.hpp>

namespace gamesim {

// A command line longer than this ends its source.
constexpr size_t kMaxLineBytes = 1u << 20;

// The first Size bytes of Buf as a line without its end of line, consumed.
std::string TakeLine(boost::asio::streambuf& Buf, size_t Size);

class ControlConn : public std::enable_shared_from_this<ControlConn> {
 public:
  explicit ControlConn(boost::asio::ip::tcp::socket Socket);

  // Reads lines until the peer goes, handing each to OnLine.
  void Start(std::function<void(std::string)> OnLine);
  void Send(const std::string& Line);
  void Close();

 private:
  void DoRead();
  void DoWrite();

  boost::asio::ip::tcp::socket socket_;
  boost::asio::streambuf buf_;
  std::deque<std::string> out_;
  std::function<void(std::string)> onLine_;
};

}  // namespace gamesim
