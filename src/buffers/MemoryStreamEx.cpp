#include "buffers/MemoryStreamEx.h"

#include <algorithm>
#include <fstream>
#include <functional>
#include <istream>
#include <limits>
#include <ostream>

namespace {

[[noreturn]] void LimitExceeded() {
  throw std::length_error("TMemoryStreamEx size limit exceeded");
}

}  // namespace

TCustomMemoryStreamEx::TCustomMemoryStreamEx() = default;

TCustomMemoryStreamEx::~TCustomMemoryStreamEx() = default;

int64_t TCustomMemoryStreamEx::Read(void* Buffer, int64_t Count) {
  if (FPosition < 0 || Count < 0) return 0;
  const int64_t n = std::min(FSize - FPosition, Count);
  if (n <= 0) return 0;
  std::memcpy(Buffer, Memory() + FPosition, static_cast<size_t>(n));
  FPosition += n;
  return n;
}

int64_t TCustomMemoryStreamEx::Seek(int64_t Offset, int Origin) {
  int64_t from;
  switch (Origin) {
    case soFromBeginning:
      from = 0;
      break;
    case soFromCurrent:
      from = FPosition;
      break;
    case soFromEnd:
      from = FSize;
      break;
    default:
      return FPosition;
  }
  int64_t to;
  if (__builtin_add_overflow(from, Offset, &to)) {
    to = Offset > 0 ? std::numeric_limits<int64_t>::max() : std::numeric_limits<int64_t>::min();
  }
  FPosition = to;
  return FPosition;
}

void TCustomMemoryStreamEx::SaveToStream(std::ostream& Stream) const {
  if (FSize <= 0) return;
  if (!Stream.write(Memory(), static_cast<std::streamsize>(FSize))) {
    throw EStreamError("Stream write error");
  }
}

void TCustomMemoryStreamEx::SaveToFile(const std::string& FileName) const {
  std::ofstream file(FileName, std::ios::binary | std::ios::trunc);
  if (!file) throw EStreamError("Cannot create file \"" + FileName + "\"");
  SaveToStream(file);
}

TMemoryStreamEx::TMemoryStreamEx() = default;

TMemoryStreamEx::~TMemoryStreamEx() {
  Clear();
}

char* TMemoryStreamEx::Realloc(int64_t& NewCapacity) {
  if (NewCapacity > 0 && NewCapacity != FSize) {
    NewCapacity = (NewCapacity + (kBlockSize - 1)) & ~(kBlockSize - 1);
  }
  if (NewCapacity == FCapacity) return FMemory.get();
  if (NewCapacity <= 0) {
    NewCapacity = 0;
    FMemory.reset();
    return nullptr;
  }
  if (NewCapacity > FMaxSize) LimitExceeded();
  char* p = TBufferAlloc::Resize(FMemory.get(), static_cast<size_t>(NewCapacity));
  if (p == nullptr) throw EStreamError("Out of memory while expanding memory streamex");
  (void)FMemory.release();
  FMemory.reset(p);
  return p;
}

void TMemoryStreamEx::SetCapacity(int64_t NewCapacity) {
  Own();
  if (NewCapacity < 0) NewCapacity = 0;
  if (NewCapacity > FMaxSize) LimitExceeded();
  Realloc(NewCapacity);
  FCapacity = NewCapacity;
  // Content cannot outlive the block that holds it.
  if (FSize > FCapacity) FSize = FCapacity;
}

void TMemoryStreamEx::SetMaxSize(int64_t n) {
  FMaxSize = std::clamp<int64_t>(n, 0, kMaxCapacity) & ~(kBlockSize - 1);
}

void TMemoryStreamEx::SetSize(int64_t NewSize) {
  Own();
  if (NewSize < 0) NewSize = 0;
  const int64_t OldPosition = FPosition;
  const int64_t OldSize = FSize;
  SetCapacity(NewSize);
  if (NewSize > OldSize) {
    std::memset(FMemory.get() + OldSize, 0, static_cast<size_t>(NewSize - OldSize));
  }
  FSize = NewSize;
  if (OldPosition > NewSize) FPosition = NewSize;
}

