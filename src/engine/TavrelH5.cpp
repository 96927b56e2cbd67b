// Program entry: a flag prints and exits; otherwise builds the io_context and
// the main form, installs the signal handling and runs the loop until the
// form closes.
#include <csignal>
#include <cstdio>
#include <exception>
#include <functional>
#include <string>
#include <vector>

#include <boost/asio/io_context.hpp>
#include <boost/asio/signal_set.hpp>

#include "console/Console.h"
#include "engine/CommandLine.h"
#include "engine/MainUnit.h"
#include "platform/HandoverFds.h"
#include "shared/Share.h"

int main(int argc, char* argv[]) {
  // Started by a hand-over: the variable names what the image before passed.
  std::string handover;
  const bool handedOver = TakeHandoverVariable(handover);
  const TCommandLine cmd = ParseCommandLine(std::vector<std::string>(argv + 1, argv + argc));
  const auto consoleCheck = [](std::vector<std::string>& notes) {
    return ConsoleStartProblem(&notes);
  };
  if (const auto code = RunFlag(cmd, stdout, stderr, consoleCheck)) return *code;

  std::signal(SIGPIPE, SIG_IGN);
  boost::asio::io_context io(1);
  // Installed before start-up, so that a signal during it is not fatal.
  boost::asio::signal_set signals(io, SIGTERM, SIGINT, SIGHUP);
  signals.add(SIGUSR1);
  signals.add(SIGUSR2);
  signals.add(SIGQUIT);
  TMainForm form(io, cmd.positional, cmd.sConfigFile, cmd.boConfigGiven);
  form.SetImage(std::vector<std::string>(argv, argv + argc));
  if (handedOver) form.InheritHandover(std::move(handover));
  try {
    form.FormCreate();
  } catch (const std::exception& e) {
    std::fprintf(stderr, "tavrelh5: cannot start: %s\n", e.what());
    return 1;
  }
  // Declared after the form, so it unhooks itself before the form goes. Without it there is no
  // health check, and a balancer would never take the gateway in: its failure fails the start.
  TConsole console(io, form);
  if (std::string why; !console.Start(why)) {
    form.StartFailed("console: " + why);
    return form.ExitCode();
  }
  if (handedOver) form.ReleaseHeldSignals();

  // SIGTERM and SIGINT drain and end the gateway in every state; SIGHUP
  // reloads what is safe to change at run time and the TLS files; SIGUSR1
  // reopens the logs (log rotation); SIGUSR2 hands the gateway over to a new
  // image of its binary. SIGQUIT would dump core: a stray one must not take
  // the players down.
  std::function<void()> watchSignals = [&] {
    signals.async_wait([&](const boost::system::error_code& ec, int sig) {
      if (ec) return;
      switch (sig) {
        case SIGHUP:
          form.ReloadSettings();
          console.ReloadToken();
          form.ReloadTLS();
          break;
        case SIGUSR1:
          form.ReopenLogs();
          break;
        case SIGUSR2:
          form.HandOver();
          break;
        case SIGQUIT:
          MainOutWarning("SIGQUIT ignored");
          break;
        default:
          form.Close();
      }
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
  return form.ExitCode();
}
