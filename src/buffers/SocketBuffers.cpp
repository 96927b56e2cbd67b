#include "buffers/SocketBuffers.h"

#include <algorithm>
#include <cstring>
#include <functional>
#include <new>
#include <stdexcept>

namespace {

// Allocations left before injected failures start; -1 while disarmed.
thread_local int64_t t_failAfter = -1;

bool InjectedFailure() noexcept {
  if (t_failAfter < 0) return false;
  if (t_failAfter == 0) return true;
  --t_failAfter;
  return false;
}

// Within the storage or at its end: a source starting at the end cannot be
// taken for bytes from elsewhere.
bool Inside(const char* p, const char* base, int64_t size) {
  return base != nullptr && std::greater_equal<const char*>()(p, base) &&
         std::less_equal<const char*>()(p, base + size);
}

[[noreturn]] void LimitExceeded() {
  throw std::length_error("TBuffer size limit exceeded");
}

}  // namespace

char* TBufferAlloc::Alloc(size_t n) noexcept {
  if (InjectedFailure()) return nullptr;
  return static_cast<char*>(std::malloc(n));
}

char* TBufferAlloc::Resize(char* p, size_t n) noexcept {
  if (InjectedFailure()) return nullptr;
  return static_cast<char*>(std::realloc(p, n));
}

void TBufferAlloc::FailAfter(int64_t n) noexcept {
  t_failAfter = n < 0 ? -1 : n;
}

TBuffer::TBuffer(int64_t ASize) : FIncrement(ASize) {
  if (ASize > kMaxBufferSize) LimitExceeded();
  if (ASize > 0) {
    FBuffer.reset(TBufferAlloc::Alloc(static_cast<size_t>(ASize)));
    if (!FBuffer) throw std::bad_alloc();
    FBufSize = ASize;
  }
}

TBuffer::TBuffer(int64_t ASize, TDeferStorage) : FIncrement(std::max<int64_t>(ASize, 1)) {
  if (ASize > kMaxBufferSize) LimitExceeded();
}

TBuffer::~TBuffer() = default;

void TBuffer::SetMaxSize(int64_t n) {
  FMaxSize = std::clamp<int64_t>(n, 0, kMaxBufferSize);
}

void TBuffer::Reallocate(int64_t NewSize) {
  char* p = TBufferAlloc::Resize(FBuffer.get(), static_cast<size_t>(NewSize));
  if (p == nullptr) throw std::bad_alloc();  // the old block is still ours
  (void)FBuffer.release();
  FBuffer.reset(p);
  FBufSize = NewSize;
}

void TBuffer::Grow(int64_t Required) {
  if (Required <= FBufSize) return;
  if (Required > FMaxSize) LimitExceeded();
  int64_t NewSize = FBufSize + FIncrement;
  if (Required >= NewSize) NewSize = Required;
  Reallocate(std::min(NewSize, FMaxSize));
}

void TBuffer::SetSize(int64_t NewSize) {
  if (NewSize <= 0) {
    FBuffer.reset();
    FBufSize = 0;
    FPosition = 0;
    return;
  }
  if (NewSize > FMaxSize && NewSize > FBufSize) LimitExceeded();
  if (NewSize != FBufSize) Reallocate(NewSize);
  FPosition = std::clamp<int64_t>(FPosition, 0, FBufSize);
}

void TBuffer::SetPosition(int64_t Pos) {
  if (Pos > FBufSize) Grow(Pos);
  FPosition = std::clamp<int64_t>(Pos, 0, FBufSize);
}

char* TBuffer::Seek(int64_t Offset) {
  SetPosition(Offset);
  return FBuffer.get() + FPosition;
}

int64_t TBuffer::Write(const void* Data, int64_t Len) {
  if (FPosition < 0 || Len <= 0) return 0;
  if (Len > FMaxSize - FPosition && Len > FBufSize - FPosition) LimitExceeded();
  const char* src = static_cast<const char*>(Data);
  if (FPosition + Len > FBufSize) {
    // Growth may move the storage; a source inside it moves along.
    const bool own = Inside(src, FBuffer.get(), FBufSize);
    const int64_t offset = own ? src - FBuffer.get() : 0;
    Grow(FPosition + Len);
    if (own) src = FBuffer.get() + offset;
  }
  // Bytes already written where they go (received straight into the
  // storage past Position()) are only counted in.
  char* dst = FBuffer.get() + FPosition;
  if (dst != src) std::memmove(dst, src, static_cast<size_t>(Len));
  FPosition += Len;
  return Len;
}

char* TBuffer::Read(int64_t APosition, int64_t ASize) {
  if (APosition < 0 || ASize <= 0) return nullptr;
  if (ASize > FMaxSize - APosition && ASize > FBufSize - APosition) LimitExceeded();
  Grow(APosition + ASize);
  FPosition = APosition + ASize;
  return FBuffer.get() + APosition;
}

void TBuffer::First(const char* Data, int64_t Len) {
  if (Len < 0) return;
  char* base = FBuffer.get();
  if (Len > 0 && Data == base) {
    // Already in place.
    Grow(Len);
  } else if (Len > 0 && Inside(Data, base, FBufSize)) {
    if (Len > base + FBufSize - Data) {
      throw std::out_of_range("TBuffer.First: source runs past the end of the buffer");
    }
    std::memmove(base, Data, static_cast<size_t>(Len));
  } else if (Len > 0) {
    // A source outside the storage survives the growth untouched.
    Grow(Len);
    std::memcpy(FBuffer.get(), Data, static_cast<size_t>(Len));
  }
  FPosition = Len;
}

void TBuffer::Clear() {
  FPosition = 0;
}

void TBuffer::Consume(int64_t n) {
  if (n <= 0) return;
  if (n >= FPosition) {
    Clear();
  } else {
    First(FBuffer.get() + n, FPosition - n);
  }
}

char* TBuffer::EnsureWritable(int64_t n) {
  if (n > 0) {
    if (n > FMaxSize - FPosition && n > FBufSize - FPosition) LimitExceeded();
    Grow(FPosition + n);
  }
  return FBuffer.get() + FPosition;
}

void TBuffer::Commit(int64_t n) {
  FPosition += std::clamp<int64_t>(n, 0, FBufSize - FPosition);
}

TSendBuffer::TSendBuffer(int64_t ASize) : TBuffer(ASize) {}

TSendBuffer::TSendBuffer(int64_t ASize, TDeferStorage defer) : TBuffer(ASize, defer) {}

TSendBuffer::~TSendBuffer() = default;

const char* TSendBuffer::SendData() const {
  return Buffer() + std::clamp<int64_t>(FSendSize, 0, Position());
}

void TSendBuffer::Retrieve(int64_t n) {
  if (n <= 0) return;
  const int64_t from = std::clamp<int64_t>(FSendSize, 0, Position());
  FSendSize = from + std::min(n, Position() - from);
  if (FSendSize >= Position()) Clear();
}

void TSendBuffer::First(const char* Data, int64_t Len) {
  TBuffer::First(Data, Len);
}

void TSendBuffer::Clear() {
  TBuffer::Clear();
  FSendSize = 0;
}
