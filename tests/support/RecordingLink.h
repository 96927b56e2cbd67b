// A game-server link without a socket, for the engine's tests, fuzz targets
// and benchmarks: up or down as the test says; what the engine queues stays
// queued (Queued()) until the test lets the game server read it (ReadAll).
// Frames from the game server go in with AppendReceived, as read bytes do.
#pragma once

#include <string>

#include "buffers/SocketBuffers.h"
#include "engine/ServerLink.h"

class TRecordingLink final : public TServerLink {
 public:
  void SetUp(bool up) { up ? Up() : Down(); }
  // The game server reads everything queued.
  void ReadAll() {
    boReading_ = true;
    Flush();
    boReading_ = false;
  }
  // Bytes read but not yet cut, and one slice of them, as the socket's
  // receipt takes them a turn at a time.
  void Hold(const std::string& bytes) {
    readBuffer_->Write(bytes.data(), static_cast<int64_t>(bytes.size()));
  }
  bool Slice(size_t budget, uint64_t budgetMs) { return ProcReceiveBuffer(budget, budgetMs); }
  std::string read;     // every byte the game server has read
  int nWriteCalls = 0;  // writes the link tried, taken or not

 protected:
  int WriteSome(const char* data, int n) override {
    ++nWriteCalls;
    if (!boReading_) return -1;
    read.append(data, static_cast<size_t>(n));
    return n;
  }
  // As the socket's close ends the connection.
  void Drop() override { Down(); }

 private:
  bool boReading_ = false;
};
