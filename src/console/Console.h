// The operator console: an HTTP server on the main io_context, on [Console]
// Addr:Port, serving the console page and the demo client from the binary,
// answering the page's requests through TConsoleApi, and pushing the main
// log, the status panels and the log switch to every open page as
// server-sent events. Owns its listener and connections; the form outlives
// it. Main thread only.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace boost::asio {
class io_context;
}
class TMainForm;

class TConsole {
 public:
  TConsole(boost::asio::io_context& io, TMainForm& form);
  // Stops listening, ends the event streams and unhooks the form.
  ~TConsole();
  TConsole(const TConsole&) = delete;
  TConsole& operator=(const TConsole&) = delete;

  // Reads [Console] and starts listening. Writes the console's URL to the
  // main log (with the token it made when [Console] Token is empty), or why
  // it does not start (see ConsoleStartProblem) into the main log and `why`;
  // the gateway cannot run without it.
  bool Start(std::string& why);
  // The bound port; 0 when not started.
  uint16_t LocalPort() const;
  // Takes [Console] Token as it now is (SIGHUP); an empty one gets a new
  // made token, told in the main log.
  void ReloadToken();

  class TImpl;

 private:
  void AnnounceUrl() const;

  boost::asio::io_context& io_;
  TMainForm& form_;
  std::shared_ptr<TImpl> impl_;  // shared with the connections' pending handlers
  std::string url_;
  std::string madeToken_;  // made at start as [Console] Token is empty
};

// Why the console cannot start with the settings in force: an address off
// loopback without a token or not an address at all, a port out of range or
// equal to the WebSocket port (g_GatePort). Empty when it can; then a port
// that is listened on now goes into `pNotes`, found without binding it.
std::string ConsoleStartProblem(std::vector<std::string>* pNotes = nullptr);
