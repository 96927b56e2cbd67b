// The test game server's load mode, apart from sockets: what to send and how
// often (LoadSpec and its text form), the pacing arithmetic (RateClock), and
// ready-made GM_DATA / GM_SENDMSG / GM_SENDREFMSG frames whose routing
// fields and sequence numbers are patched per send so that generating a
// message costs one copy. Pure data and functions; the server drives them
// from its loop thread.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "testkit/GateCodec.h"
#include "testkit/Mix.h"

namespace gamesim {

// The frames, links and sessions come from the test kit.
using namespace testkit;

// Per-user message kinds of the load mode.
enum class LoadKind { Text, Opaque, Logon, Abil, Items };
constexpr size_t kLoadKinds = 5;
const char* LoadKindName(LoadKind Kind);

struct LoadSpec {
  double UserRate = 0;                    // per-user messages per second, all sessions together
  std::array<int, kLoadKinds> Mix{0, 1};  // weights by LoadKind; default opaque only
  size_t OpaqueSize = 2023;               // body bytes of an opaque message (a player record's)
  size_t TextSize = 64;                   // characters of a text line
  double HeavyRate = 0;                   // extra text lines per second per heavy session
  double BroadcastRate = 0;               // GM_SENDMSG per second
  size_t BroadcastSize = 64;              // body bytes of a broadcast
  double RefRate = 0;              // GM_SENDREFMSG (SM_HIT to every logged-in slot) per second
  size_t MaxLinkQueue = 8u << 20;  // generation skips a link holding more unsent bytes
  bool Active() const { return UserRate > 0 || HeavyRate > 0 || BroadcastRate > 0 || RefRate > 0; }
};

// "rate=N mix=logon:1,opaque:2 size=N text=N heavy=N bcast=N bsize=N ref=N
// maxqueue=N", words in any order, each optional; "off" is the empty spec.
bool ParseLoadSpec(std::string_view Text, LoadSpec& Out, std::string& Error);
std::string DescribeLoadSpec(const LoadSpec& Spec);

// Events due at a fixed rate: Take(now) returns how many fell due since the
// previous call. A backlog beyond MaxLagUs of events (a stalled loop) is not
// made up for; Dropped() counts what was given up.
class RateClock {
 public:
  void Start(double PerSecond, uint64_t NowUs, uint64_t MaxLagUs = 100000);
  uint64_t Take(uint64_t NowUs);
  uint64_t Dropped() const { return dropped_; }

 private:
  double rate_ = 0;
  uint64_t startUs_ = 0;
  uint64_t taken_ = 0;  // events handed out or dropped since Start
  uint64_t maxLag_ = 0;
  uint64_t dropped_ = 0;
};

using KindPicker = testkit::WeightedPicker<LoadKind, kLoadKinds>;

// Ready-made frames. Patch writes the routing fields and the sequence
// number into a copy appended to Out.
class LoadFrames {
 public:
  explicit LoadFrames(const LoadSpec& Spec);

  void AppendUser(std::string& Out, LoadKind Kind, int32_t Slot, int32_t Handle, uint16_t User,
                  uint32_t Seq) const;
  void AppendBroadcast(std::string& Out, uint32_t Seq) const;
  // The list is the slots ("3/5/9") of the link the frame goes to.
  static void AppendRefMsg(std::string& Out, uint32_t Seq, std::string_view SlotList);

 private:
  std::array<std::string, kLoadKinds> user_;  // whole GM_DATA frames; Text is built per send
  std::string broadcast_;
  size_t textSize_;
};

}  // namespace gamesim
