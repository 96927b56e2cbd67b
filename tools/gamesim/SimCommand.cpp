#include "gamesim/SimCommand.h"

#include <algorithm>
#include <charconv>
#include <functional>
#include <utility>

#include "protocol/EDcode.h"
#include "samples/DocExamples.h"

namespace gamesim {

namespace {

// Splits a line into space-separated words while keeping the rest of the
// line available verbatim (bodies may contain spaces).
class Words {
 public:
  explicit Words(std::string_view Line) : rest_(Line) {}

  bool Next(std::string_view& Word) {
    Word = Peek();
    if (Word.empty()) return false;
    rest_.remove_prefix(Word.size());
    return true;
  }
  std::string_view Peek() {
    SkipSpaces();
    return rest_.substr(0, rest_.find_first_of(" \t"));
  }
  std::string_view Rest() {
    SkipSpaces();
    return rest_;
  }
  bool Empty() { return Rest().empty(); }

 private:
  void SkipSpaces() {
    const size_t n = rest_.find_first_not_of(" \t");
    rest_.remove_prefix(n == std::string_view::npos ? rest_.size() : n);
  }
  std::string_view rest_;
};

bool ToInt64(std::string_view Word, int64_t& Value) {
  bool negative = false;
  if (!Word.empty() && (Word[0] == '-' || Word[0] == '+')) {
    negative = Word[0] == '-';
    Word.remove_prefix(1);
  }
  int base = 10;
  if (Word.size() > 2 && Word[0] == '0' && (Word[1] == 'x' || Word[1] == 'X')) {
    base = 16;
    Word.remove_prefix(2);
  }
  if (Word.empty()) return false;
  uint64_t v = 0;
  auto [end, ec] = std::from_chars(Word.data(), Word.data() + Word.size(), v, base);
  if (ec != std::errc() || end != Word.data() + Word.size() || v > (uint64_t(1) << 40))
    return false;
  Value = negative ? -int64_t(v) : int64_t(v);
  return true;
}

// A 32-bit field: signed or unsigned range, or an ident name.
bool ToField(std::string_view Word, int32_t& Value, bool AllowName = false) {
  int64_t v;
  if (!ToInt64(Word, v)) {
    if (!AllowName || (v = IdentByName(Word)) < 0) return false;
  }
  if (v < INT32_MIN || v > int64_t(UINT32_MAX)) return false;
  Value = int32_t(uint32_t(v));
  return true;
}

bool ToCount(std::string_view Word, int& Value, int Min, int Max) {
  int64_t v;
  if (!ToInt64(Word, v) || v < Min || v > Max) return false;
  Value = int(v);
  return true;
}

// A body or payload: "hex:" bytes, "enc:" text 6-bit encoded as a string,
// "encbuf:" hex bytes 6-bit encoded as a record, or the text itself.
bool ParseBody(std::string_view Text, std::string& Out, std::string& Error) {
  auto starts = [&](std::string_view prefix) {
    if (Text.substr(0, prefix.size()) != prefix) return false;
    Text.remove_prefix(prefix.size());
    return true;
  };
  if (starts("hex:")) {
    if (!ParseHex(Text, Out)) Error = "bad hex digits";
  } else if (starts("enc:")) {
    Out = EncodeString(Text);
  } else if (starts("encbuf:")) {
    std::string bytes;
    if (!ParseHex(Text, bytes))
      Error = "bad hex digits";
    else
      Out = EncodeBuffer(bytes.data(), bytes.size());
  } else {
    Out = std::string(Text);
  }
  return Error.empty();
}

bool ParseTarget(std::string_view Word, Target& To) {
  if (Word == "all") {
    To.All = true;
    return true;
  }
  const size_t colon = Word.find(':');
  int32_t handle;
  if (colon != std::string_view::npos) {
    if (!ToCount(Word.substr(0, colon), To.Link, 1, 1 << 30)) return false;
    Word.remove_prefix(colon + 1);
  }
  if (!ToField(Word, handle)) return false;
  To.Handle = handle;
  return true;
}

// <ident> <recog> <param> <tag> <series> [session=N] [zlib=N] [index=N]
// [nlength=N] [body]
bool ParseMessage(Words& W, Message& Msg, std::string& Error) {
  std::string_view word;
  int32_t* fields[] = {&Msg.Header.Ident, &Msg.Header.Recog, &Msg.Header.Param, &Msg.Header.Tag,
                       &Msg.Header.Series};
  const char* names[] = {"ident", "recog", "param", "tag", "series"};
  for (int i = 0; i < 5; ++i) {
    if (!W.Next(word) || !ToField(word, *fields[i], i == 0)) {
      Error = std::string("bad or missing ") + names[i];
      return false;
    }
  }
  for (;;) {
    const std::string_view option = W.Peek();
    const size_t eq = option.find('=');
    if (eq == std::string_view::npos) break;
    const std::string_view key = option.substr(0, eq);
    int32_t* field = key == "session"   ? &Msg.Header.nSessionID
                     : key == "zlib"    ? &Msg.Header.nIsZlib
                     : key == "index"   ? &Msg.Header.nIndex
                     : key == "nlength" ? &Msg.Header.nLength
                                        : nullptr;
    if (!field || !ToField(option.substr(eq + 1), *field)) break;
    if (key == "nlength") Msg.FixedLength = true;
    W.Next(word);
  }
  if (W.Empty()) return true;
  Msg.HasBody = true;
  return ParseBody(W.Rest(), Msg.Body, Error);
}

using Parser = std::function<bool(Words&, Command&, std::string&)>;

bool NeedTarget(Words& W, Target& To, std::string& Error) {
  std::string_view word;
  if (W.Next(word) && ParseTarget(word, To)) return true;
  Error = "bad or missing target (all, <handle> or <link>:<handle>)";
  return false;
}

bool NoMoreWords(Words& W, std::string& Error) {
  if (W.Empty()) return true;
  Error = "unexpected text: " + std::string(W.Rest());
  return false;
}

// "text <text>" or "msg <message>".
template <typename T>
bool ParseTextOrMsg(Words& W, T& C, std::string& Error) {
  std::string_view form;
  W.Next(form);
  if (form == "text") {
    C.IsText = true;
    return ParseBody(W.Rest(), C.Text, Error);
  }
  if (form == "msg") return ParseMessage(W, C.Msg, Error);
  Error = "expected text or msg";
  return false;
}

bool OptionalCount(Words& W, int& Value, int Min, int Max, const char* What, std::string& Error) {
  std::string_view word;
  if (!W.Next(word)) return true;
  if (ToCount(word, Value, Min, Max)) return true;
  Error = std::string("bad ") + What;
  return false;
}

const std::pair<const char*, Parser> kParsers[] = {
    {"data",
     [](Words& W, Command& C, std::string& E) {
       cmd::Data c;
       if (!NeedTarget(W, c.To, E) || !ParseTextOrMsg(W, c, E)) return false;
       C = std::move(c);
       return true;
     }},
    {"sendmsg",
     [](Words& W, Command& C, std::string& E) {
       cmd::SendMsg c;
       if (!ParseTextOrMsg(W, c, E)) return false;
       C = std::move(c);
       return true;
     }},
    {"sendrefmsg",
     [](Words& W, Command& C, std::string& E) {
       cmd::SendRefMsg c;
       std::string_view list;
       if (!W.Next(list)) {
         E = "missing slot list";
         return false;
       }
       c.AllSlots = list == "all";
       if (!c.AllSlots)
         for (char ch : list) c.List.push_back(ch == ',' ? '/' : ch);
       if (!ParseMessage(W, c.Msg, E)) return false;
       C = std::move(c);
       return true;
     }},
    {"sendguildmsg",
     [](Words& W, Command& C, std::string& E) {
       cmd::SendGuildMsg c;
       std::string_view guild;
       if (!W.Next(guild)) {
         E = "missing guild";
         return false;
       }
       c.Guild = std::string(guild);
       if (!ParseMessage(W, c.Msg, E)) return false;
       C = std::move(c);
       return true;
     }},
    {"send-example",
     [](Words& W, Command& C, std::string& E) {
       cmd::SendExample c;
       std::string_view name;
       if (!W.Next(name)) {
         E = "missing ident (or all)";
         return false;
       }
       const std::vector<std::string> names = samples::ExampleNames();
       if (name != "all" && std::find(names.begin(), names.end(), name) == names.end()) {
         E = "no example of " + std::string(name) + "; there are:";
         for (const std::string& n : names) E += " " + n;
         return false;
       }
       if (name != "all") c.Name = std::string(name);
       c.To.All = true;
       if (!W.Empty() && !NeedTarget(W, c.To, E)) return false;
       if (!NoMoreWords(W, E)) return false;
       C = std::move(c);
       return true;
     }},
    {"kick",
     [](Words& W, Command& C, std::string& E) {
       cmd::Kick c;
       if (!NeedTarget(W, c.To, E) || !NoMoreWords(W, E)) return false;
       C = c;
       return true;
     }},
    {"close",
     [](Words& W, Command& C, std::string& E) {
       cmd::Close c;
       if (!NeedTarget(W, c.To, E) || !NoMoreWords(W, E)) return false;
       C = c;
       return true;
     }},
    {"speed",
     [](Words& W, Command& C, std::string& E) {
       cmd::Speed c;
       if (!NeedTarget(W, c.To, E)) return false;
       // Eight comma-separated values, if the next word is that; the rest is
       // the body.
       std::string_view values = W.Peek();
       int parsed = 0;
       while (parsed < 8 && !values.empty()) {
         const size_t comma = values.find(',');
         int32_t v;
         if (!ToField(values.substr(0, comma), v)) break;
         c.Values[parsed++] = v;
         values = comma == std::string_view::npos ? std::string_view() : values.substr(comma + 1);
       }
       if (parsed == 8 && values.empty()) {
         c.HasValues = true;
         std::string_view skip;
         W.Next(skip);
       }
       if (!W.Empty()) {
         c.HasBody = true;
         if (!ParseBody(W.Rest(), c.Body, E)) return false;
       }
       C = std::move(c);
       return true;
     }},
    {"userindex",
     [](Words& W, Command& C, std::string& E) {
       cmd::UserIndex c;
       std::string_view word;
       if (!NeedTarget(W, c.To, E)) return false;
       if (!W.Next(word) || !ToCount(word, c.Index, 0, 65535)) {
         E = "bad or missing user index";
         return false;
       }
       C = c;
       return NoMoreWords(W, E);
     }},
    {"magicinfo",
     [](Words& W, Command& C, std::string& E) {
       cmd::MagicInfo c;
       if (!ParseBody(W.Rest(), c.Table, E)) return false;
       C = std::move(c);
       return true;
     }},
    {"checkserver",
     [](Words& W, Command& C, std::string& E) {
       C = cmd::CheckServer{};
       return NoMoreWords(W, E);
     }},
    {"receiveok",
     [](Words& W, Command& C, std::string& E) {
       C = cmd::ReceiveOk{};
       return NoMoreWords(W, E);
     }},
    {"frame",
     [](Words& W, Command& C, std::string& E) {
       cmd::Frame c;
       std::string_view word;
       int32_t ident, user;
       if (!W.Next(word) || !ToField(word, ident, true) || ident < 0 || ident > 65535) {
         E = "bad or missing ident";
         return false;
       }
       c.Ident = uint16_t(ident);
       if (!W.Next(word) || !ToField(word, c.Socket) || !W.Next(word) || !ToField(word, c.Handle) ||
           !W.Next(word) || !ToField(word, user) || user < 0 || user > 65535) {
         E = "expected <ident> <socket> <handle> <user> <nlength|auto|text> [payload]";
         return false;
       }
       c.User = uint16_t(user);
       if (!W.Next(word)) {
         E = "missing nlength";
         return false;
       }
       if (word == "auto") {
         c.LengthMode = cmd::Frame::Auto;
       } else if (word == "text") {
         c.LengthMode = cmd::Frame::TextLength;
       } else if (ToField(word, c.Length)) {
         c.LengthMode = cmd::Frame::Fixed;
       } else {
         E = "bad nlength";
         return false;
       }
       if (!ParseBody(W.Rest(), c.Payload, E)) return false;
       C = std::move(c);
       return true;
     }},
    {"raw",
     [](Words& W, Command& C, std::string& E) {
       cmd::Raw c;
       if (!ParseBody(W.Rest(), c.Bytes, E)) return false;
       if (c.Bytes.empty()) {
         E = "nothing to send";
         return false;
       }
       C = std::move(c);
       return true;
     }},
    {"split",
     [](Words& W, Command& C, std::string& E) {
       cmd::Split c;
       std::string_view word;
       if (!W.Next(word) || !ToCount(word, c.Pieces, 1, 1 << 20)) {
         E = "bad or missing piece count";
         return false;
       }
       if (!OptionalCount(W, c.GapMs, 0, 60000, "gap", E)) return false;
       C = c;
       return NoMoreWords(W, E);
     }},
    {"droplink",
     [](Words& W, Command& C, std::string& E) {
       cmd::DropLink c;
       if (!OptionalCount(W, c.Link, 0, 1 << 30, "link", E)) return false;
       C = c;
       return NoMoreWords(W, E);
     }},
    {"wait",
     [](Words& W, Command& C, std::string& E) {
       cmd::Wait c;
       std::string_view word;
       if (!W.Next(word) || !ToCount(word, c.Ms, 0, 3600000)) {
         E = "bad or missing milliseconds";
         return false;
       }
       C = c;
       return NoMoreWords(W, E);
     }},
    {"waitlink",
     [](Words& W, Command& C, std::string& E) {
       cmd::WaitLink c;
       if (!OptionalCount(W, c.TimeoutMs, 0, 3600000, "timeout", E)) return false;
       C = c;
       return NoMoreWords(W, E);
     }},
    {"waitlogin",
     [](Words& W, Command& C, std::string& E) {
       cmd::WaitLogin c;
       if (!OptionalCount(W, c.Count, 1, 1 << 20, "count", E) ||
           !OptionalCount(W, c.TimeoutMs, 0, 3600000, "timeout", E))
         return false;
       C = c;
       return NoMoreWords(W, E);
     }},
    {"sessions",
     [](Words& W, Command& C, std::string& E) {
       C = cmd::Sessions{};
       return NoMoreWords(W, E);
     }},
    {"echo",
     [](Words& W, Command& C, std::string&) {
       C = cmd::Echo{std::string(W.Rest())};
       return true;
     }},
    {"load",
     [](Words& W, Command& C, std::string& E) {
       cmd::Load c;
       if (W.Peek() == "stats") {
         std::string_view skip;
         W.Next(skip);
         c.Stats = true;
         C = c;
         return NoMoreWords(W, E);
       }
       if (W.Empty()) {
         E = "expected a load spec, off or stats";
         return false;
       }
       if (!ParseLoadSpec(W.Rest(), c.Spec, E)) return false;
       C = c;
       return true;
     }},
    {"help",
     [](Words&, Command& C, std::string&) {
       C = cmd::Help{};
       return true;
     }},
    {"quit",
     [](Words& W, Command& C, std::string& E) {
       C = cmd::Quit{};
       return NoMoreWords(W, E);
     }},
};

}  // namespace

int64_t IdentByName(std::string_view Name) {
  return FindIdentValue(Name);
}

ParseResult ParseCommand(std::string_view Line) {
  while (!Line.empty() && (Line.back() == '\r' || Line.back() == '\n')) Line.remove_suffix(1);
  Words words(Line);
  std::string_view name;
  if (!words.Next(name) || name[0] == '#') return {};
  for (const auto& [command, parse] : kParsers) {
    if (name != command) continue;
    ParseResult result;
    Command c;
    if (parse(words, c, result.Error))
      result.Cmd = std::move(c);
    else
      result.Error = std::string(command) + ": " + result.Error;
    return result;
  }
  return {std::nullopt, "unknown command: " + std::string(name)};
}

const char* CommandHelp() {
  return R"(Commands (one per line; blank lines and lines starting with # are ignored):
  data <target> text <text>        GM_DATA with a text payload (negative nLength)
  data <target> msg <message>      GM_DATA with a header, and a body when one is given
  sendmsg text <text>              GM_SENDMSG text to every player
  sendmsg msg <message>            GM_SENDMSG header [+ body]
  sendrefmsg <slots> <message>     GM_SENDREFMSG; slots "3/5", "3,5" or "all" (known
                                   sessions); no body sends the word "empty"
  sendguildmsg <guild> <message>   GM_SENDGUILDMSG: header, guild "|" body
  send-example <IDENT|all> [target]
                                   the protocol document's example of a translated
                                   ident (SM_DAMAGE, SM_LOGON, ...), or every one:
                                   GM_DATA, or GM_SENDREFMSG to the targets' slots
                                   for an ident converted only as a broadcast
  kick <target>                    GM_DATA header SM_KICK
  close <target>                   GM_CLOSE for the session
  speed <target> [w,r,h,m,acd,mcd,pd,pt] [body]
                                   GM_DATA GM_SPEED (defaults from --speed); a body
                                   makes it a header-and-body message
  userindex <target> <n>           GM_SERVERUSERINDEX
  magicinfo <table>                GM_SENDMAGICINFO, e.g. 12=1500#300#1;13=800#0#0
  checkserver | receiveok          GM_CHECKSERVER, or a GM_RECEIVE_OK probe
  frame <ident> <socket> <handle> <user> <nlength|auto|text> [payload]
                                   any frame; "text" appends a zero and negates nLength
  raw <bytes>                      bytes as they are (garbage on the link)
  split <n> [gap_ms]               send the next frame in n pieces, gap_ms apart (20)
  droplink [link]                  close one gateway link, or all
  wait <ms>                        pause this command source
  waitlink [timeout_ms]            pause until a gateway link is up (10000)
  waitlogin [count] [timeout_ms]   pause until count sessions are logged in
  sessions                         list the sessions
  echo <text>                      print text (a marker for scripts)
  load <spec> | load off           load mode: per-user messages and broadcasts at set
                                   rates (spec below); replaces the running one
  load stats                       counters of the load mode: "load sent user=..
                                   heavy=.. bcast=.. ref=.. skipped=.. echo=.."
  help | quit
<target>: all, <handle> or <link>:<handle>
<message>: <ident> <recog> <param> <tag> <series> [session=N] [zlib=N] [index=N]
           [nlength=N] [body]; ident by number or name (SM_KICK, GM_SPEED, ...);
           nLength is the body size unless given
<body>, <payload>, <text>, <bytes>, <table>: the rest of the line as typed, or
           hex:<hex digits>, enc:<text> (6-bit encoded string),
           encbuf:<hex digits> (6-bit encoded record bytes)
<spec>: words in any order, each optional (all rates per second):
           rate=N          per-user messages, spread over logged-in sessions
           mix=K:W,..      kinds and weights: text, opaque, logon (SM_LOGON player
                           record), abil (SM_ABILITY sheet), items (SM_BAGITEMS)
           size=N text=N   opaque body bytes (2023), text line characters (64)
           heavy=N         extra text lines per session whose account starts
                           with "slow" (clients that do not read)
           bcast=N bsize=N GM_SENDMSG to all and its body bytes (64)
           ref=N           GM_SENDREFMSG (SM_HIT) listing every logged-in slot
           maxqueue=N      skip a link with more unsent bytes (8388608)
         Load messages carry sequence numbers in Recog (per session, per kind of
         broadcast). A client message with ident 60101 is always answered with a
         GM_DATA of ident 60102 and the same header and body (echo).
Every command source waits for its own wait commands; control connections get
"ok" or "error: <reason>" after each command.
)";
}

}  // namespace gamesim
