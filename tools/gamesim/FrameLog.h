// The test game server's line for a received frame ("recv link=... ident=..."
// and what the frame said), written from the frame and from what applying it
// to the session table found; describing changes nothing. Pure functions.
#pragma once

#include <cstdint>
#include <string>

#include "testkit/GateCodec.h"
#include "testkit/SessionTable.h"

namespace gamesim {

// The frames, links and sessions come from the test kit.
using namespace testkit;

// What applying a received frame did, for its log line and the replies.
struct FrameEffect {
  Session* NewLogin = nullptr;  // the session this frame logged in
  LoginText Login;              // its login text, when NewLogin
  int64_t RttMs = -1;           // GM_RECEIVE_OK answering a probe of ours
};

std::string DescribeReceived(int Link, const Frame& F, const FrameEffect& Effect);

}  // namespace gamesim
