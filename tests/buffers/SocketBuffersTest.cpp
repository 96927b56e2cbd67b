#include "buffers/SocketBuffers.h"

#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <new>
#include <stdexcept>
#include <string>
#include <tuple>

#include "buffers/FailPoints.h"
#include "buffers/Pattern.h"

namespace {

std::string Content(const TBuffer& b) {
  return std::string(b.Peek(), static_cast<size_t>(b.ReadableBytes()));
}

}  // namespace

// Growth comes in steps of the creation size unless one request needs more;
// empty or negative requests change nothing.
TEST(TBuffer, GrowsByStepOrToTheRequest) {
  TBuffer step(1024);
  step.Write(Pattern(1000));
  EXPECT_EQ(step.Write(Pattern(100)), 100);
  EXPECT_EQ(step.Size(), 2048);
  EXPECT_EQ(Content(step), Pattern(1000) + Pattern(100));

  TBuffer jump(1024);
  jump.Write(Pattern(1000));
  EXPECT_EQ(jump.Write(Pattern(5000)), 5000);
  EXPECT_EQ(jump.Size(), 6000);

  EXPECT_EQ(jump.Write("x", 0), 0);
  EXPECT_EQ(jump.Write("x", -5), 0);
  EXPECT_EQ(jump.Read(3, 0), nullptr);
  EXPECT_EQ(jump.Read(-1, 10), nullptr);
  EXPECT_EQ(jump.Position(), 6000);
  EXPECT_EQ(Content(jump), Pattern(1000) + Pattern(5000));
}

// The socket receives straight into the buffer and may deliver fewer bytes
// than announced.
TEST(TBuffer, ReceivesInPlace) {
  TBuffer b(100);
  b.Write(Pattern(90));
  char* at = b.Read(90, 50);
  EXPECT_EQ(at, b.Buffer() + 90);
  EXPECT_EQ(b.Size(), 200);
  EXPECT_EQ(b.Position(), 140);

  b.SetPosition(90);
  char* dst = b.EnsureWritable(300);
  EXPECT_EQ(b.Position(), 90);
  EXPECT_GE(b.WritableBytes(), 300);
  std::memcpy(dst, "0123456789abc", 13);
  b.Commit(13);
  EXPECT_EQ(Content(b), Pattern(90) + "0123456789abc");
  b.Commit(1 << 20);  // never past the storage
  EXPECT_EQ(b.Position(), b.Size());
}

// A source inside the storage must survive the storage moving.
TEST(TBuffer, WriteFromItsOwnStorageWhileGrowing) {
  TBuffer b(32);
  b.Write(Pattern(32));
  b.Write(b.Buffer() + 8, 24);
  EXPECT_EQ(Content(b), Pattern(32) + Pattern(32).substr(8));
}

// The unparsed tail overlaps its destination whenever it is longer than the
// part consumed before it.
TEST(TBuffer, FirstKeepsTheTailAtTheFront) {
  TBuffer b(64);
  const std::string all = Pattern(50);
  b.Write(all);
  const char* storage = b.Buffer();
  b.First(b.Buffer(), 12);  // already in place
  EXPECT_EQ(b.Position(), 12);
  EXPECT_EQ(std::string(b.Buffer(), 50), all);

  b.SetPosition(50);
  b.First(b.Buffer() + 10, 40);
  EXPECT_EQ(Content(b), all.substr(10));
  b.Consume(30);
  EXPECT_EQ(Content(b), all.substr(40));
  b.Consume(10);
  EXPECT_EQ(b.Position(), 0);
  EXPECT_EQ(b.Buffer(), storage);
  EXPECT_EQ(b.Size(), 64);

  const std::string outside = Pattern(100, 'K');
  b.First(outside.data(), 100);
  EXPECT_EQ(b.Size(), 128);
  EXPECT_EQ(Content(b), outside);

  // A source inside the storage cannot run past its end.
  const auto before = std::make_tuple(b.Size(), b.Position(), Content(b));
  EXPECT_THROW(b.First(b.Buffer() + 100, 60), std::out_of_range);
  EXPECT_THROW(b.First(b.Buffer() + b.Size(), 1), std::out_of_range);
  EXPECT_EQ(std::make_tuple(b.Size(), b.Position(), Content(b)), before);
}

TEST(TBuffer, SetSizeAndSetPositionClamp) {
  TBuffer b(100);
  b.Write(Pattern(80));
  b.SetSize(50);
  EXPECT_EQ(b.Position(), 50);
  EXPECT_EQ(Content(b), Pattern(50));
  b.SetPosition(-3);
  EXPECT_EQ(b.Position(), 0);
  b.SetPosition(170);
  EXPECT_EQ(b.Size(), 170);  // 50 + 100 would not hold it
  EXPECT_EQ(b.Seek(40), b.Buffer() + 40);

  b.SetSize(-7);
  EXPECT_EQ(b.Size(), 0);
  EXPECT_EQ(b.Position(), 0);
  EXPECT_EQ(b.Buffer(), nullptr);
  EXPECT_EQ(b.Write("abc"), 3);  // allocates again, one step first
  EXPECT_EQ(b.Size(), 100);
}

// A buffer that outside parties fill stops at its cap: the step is clamped
// to it, and a request beyond it fails with nothing changed.
TEST(TBuffer, MaxSizeCapsGrowth) {
  TBuffer b(1000);
  b.SetMaxSize(1500);
  b.Write(Pattern(1100));
  EXPECT_EQ(b.Size(), 1500);
  EXPECT_THROW(b.Write(Pattern(401)), std::length_error);
  EXPECT_THROW(b.EnsureWritable(401), std::length_error);
  EXPECT_THROW(b.Read(1100, 401), std::length_error);
  EXPECT_THROW(b.SetPosition(1501), std::length_error);
  EXPECT_EQ(b.Size(), 1500);
  EXPECT_EQ(Content(b), Pattern(1100));
  EXPECT_EQ(b.Write(Pattern(400)), 400);
}

