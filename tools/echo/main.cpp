// tavrel-echo: the comparison echo server. Parses the command line, starts
// the server on a single-threaded io_context and runs until a signal.
#include <csignal>
#include <cstdio>
#include <exception>
#include <string>
#include <string_view>

#include <boost/asio/io_context.hpp>
#include <boost/asio/signal_set.hpp>

#include "EchoServer.h"

namespace {

const char* kUsage = R"(Usage: tavrel-echo [options]
A single-threaded Boost.Beast WebSocket echo server: every message goes back
as it came (text as text, binary as binary). Prints "listening on <port>".

  --addr A            listen address (127.0.0.1)
  --port N            port (0 picks one)
  --tls CERT KEY      WebSocket over TLS with these PEM files
  --tcp               a bare TCP echo instead (a back end for websockify)
  --relay PORT        a relay instead: every message goes over one TCP
                      connection to the --tcp echo on 127.0.0.1:PORT and back
                      to its client, batched per loop turn as the gateway's
                      link is (exits 1 when that connection fails)
  --help
)";

int Fail(const std::string& Message) {
  std::fprintf(stderr, "tavrel-echo: %s\n", Message.c_str());
  return 2;
}

}  // namespace

int main(int argc, char** argv) {
  echo::TEchoOptions opts;
  for (int i = 1; i < argc; ++i) {
    const std::string_view arg = argv[i];
    auto more = [&](int n) { return i + n < argc; };
    if (arg == "--help" || arg == "-h") {
      std::fputs(kUsage, stdout);
      return 0;
    } else if (arg == "--addr" && more(1)) {
      opts.Addr = argv[++i];
    } else if (arg == "--port" && more(1)) {
      const long port = std::strtol(argv[++i], nullptr, 10);
      if (port < 0 || port > 65535) return Fail("bad port");
      opts.Port = uint16_t(port);
    } else if (arg == "--tls" && more(2)) {
      opts.CertFile = argv[++i];
      opts.KeyFile = argv[++i];
    } else if (arg == "--tcp") {
      opts.Tcp = true;
    } else if (arg == "--relay" && more(1)) {
      const long port = std::strtol(argv[++i], nullptr, 10);
      if (port < 1 || port > 65535) return Fail("bad relay port");
      opts.RelayPort = uint16_t(port);
    } else {
      return Fail("unknown or incomplete option " + std::string(arg) + " (see --help)");
    }
  }
  if (opts.RelayPort != 0 && (opts.Tcp || !opts.CertFile.empty()))
    return Fail("--relay serves plain WebSocket: not with --tcp or --tls");
  std::signal(SIGPIPE, SIG_IGN);
  boost::asio::io_context ioc(1);
  echo::TEchoServer server(ioc, opts);
  try {
    std::printf("listening on %u\n", unsigned(server.Start()));
    std::fflush(stdout);
  } catch (const std::exception& e) {
    return Fail(std::string("cannot start: ") + e.what());
  }
  boost::asio::signal_set signals(ioc, SIGINT, SIGTERM);
  signals.async_wait([&](const boost::system::error_code&, int) {
    server.Stop();
    ioc.stop();
  });
  ioc.run();
  return server.Lost() ? 1 : 0;
}
