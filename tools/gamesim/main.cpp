// tavrel-gamesim: a scriptable game server for tests, demos and load. Parses
// the command line, builds the io_context and the server, runs the loop.
#include <csignal>
#include <cstdio>
#include <string>
#include <string_view>
#include <type_traits>

#include <boost/asio/io_context.hpp>
#include <boost/asio/signal_set.hpp>

#include "gamesim/GameSim.h"
#include "protocol/HUtil32.h"
#include "testkit/CodecFile.h"

namespace {

const char* kUsage = R"(Usage: tavrel-gamesim [options]
A test game server for the TavrelH5 gateway.

Options:
  --addr A              listen address (127.0.0.1)
  --port N              port the gateway connects to (5000; 0 picks one)
  --control-port N      also take commands on this TCP port (0 picks one)
  --script FILE         run the commands in FILE at start
  --no-stdin            do not read commands from standard input
  --checkserver-ms N    GM_CHECKSERVER period in ms (2000; 0 never)
  --probe-ms N          GM_RECEIVE_OK probe period in ms (0: on command only)
  --speed W,R,H,M,ACD,MCD,PD,PT
                        GM_SPEED sent at login: walk, run, hit, spell intervals,
                        attack and magic global cooldowns, punish delay and
                        threshold (600,600,900,900,900,900,5,200)
  --magicinfo TABLE     GM_SENDMAGICINFO sent at login ("" sends none)
                        (1=1000#0#0;2=1500#300#1)
  --no-auto             send nothing by itself at login (no user index, speed
                        or magic info)
  --codec FILE          codec constants from the [Codec] section of an INI
                        file such as the gateway's Tavrel.ini
  --quiet               no recv/send line per frame (for load runs)
  --load SPEC           start in load mode (see the load command below)
  --help

Standard output, one line per event, flushed:
  listening on <port>                 always the first line
  control on <port>                   with --control-port
  link <n> up <addr>:<port> | link <n> down
  recv <IDENT> link=<n> socket=<slot> handle=<h> user=<u> len=<nLength> ...
       GM_OPEN: addr="..."     GM_RECEIVE_OK: rtt=<ms>ms (answer to a probe)
       GM_H5DATA login: login idx=<packet index> account=".." char=".." uid=".."
                        text="<login text>"
       GM_H5DATA other: msg ident= recog= param= tag= series= session= zlib=
                        nlength= index= body="..."
       other idents with a payload: payload="..."
  send <IDENT> link=.. socket=.. handle=.. user=.. len=..  |  send raw link=.. bytes=..
  garbage link=<n> skipped=<bytes>
  error: <reason>                     a command from stdin or a script failed
Texts are quoted; bytes outside printable ASCII appear as \xNN.
The end of standard input does not stop the server: use quit or a signal.

)";

bool ParseSpeed(std::string_view Text, int (&Values)[8]) {
  int n = 0;
  while (n < 8) {
    const size_t comma = Text.find(',');
    const int64_t v = Str_ToInt(Text.substr(0, comma), INT64_MIN);
    if (v < 0 || v > 65535) return false;
    Values[n++] = int(v);
    if (comma == std::string_view::npos) break;
    Text.remove_prefix(comma + 1);
  }
  return n == 8;
}

int Fail(const std::string& Message) {
  std::fprintf(stderr, "tavrel-gamesim: %s\n", Message.c_str());
  return 2;
}

}  // namespace

int main(int argc, char** argv) {
  gamesim::Options opts;
  std::string codecFile;
  for (int i = 1; i < argc; ++i) {
    const std::string_view arg = argv[i];
    auto value = [&]() -> const char* { return i + 1 < argc ? argv[++i] : nullptr; };
    auto number = [&](auto& out, int64_t max) {
      const char* v = value();
      const int64_t n = v ? Str_ToInt(v, -1) : -1;
      if (n < 0 || n > max) return false;
      out = static_cast<std::remove_reference_t<decltype(out)>>(n);
      return true;
    };
    auto port = [&](uint16_t& out) { return number(out, 65535); };
    auto millis = [&](int& out) { return number(out, 86400000); };
    const char* v = nullptr;
    if (arg == "--help" || arg == "-h") {
      std::fputs(kUsage, stdout);
      std::fputs(gamesim::CommandHelp(), stdout);
      return 0;
    } else if (arg == "--addr") {
      if (!(v = value())) return Fail("--addr needs an address");
      opts.Addr = v;
    } else if (arg == "--port") {
      if (!port(opts.Port)) return Fail("--port needs a port number");
    } else if (arg == "--control-port") {
      if (!port(opts.ControlPort)) return Fail("--control-port needs a port number");
      opts.Control = true;
    } else if (arg == "--script") {
      if (!(v = value())) return Fail("--script needs a file");
      opts.Script = v;
    } else if (arg == "--no-stdin") {
      opts.ReadStdin = false;
    } else if (arg == "--checkserver-ms") {
      if (!millis(opts.CheckServerMs)) return Fail("--checkserver-ms needs milliseconds");
    } else if (arg == "--probe-ms") {
      if (!millis(opts.ProbeMs)) return Fail("--probe-ms needs milliseconds");
    } else if (arg == "--speed") {
      if (!(v = value()) || !ParseSpeed(v, opts.Speed))
        return Fail("--speed needs eight comma-separated values 0..65535");
    } else if (arg == "--magicinfo") {
      if (!(v = value())) return Fail("--magicinfo needs a table");
      opts.MagicInfo = v;
    } else if (arg == "--no-auto") {
      opts.AutoLogin = false;
    } else if (arg == "--quiet") {
      opts.Quiet = true;
    } else if (arg == "--load") {
      std::string error;
      if (!(v = value()) || !gamesim::ParseLoadSpec(v, opts.Load, error))
        return Fail("--load needs a load spec: " + error);
    } else if (arg == "--codec") {
      if (!(v = value())) return Fail("--codec needs a file");
      codecFile = v;
    } else {
      return Fail("unknown option " + std::string(arg) + " (see --help)");
    }
  }
  if (!codecFile.empty()) {
    const std::string error = testkit::LoadCodecFile(codecFile);
    if (!error.empty()) return Fail("codec: " + error);
  }

  std::signal(SIGPIPE, SIG_IGN);
  boost::asio::io_context io;
  gamesim::GameSim sim(io, opts);
  try {
    sim.Start();
  } catch (const std::exception& e) {
    return Fail(std::string("cannot start: ") + e.what());
  }
  boost::asio::signal_set signals(io, SIGINT, SIGTERM);
  signals.async_wait([&](const boost::system::error_code& ec, int) {
    if (ec) return;
    sim.Stop();
    io.stop();
  });
  io.run();
  sim.Stop();
  return 0;
}
