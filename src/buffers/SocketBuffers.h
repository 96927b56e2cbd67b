// Growable byte buffers that carry raw traffic through the engine: TBuffer
// (a fill position; the game-server receive buffer) and TSendBuffer (plus a
// consumption offset; each session's inbound queue). A buffer owns its
// storage and is used by one thread at a time (the main thread): nothing locks.
//
// TBuffer:      | content (readable)   | writable             |
//               0                  Position()             Size()
// TSendBuffer:  | taken out | remaining   | writable          |
//               0       SendSize()    Position()          Size()
//
// Storage grows by the creation size as a step (or at once to what a request
// needs), is kept when the buffer is cleared, and is given back only by
// SetSize(0). A growth that cannot be had (out of memory: std::bad_alloc;
// beyond MaxSize(): std::length_error) throws and leaves size, position,
// storage and content as they were.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <memory>
#include <string_view>

struct TBufferFree {
  void operator()(char* p) const noexcept { std::free(p); }
};
using TBufferPtr = std::unique_ptr<char, TBufferFree>;

// The one allocator of buffer and stream storage (malloc family, so growth can
// extend in place). Every call returns nullptr on failure, real or injected.
// Tests inject failures with FailAfter, like Beast's fail_count: the next n
// allocations on this thread succeed and every later one fails until FailAfter(-1).
struct TBufferAlloc {
  // Storage is not zeroed: nothing reads past what was written, and untouched
  // pages of a new connection's buffers then cost nothing.
  static char* Alloc(size_t n) noexcept;
  static char* Resize(char* p, size_t n) noexcept;
  static void FailAfter(int64_t n) noexcept;
};

// Asks a buffer to take its storage at its first use rather than at its
// creation: a queue that may never carry anything costs no memory.
struct TDeferStorage {};
inline constexpr TDeferStorage kDeferStorage{};

class TBuffer {
 public:
  // Storage is requested with 32-bit sizes.
  static constexpr int64_t kMaxBufferSize = 0x7FFFFFFF;

  // Allocates ASize zero-filled bytes; ASize is also the growth step. Throws
  // std::bad_alloc when the storage cannot be had (the creation fails).
  explicit TBuffer(int64_t ASize);
  // ASize is the growth step; the first growth allocates it.
  TBuffer(int64_t ASize, TDeferStorage);
  virtual ~TBuffer();
  TBuffer(const TBuffer&) = delete;
  TBuffer& operator=(const TBuffer&) = delete;

  int64_t Size() const { return FBufSize; }
  // Resizes the storage to NewSize bytes (content kept up to the smaller size);
  // 0 or a negative size gives the storage back. Position is clamped.
  void SetSize(int64_t NewSize);
  int64_t Position() const { return FPosition; }
  // Grows to hold Pos bytes when needed; Pos is clamped into 0 .. Size().
  void SetPosition(int64_t Pos);
  char* Buffer() { return FBuffer.get(); }
  const char* Buffer() const { return FBuffer.get(); }
  int64_t Increment() const { return FIncrement; }

  // Largest size the buffer may grow to (a cap for buffers that outside
  // parties fill); kMaxBufferSize unless lowered.
  int64_t MaxSize() const { return FMaxSize; }
  void SetMaxSize(int64_t n);

  // Appends Len bytes at Position() and returns Len; 0 and no change for an
  // empty or negative length. Data may point into this buffer's own storage.
  int64_t Write(const void* Data, int64_t Len);
  int64_t Write(std::string_view s) { return Write(s.data(), static_cast<int64_t>(s.size())); }
  // Reserves ASize bytes at APosition for the caller to fill, sets
  // Position() := APosition + ASize and returns where they go; nullptr and no
  // change for a negative position or an empty or negative size.
  char* Read(int64_t APosition, int64_t ASize);
  // SetPosition(Offset), then the address of the byte at Position().
  char* Seek(int64_t Offset);
  // Makes the Len bytes at Data the whole content, at the start of the
  // storage. Data may lie inside the storage (the unparsed tail moving to the
  // front); such a source must not run past the end of the storage
  // (std::out_of_range, nothing changes).
  virtual void First(const char* Data, int64_t Len);
  // Empties the content; the storage stays.
  virtual void Clear();

  // Readable span: [Peek(), Peek() + ReadableBytes()).
  const char* Peek() const { return FBuffer.get(); }
  int64_t ReadableBytes() const { return FPosition; }
  // Drops n bytes from the front, moving the rest there (clears when n
  // covers the content).
  void Consume(int64_t n);

  // Writable span after Position(): receive straight into the buffer with
  // EnsureWritable(n), then Commit(the bytes actually written).
  int64_t WritableBytes() const { return FBufSize - FPosition; }
  char* EnsureWritable(int64_t n);
  void Commit(int64_t n);

 protected:
  // Grows the storage by the growth rule so that it holds Required bytes.
  void Grow(int64_t Required);
  void Reallocate(int64_t NewSize);

 private:
  TBufferPtr FBuffer;
  int64_t FBufSize = 0;
  int64_t FPosition = 0;
  int64_t FIncrement = 0;
  int64_t FMaxSize = kMaxBufferSize;
};

class TSendBuffer final : public TBuffer {
 public:
  explicit TSendBuffer(int64_t ASize);
  TSendBuffer(int64_t ASize, TDeferStorage defer);
  ~TSendBuffer() override;

  // Position() - SendSize(): bytes written and not yet taken out, never negative.
  int64_t GetRemainSize() const {
    const int64_t remain = Position() - FSendSize;
    return remain > 0 ? remain : 0;
  }
  int64_t RemainSize() const { return GetRemainSize(); }
  int64_t SendSize() const { return FSendSize; }
  void SetSendSize(int64_t n) { FSendSize = n; }

  // The first byte not yet taken out (the readable span is
  // [SendData(), SendData() + RemainSize())).
  const char* SendData() const;
  // Takes n bytes out; once nothing remains the queue is cleared, so the next
  // Write starts again at the front of the storage.
  void Retrieve(int64_t n);

  void First(const char* Data, int64_t Len) override;
  void Clear() override;

 private:
  int64_t FSendSize = 0;
};
