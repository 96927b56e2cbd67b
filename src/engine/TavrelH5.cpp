// Program entry: builds the io_context and the main form, installs the signal
// handling and runs the loop until the form closes.
#include <csignal>
#include <cstdio>
#include <exception>
#include <functional>
#include <string>
#include <vector>

#include <boost/asio/io_context.hpp>
#include <boost/asio/signal_set.hpp>

#include "console/Console.h"
#include "engine/MainUnit.h"
#include "protocol/Grobal2.h"

int main(int argc, char* argv[]) {
  std::signal(SIGPIPE, SIG_IGN);
  boost::asio::io_context io(1);
  TMainForm form(io, std::vector<std::string>(argv + 1, argv + argc));
  try {
    form.FormCreate();
  } catch (const std::exception& e) {
    std::fprintf(stderr, "tavrelh5: cannot start: %s\n", e.what());
    return 1;
  }
  // Declared after the form, so it unhooks itself before the form goes.
  TConsole console(io, form);
  console.Start();

  // SIGTERM and SIGINT end the gateway like the control program's quit.
  boost::asio::signal_set signals(io, SIGTERM, SIGINT);
  std::function<void()> watchSignals = [&] {
    signals.async_wait([&](const boost::system::error_code& ec, int) {
      if (ec) return;
      form.MyMessage(GS_QUIT);
      watchSignals();
    });
  };
  watchSignals();

  while (!form.Closed()) {
    try {
      io.run();
      break;
    } catch (const std::exception& e) {
      // Every operation contains its own failures; this is the last net.
      std::fprintf(stderr, "tavrelh5: unexpected failure in the event loop: %s\n", e.what());
    }
  }
  return 0;
}
