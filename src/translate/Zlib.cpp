#include "translate/Zlib.h"

#include <stdexcept>

#include <zlib.h>

namespace {

class TDeflater {
 public:
  TDeflater() {
    if (deflateInit(&stream_, Z_DEFAULT_COMPRESSION) != Z_OK)
      throw std::runtime_error("deflateInit failed");
  }
  ~TDeflater() { deflateEnd(&stream_); }
  TDeflater(const TDeflater&) = delete;
  TDeflater& operator=(const TDeflater&) = delete;

  std::string Compress(std::string_view data) {
    if (deflateReset(&stream_) != Z_OK) throw std::runtime_error("deflateReset failed");
    std::string out(deflateBound(&stream_, data.size()), '\0');
    stream_.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(data.data()));
    stream_.avail_in = static_cast<uInt>(data.size());
    stream_.next_out = reinterpret_cast<Bytef*>(out.data());
    stream_.avail_out = static_cast<uInt>(out.size());
    if (deflate(&stream_, Z_FINISH) != Z_STREAM_END) throw std::runtime_error("deflate failed");
    out.resize(stream_.total_out);
    return out;
  }

 private:
  z_stream stream_{};
};

}  // namespace

std::string ZlibCompress(std::string_view data) {
  thread_local TDeflater deflater;
  return deflater.Compress(data);
}

std::string ZlibDecompress(std::string_view data, size_t limit) {
  z_stream stream{};
  if (inflateInit(&stream) != Z_OK) throw std::runtime_error("inflateInit failed");
  stream.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(data.data()));
  stream.avail_in = static_cast<uInt>(data.size());
  std::string out;
  char chunk[16384];
  int rc = Z_OK;
  while (rc != Z_STREAM_END) {
    stream.next_out = reinterpret_cast<Bytef*>(chunk);
    stream.avail_out = sizeof chunk;
    rc = inflate(&stream, Z_NO_FLUSH);
    if (rc != Z_OK && rc != Z_STREAM_END) {
      inflateEnd(&stream);
      throw std::runtime_error("corrupt zlib stream");
    }
    out.append(chunk, sizeof chunk - stream.avail_out);
    if (out.size() > limit || (rc == Z_OK && stream.avail_in == 0 && stream.avail_out != 0)) {
      inflateEnd(&stream);
      throw std::runtime_error(out.size() > limit ? "inflated body too large"
                                                  : "truncated zlib stream");
    }
  }
  inflateEnd(&stream);
  return out;
}
