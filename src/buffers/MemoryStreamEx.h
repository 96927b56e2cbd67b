// A byte stream in one block of memory that grows in 8192-byte steps, used as
// an outbound queue: each session's BufferStream and the engine's ServerBuffer.
// The stream owns its block and has no lock; one thread uses it at a time.
//
// As a queue:  | sent      | unsent (waiting)  | stale, kept |    spare     |
//              0       Length()          Position()       Size()     Capacity()
//
// Appends write at Position(); a send step takes bytes from Length() and adds
// what it took to Length(); once everything is sent both rewind to 0 and the
// block is reused, or released when Size() has passed a threshold.
//
// A growth that cannot be had throws (out of memory: EStreamError "Out of
// memory while expanding memory streamex"; beyond MaxSize():
// std::length_error) and leaves block, capacity, size and position as they were.
#pragma once

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <iosfwd>
#include <stdexcept>
#include <string>
#include <string_view>

#include "buffers/SocketBuffers.h"
#include "platform/SharedBytes.h"

class EStreamError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// Seek origins.
constexpr int soFromBeginning = 0;
constexpr int soFromCurrent = 1;
constexpr int soFromEnd = 2;

// The reading half over a block of memory; the block belongs to the derived stream.
class TCustomMemoryStreamEx {
 public:
  virtual ~TCustomMemoryStreamEx();
  TCustomMemoryStreamEx(const TCustomMemoryStreamEx&) = delete;
  TCustomMemoryStreamEx& operator=(const TCustomMemoryStreamEx&) = delete;

  // Read only: the content may be bytes shared with other streams.
  const char* Memory() const { return FShared ? FShared->data() : FMemory.get(); }
  int64_t Size() const { return FSize; }
  // The position may lie outside 0 .. Size(); nothing clamps it.
  int64_t Position() const { return FPosition; }
  void SetPosition(int64_t Pos) { FPosition = Pos; }

  // Copies up to Count bytes from Position() and advances by the number copied.
  int64_t Read(void* Buffer, int64_t Count);
  // Origin soFromBeginning, soFromCurrent or soFromEnd; any other leaves the
  // position. Returns the new position.
  int64_t Seek(int64_t Offset, int Origin);
  // The whole content, whatever the position.
  void SaveToStream(std::ostream& Stream) const;
  void SaveToFile(const std::string& FileName) const;

 protected:
  TCustomMemoryStreamEx();

  TBufferPtr FMemory;
  // Content adopted from elsewhere (TMemoryStreamEx::Adopt) in place of FMemory's.
  TSharedBytes FShared;
  int64_t FSize = 0;
  int64_t FPosition = 0;
};

class TMemoryStreamEx : public TCustomMemoryStreamEx {
 public:
  static constexpr int64_t kBlockSize = 8192;
  // The largest multiple of the block size that a 32-bit size holds.
  static constexpr int64_t kMaxCapacity = 0x7FFFE000;

  TMemoryStreamEx();
  ~TMemoryStreamEx() override;

  // Writes Count bytes at Position() (growing Size() and the block as needed)
  // and returns Count; 0 for a negative position or count. Buffer may point
  // into the stream's own block.
  int64_t Write(const void* Buffer, int64_t Count) {
    if (Count > 0 && !FShared && FPosition >= 0 && FPosition <= FSize &&
        Count <= FCapacity - FPosition) {
      std::memmove(FMemory.get() + FPosition, Buffer, static_cast<size_t>(Count));
      FPosition += Count;
      if (FPosition > FSize) FSize = FPosition;
      return Count;
    }
    return WriteSlow(static_cast<const char*>(Buffer), Count);
  }
  int64_t Write(std::string_view s) { return Write(s.data(), static_cast<int64_t>(s.size())); }

  // Content becomes NewSize bytes (new bytes zero); a position beyond moves to the new end.
  void SetSize(int64_t NewSize);
  int64_t Capacity() const { return FCapacity; }
  void SetCapacity(int64_t NewCapacity);
  // The users' sent-length counter; the stream only zeroes it in Clear.
  int64_t Length() const { return FLength; }
  void SetLength(int64_t n) { FLength = n; }
  // Largest capacity the stream may grow to (a cap for queues that outside
  // parties fill); kMaxCapacity unless lowered; kept a multiple of 8192.
  int64_t MaxSize() const { return FMaxSize; }
  void SetMaxSize(int64_t n);

  // Releases the block; size, position and Length() become 0.
  void Clear();
  void LoadFromStream(std::istream& Stream);
  void LoadFromFile(const std::string& FileName);

  // The bytes waiting to be sent: [UnsentData(), UnsentData() + UnsentSize()).
  const char* UnsentData() const;
  int64_t UnsentSize() const {
    const int64_t end = std::clamp<int64_t>(FPosition, 0, FSize);
    return end - std::clamp<int64_t>(FLength, 0, end);
  }
  // Shared content: a stream with nothing waiting takes `bytes` as its whole
  // content without copying them (Position() and Size() their length,
  // Length() 0, Capacity() their length while they are held), keeping its
  // own block aside. Anything that would change the content first copies
  // them into that block; the rewind once they are sent lets them go.
  // False (nothing changed) when something waits or there are no bytes.
  bool Adopt(TSharedBytes bytes);
  // The adopted bytes while the content is theirs, else null.
  const TSharedBytes& Shared() const { return FShared; }
  // Counts n more bytes as sent, then Rewind.
  void MarkSent(int64_t n, int64_t nReleaseAbove);
  // Once everything is sent: Position() and Length() := 0, keeping the block
  // for reuse, or Clear when Size() is strictly greater than nReleaseAbove.
  void Rewind(int64_t nReleaseAbove);

 protected:
  // Returns the block to use for NewCapacity bytes, which it may round up to
  // a multiple of 8192 (not when it equals Size()); 0 releases the block.
  virtual char* Realloc(int64_t& NewCapacity);

 private:
  int64_t WriteSlow(const char* Buffer, int64_t Count);
  // Adopted content copied into the stream's own block, which it becomes.
  void Own();

  int64_t FCapacity = 0;
  int64_t FLength = 0;
  int64_t FMaxSize = kMaxCapacity;
  // The own block's capacity and size while adopted bytes are the content.
  int64_t FOwnCapacity = 0;
  int64_t FOwnSize = 0;
};
