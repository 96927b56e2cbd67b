// The load tool's settings (command line) and the client messages it sends:
// the login text, CM_LOGINNOTICEOK, heartbeats, walk steps, spells with JSON
// bodies and echo requests, each a 48-character 6-bit header and a body.
// Pure functions; no sockets.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "testkit/Mix.h"

namespace loadgen {

enum class TMode { Gateway, Echo };
enum class TSendKind { Heart, Walk, Spell, Echo };
constexpr size_t kSendKinds = 4;

struct TLoadOptions {
  std::string Host = "127.0.0.1";
  uint16_t Port = 0;
  bool Tls = false;
  TMode Mode = TMode::Gateway;
  int Clients = 100;
  double Rate = 1;                              // messages per second per client
  std::array<int, kSendKinds> Mix{0, 0, 0, 1};  // weights by TSendKind
  int WalkMs = 0;                               // extra walk steps at this interval
  size_t Size = 64;                             // bytes of an echo message
  double Duration = 10;                         // measured seconds
  double Warmup = 2;                            // seconds between ready and measuring
  double ConnectRate = 0;                       // connects per second; 0: no limit
  int ConnectConcurrency = 256;                 // handshakes in flight at most
  double ConnectTimeout = 60;                   // for the whole connect phase
  std::string SrcBase;                          // first source address ("": kernel's)
  int PerAddr = 4;                              // clients per source address
  int NoRead = 0;                               // the first N clients never read
  bool ConnectOnly = false;                     // connect everyone, measure, close
  bool Binary = false;                          // send binary instead of text messages
  bool CheckJson = false;                       // parse every JSON body
  std::vector<int> CpuPids;                     // processes whose CPU time is measured
  int RssPid = 0;                               // process whose memory is sampled
  std::string ReadyFile;                        // created once every client is ready
  std::string Account = "load";                 // account name prefix
  std::string ResumeSrcBase;  // once in, each client resumes from a new address from this on
  bool NoCookies = false;     // keep no cookies (a balancer's sticky one is not sent back)
  bool Quiet = false;         // no progress lines
};

// False with a reason for a bad command line; Help is set for --help.
bool ParseLoadOptions(int Argc, const char* const* Argv, TLoadOptions& Out, std::string& Error,
                      bool& Help);
const char* LoadUsage();

// Source address of client Index: SrcBase (or, for its resume,
// ResumeSrcBase) advanced by Index / PerAddr, skipping host parts 0 and
// 255; "" when not spreading. Only 127.0.0.0/8.
std::string SourceAddress(const TLoadOptions& Opts, int Index, bool Resume = false);
bool IsLoopbackV4(std::string_view Address);

using TSendPicker = testkit::WeightedPicker<TSendKind, kSendKinds>;

// Client messages: the header text with nLength set to the body's size,
// then the body.
std::string LoginMessage(int nPacketIdx, std::string_view sAccount, std::string_view sChar,
                         std::string_view sUserId);
std::string NoticeOkMessage();
// The first message of a connection that takes a session over: its token
// and the count of bytes the client has received on it.
std::string ResumeMessage(std::string_view sToken, uint64_t nReceived);
std::string HeartMessage();
std::string WalkMessage(int nX, int nY, int nDir);
std::string SpellMessage(int nSkill, int nDir, int nX, int nY, std::string_view sTarget,
                         uint32_t nTime);
// An echo request of nSize bytes in all (at least the header and the time).
std::string EchoMessage(uint32_t nSeq, uint64_t nSendUs, size_t nSize);

}  // namespace loadgen
