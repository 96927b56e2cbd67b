// The browser client's view of what the gateway sends: the binary WebSocket
// messages form one byte stream of client messages, each either a text line
// "#" text "!" or a 48-character 6-bit TDefaultMessage followed by nLength
// body bytes, zlib-compressed when nIsZlib is 1. TClientStream cuts that
// stream and inflates compressed bodies (or, built without an inflater,
// hands them on as sent); DecodeText 6-bit decodes the bodies that carry
// text. No sockets; one instance per connection, one thread.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include <zlib.h>

#include "protocol/Grobal2.h"

namespace loadgen {

// One zlib inflate stream reused for every body (setting one up costs more
// than inflating a small body). Shared by all connections of a thread.
class TInflater {
 public:
  TInflater();
  ~TInflater();
  TInflater(const TInflater&) = delete;
  TInflater& operator=(const TInflater&) = delete;

  // Inflates a whole zlib stream into Out; false when it is corrupt, cut
  // short or larger than Limit.
  bool Inflate(std::string_view In, std::string& Out, size_t Limit);

 private:
  z_stream zs_{};
};

struct TClientMessage {
  bool IsText = false;
  std::string_view Text;   // text line without "#" and "!"
  TDefaultMessage Header;  // messages only
  std::string_view Body;   // inflated when the header says so and the stream inflates
  bool Inflated = false;
};

// Whether the body of a message with this ident is 6-bit text (JSON or a
// string) rather than bytes passed through.
bool IsEncodedBody(int32_t Ident);

class TClientStream {
 public:
  // A message whose announced body is larger than this breaks the stream.
  static constexpr size_t kMaxBody = 16u << 20;
  // A text line without its "!" after this many bytes breaks the stream.
  static constexpr size_t kMaxTextLine = 1u << 20;

  explicit TClientStream(TInflater& Inflater) : inflater_(&Inflater) {}
  // Compressed bodies are handed on as sent.
  TClientStream() = default;

  // Appends the bytes of one binary message and hands every complete client
  // message to OnMessage (its views are valid during the call only).
  template <typename F>
  void Feed(std::string_view Bytes, F&& OnMessage) {
    buf_.append(Bytes);
    TClientMessage msg;
    while (Next(msg)) OnMessage(msg);
    Compact();
  }

  // Bytes held for a message not yet complete.
  size_t Buffered() const { return buf_.size() - start_; }
  // Broken framing or failed inflates; the held bytes are dropped on each.
  uint64_t Errors() const { return errors_; }

 private:
  bool Next(TClientMessage& Out);
  void Compact();
  void Fail();

  TInflater* inflater_ = nullptr;
  std::string buf_;
  size_t start_ = 0;
  std::string inflated_;
  uint64_t errors_ = 0;
};

// 6-bit text to bytes, up to the first zero byte (the form of a decoded
// string body), into a reused buffer.
std::string_view DecodeText(std::string_view Encoded, std::string& Scratch);

}  // namespace loadgen