int64_t TMemoryStreamEx::WriteSlow(const char* Buffer, int64_t Count) {
  if (FPosition < 0 || Count < 0 || (FPosition == 0 && Count == 0)) return 0;
  // A source inside the adopted bytes stays valid: this stream keeps them
  // until the copy is done.
  const TSharedBytes keep = FShared;
  Own();
  if (Count > FMaxSize - FPosition && Count > FSize - FPosition) LimitExceeded();
  const int64_t End = FPosition + Count;
  if (End > FSize) {
    if (End > FCapacity) {
      // The block may move; a source inside it moves along.
      char* base = FMemory.get();
      const bool own = base != nullptr && std::greater_equal<const char*>()(Buffer, base) &&
                       std::less<const char*>()(Buffer, base + FCapacity);
      const int64_t offset = own ? Buffer - base : 0;
      SetCapacity(End);
      if (own) Buffer = FMemory.get() + offset;
    }
    // Bytes skipped over by a position beyond the end read as zero.
    if (FPosition > FSize) {
      std::memset(FMemory.get() + FSize, 0, static_cast<size_t>(FPosition - FSize));
    }
    FSize = End;
  }
  if (Count > 0) std::memmove(FMemory.get() + FPosition, Buffer, static_cast<size_t>(Count));
  FPosition = End;
  return Count;
}

void TMemoryStreamEx::Clear() {
  if (FShared) {
    FShared.reset();
    FCapacity = FOwnCapacity;
    FSize = FOwnSize;
  }
  SetCapacity(0);
  FSize = 0;
  FPosition = 0;
  FLength = 0;
}

bool TMemoryStreamEx::Adopt(TSharedBytes bytes) {
  if (!bytes || bytes->empty() || UnsentSize() > 0 || FShared) return false;
  const int64_t n = static_cast<int64_t>(bytes->size());
  if (n > FMaxSize) return false;
  FOwnCapacity = FCapacity;
  FOwnSize = FSize;
  FShared = std::move(bytes);
  FCapacity = n;
  FSize = n;
  FPosition = n;
  FLength = 0;
  return true;
}

void TMemoryStreamEx::Own() {
  if (!FShared) return;
  const int64_t n = FSize;
  const int64_t position = FPosition;
  const int64_t length = FLength;
  TSharedBytes shared = std::move(FShared);
  FCapacity = FOwnCapacity;
  FSize = FOwnSize;
  try {
    if (n > FCapacity) SetCapacity(n);
  } catch (...) {
    // As it was: the adopted bytes stay the content.
    FOwnCapacity = FCapacity;
    FOwnSize = FSize;
    FShared = std::move(shared);
    FCapacity = n;
    FSize = n;
    throw;
  }
  std::memcpy(FMemory.get(), shared->data(), static_cast<size_t>(n));
  FSize = std::max(FSize, n);
  FPosition = position;
  FLength = length;
}

void TMemoryStreamEx::LoadFromStream(std::istream& Stream) {
  Stream.seekg(0, std::ios::end);
  const std::streamoff count = Stream.tellg();
  if (count < 0) throw EStreamError("Stream read error");
  Stream.seekg(0, std::ios::beg);
  SetSize(count);
  if (count > 0 && !Stream.read(FMemory.get(), static_cast<std::streamsize>(count))) {
    throw EStreamError("Stream read error");
  }
}

void TMemoryStreamEx::LoadFromFile(const std::string& FileName) {
  std::ifstream file(FileName, std::ios::binary);
  if (!file) throw EStreamError("Cannot open file \"" + FileName + "\"");
  LoadFromStream(file);
}

const char* TMemoryStreamEx::UnsentData() const {
  const int64_t end = std::clamp<int64_t>(FPosition, 0, FSize);
  return Memory() + std::clamp<int64_t>(FLength, 0, end);
}

void TMemoryStreamEx::MarkSent(int64_t n, int64_t nReleaseAbove) {
  if (n > 0) FLength += n;
  Rewind(nReleaseAbove);
}

void TMemoryStreamEx::Rewind(int64_t nReleaseAbove) {
  if (FLength < FPosition) return;
  if (FShared) {
    // Sent: the shared bytes go, the own block is the stream's again.
    FShared.reset();
    FCapacity = FOwnCapacity;
    FSize = FOwnSize;
  }
  FPosition = 0;
  FLength = 0;
  if (FSize > nReleaseAbove) Clear();
}
