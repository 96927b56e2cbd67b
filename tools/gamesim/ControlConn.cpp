#include "gamesim/ControlConn.h"

#include <boost/asio/read_until.hpp>
#include <boost/asio/write.hpp>

namespace gamesim {

namespace asio = boost::asio;

std::string TakeLine(asio::streambuf& Buf, size_t Size) {
  std::string line(asio::buffers_begin(Buf.data()), asio::buffers_begin(Buf.data()) + Size);
  Buf.consume(Size);
  while (!line.empty() && (line.back() == '\n' || line.back() == '\r')) line.pop_back();
  return line;
}

ControlConn::ControlConn(asio::ip::tcp::socket Socket)
    : socket_(std::move(Socket)), buf_(kMaxLineBytes) {}

void ControlConn::Start(std::function<void(std::string)> OnLine) {
  onLine_ = std::move(OnLine);
  DoRead();
}

void ControlConn::Send(const std::string& Line) {
  if (!socket_.is_open()) return;
  out_.push_back(Line + "\n");
  if (out_.size() == 1) DoWrite();
}

void ControlConn::Close() {
  boost::system::error_code ec;
  socket_.close(ec);
}

void ControlConn::DoRead() {
  asio::async_read_until(socket_, buf_, '\n',
                         [self = shared_from_this()](boost::system::error_code ec, size_t n) {
                           if (ec) {
                             self->Close();
                             return;
                           }
                           self->onLine_(TakeLine(self->buf_, n));
                           self->DoRead();
                         });
}

void ControlConn::DoWrite() {
  asio::async_write(socket_, asio::buffer(out_.front()),
                    [self = shared_from_this()](boost::system::error_code ec, size_t) {
                      if (ec) {
                        self->Close();
                        return;
                      }
                      self->out_.pop_front();
                      if (!self->out_.empty()) self->DoWrite();
                    });
}

}  // namespace gamesim
