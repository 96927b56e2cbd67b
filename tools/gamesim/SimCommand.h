// The test game server's command language: one command per line, from
// stdin, a script or a control connection. Parsing only: a line becomes one
// Command value (or an error text); the server executes it. A new command is
// a struct, one entry in the parser's table and one case in the executor.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <variant>

#include "gamesim/LoadMode.h"
#include "testkit/GateCodec.h"

namespace gamesim {

// The frames, links and sessions come from the test kit.
using namespace testkit;

// Whom a session frame is for: "all", a handle, or "link:handle".
struct Target {
  bool All = false;
  int Link = 0;  // 0: any link
  int32_t Handle = 0;
};

namespace cmd {
struct Data {  // GM_DATA for a session
  Target To;
  bool IsText = false;
  std::string Text;
  Message Msg;
};
struct SendMsg {  // GM_SENDMSG to every player
  bool IsText = false;
  std::string Text;
  Message Msg;
};
struct SendRefMsg {  // GM_SENDREFMSG to listed slots
  bool AllSlots = false;
  std::string List;  // slot indices separated by "/"
  Message Msg;
};
struct SendGuildMsg {
  std::string Guild;
  Message Msg;
};
struct SendExample {  // a translated example of the protocol document
  std::string Name;   // its ident; empty: every example in turn
  Target To;
};
struct Kick {
  Target To;
};
struct Close {
  Target To;
};
struct Speed {
  Target To;
  bool HasValues = false;
  int Values[8] = {};
  bool HasBody = false;
  std::string Body;
};
struct UserIndex {
  Target To;
  int Index = 0;
};
struct MagicInfo {
  std::string Table;
};
struct CheckServer {};
struct ReceiveOk {};
struct Frame {  // any frame, fields as given
  uint16_t Ident = 0;
  int32_t Socket = 0;
  int32_t Handle = 0;
  uint16_t User = 0;
  enum { Auto, TextLength, Fixed } LengthMode = Auto;
  int32_t Length = 0;
  std::string Payload;
};
struct Raw {
  std::string Bytes;
};
struct Split {  // the next frame goes out in pieces
  int Pieces = 2;
  int GapMs = 20;
};
struct DropLink {
  int Link = 0;  // 0: every link
};
struct Wait {
  int Ms = 0;
};
struct WaitLink {
  int TimeoutMs = 10000;
};
struct WaitLogin {
  int Count = 1;
  int TimeoutMs = 10000;
};
struct Sessions {};
struct Echo {
  std::string Text;
};
struct Load {  // load mode: a new spec ("off" is an empty one), or its counters
  bool Stats = false;
  LoadSpec Spec;
};
struct Help {};
struct Quit {};
}  // namespace cmd

using Command = std::variant<cmd::Data, cmd::SendMsg, cmd::SendRefMsg, cmd::SendGuildMsg,
                             cmd::SendExample, cmd::Kick, cmd::Close, cmd::Speed, cmd::UserIndex,
                             cmd::MagicInfo, cmd::CheckServer, cmd::ReceiveOk, cmd::Frame, cmd::Raw,
                             cmd::Split, cmd::DropLink, cmd::Wait, cmd::WaitLink, cmd::WaitLogin,
                             cmd::Sessions, cmd::Echo, cmd::Load, cmd::Help, cmd::Quit>;

struct ParseResult {
  std::optional<Command> Cmd;  // none for a blank line or a "#" comment
  std::string Error;           // set when the line is not a command
};

ParseResult ParseCommand(std::string_view Line);

// Message idents by name (GM_DATA, SM_KICK, CM_WALK, ...), or -1.
int64_t IdentByName(std::string_view Name);

// The command syntax, as printed by --help and the help command.
const char* CommandHelp();

}  // namespace gamesim