TEST(TBuffer, FailedAllocationAtEveryPointLeavesTheBufferAsItWas) {
  {
    FailAfterGuard guard(0);
    EXPECT_THROW(TBuffer b(1024), std::bad_alloc);
  }
  const std::string outside = Pattern(9000, 'Q');
  const std::vector<std::function<void(TBuffer&)>> steps = {
      [](TBuffer& b) { b.Write(Pattern(1000)); },
      [](TBuffer& b) { b.Write(Pattern(100)); },   // one step
      [](TBuffer& b) { b.Write(Pattern(5000)); },  // to the request
      [](TBuffer& b) { b.Write(b.Buffer() + 3, 4000); },
      [](TBuffer& b) {
        b.SetPosition(12000);
        std::memset(b.Buffer() + 10100, 'z', 1900);
      },
      [](TBuffer& b) { b.Consume(11000); },
      [](TBuffer& b) { std::memcpy(b.Read(b.Position(), 20000), Pattern(20000).data(), 20000); },
      [&](TBuffer& b) { b.First(outside.data(), 9000); },
      [](TBuffer& b) { b.SetSize(5000); },
      [](TBuffer& b) {
        std::memcpy(b.EnsureWritable(7000), Pattern(7000).data(), 7000);
        b.Commit(7000);
      },
      [](TBuffer& b) { b.SetSize(0); },
      [](TBuffer& b) { b.Write(Pattern(10)); },
  };
  const int points = CheckEveryFailPoint<TBuffer>(
      [] { return std::make_unique<TBuffer>(1024); },
      [](TBuffer& b) { return std::make_tuple(b.Size(), b.Position(), Content(b)); },
      [](TBuffer& b) { return static_cast<const void*>(b.Buffer()); }, steps);
  EXPECT_EQ(points, 8);  // seven growths and one shrink
}

TEST(TSendBuffer, RemainSizeIsNeverNegative) {
  TSendBuffer q(64);
  q.Write(Pattern(20));
  q.SetSendSize(15);
  EXPECT_EQ(q.RemainSize(), 5);
  EXPECT_EQ(q.SendData(), q.Buffer() + 15);
  q.SetSendSize(30);
  EXPECT_EQ(q.RemainSize(), 0);
  EXPECT_EQ(q.SendData(), q.Buffer() + 20);
}

// The writer keeps ahead of the reader until the reader catches up entirely;
// then the queue rewinds and keeps its storage.
TEST(TSendBuffer, QueueGrowsInStepsUntilDrainedThenRewinds) {
  TSendBuffer q(10240);
  const std::string msg = Pattern(3000);
  std::string expected;
  int64_t taken = 0;
  for (int round = 0; round < 10; ++round) {
    q.Write(msg);
    q.Write(msg);
    expected += msg + msg;
    EXPECT_EQ(q.Size() % 10240, 0);
    ASSERT_EQ(std::string(q.SendData(), 1000), expected.substr(taken, 1000));
    q.Retrieve(1000);
    taken += 1000;
  }
  EXPECT_EQ(q.RemainSize(), static_cast<int64_t>(expected.size()) - taken);
  EXPECT_EQ(q.Size(), 61440);
  const char* storage = q.Buffer();
  q.Retrieve(q.RemainSize() + 5);
  EXPECT_EQ(q.Position(), 0);
  EXPECT_EQ(q.SendSize(), 0);
  EXPECT_EQ(q.Size(), 61440);
  q.Write("next");
  EXPECT_EQ(q.Buffer(), storage);
  EXPECT_EQ(std::string(q.SendData(), 4), "next");

  // Cleared through the base, as a TBuffer owner would; First keeps the offset.
  q.SetSendSize(2);
  q.First(q.Buffer() + 1, 3);
  EXPECT_EQ(q.SendSize(), 2);
  static_cast<TBuffer&>(q).Clear();
  EXPECT_EQ(q.SendSize(), 0);
}

// A session's inbound queue takes no storage until its first message, grows
// by its step from then on, and can give the storage back and take it again.
TEST(TSendBuffer, DeferredStorageComesWithTheFirstWrite) {
  TSendBuffer q(10240, kDeferStorage);
  EXPECT_EQ(q.Size(), 0);
  EXPECT_EQ(q.Buffer(), nullptr);
  EXPECT_EQ(q.RemainSize(), 0);
  EXPECT_EQ(q.Increment(), 10240);
  EXPECT_EQ(q.Write("abc", 3), 3);
  EXPECT_EQ(q.Size(), 10240);
  q.Retrieve(3);
  q.SetSize(0);
  EXPECT_EQ(q.Buffer(), nullptr);
  EXPECT_EQ(q.Write(std::string(12000, 'x')), 12000);
  EXPECT_EQ(q.Size(), 12000);
}

// Bytes received straight into the room past Position() are counted in by
// Write without being moved, and read back unchanged.
TEST(TSendBuffer, AWriteOfBytesAlreadyInPlaceOnlyCountsThem) {
  TSendBuffer q(64, kDeferStorage);
  q.Write("head", 4);
  char* room = q.EnsureWritable(5);
  std::memcpy(room, "12345", 5);
  EXPECT_EQ(q.Write(room, 5), 5);
  EXPECT_EQ(std::string(q.SendData(), static_cast<size_t>(q.RemainSize())), "head12345");
  // A source elsewhere in the storage still moves as before.
  EXPECT_EQ(q.Write(q.Buffer(), 4), 4);
  EXPECT_EQ(std::string(q.SendData(), static_cast<size_t>(q.RemainSize())), "head12345head");
}
