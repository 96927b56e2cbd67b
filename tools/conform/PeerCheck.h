// What the two peer checks share: their command-line options and the report
// of their rules. A rule is a "must" (breaking it fails the run) or a
// "should" (breaking it is a warning); each ends as one line, PASS, FAIL,
// WARN or SKIP (not observed), followed by a summary. Used on the loop
// thread of a check only.
#pragma once

#include <chrono>
#include <cstdint>
#include <map>
#include <string>
#include <string_view>
#include <vector>

namespace conform {

struct PeerOptions {
  std::string Addr = "127.0.0.1";
  uint16_t Port = 0;
  int Seconds = 0;
};

// Reads --addr, --port, --seconds and --codec (installing the codec tables).
// False with the reason on a usage error.
bool ParsePeerOptions(const std::vector<std::string>& Args, PeerOptions& Out, std::string& Error);

enum class Level { Must, Should };

class Report {
 public:
  // Rules print in the order declared. Skip says why a rule that was never
  // put to the test is skipped; the first reason given stays.
  void Declare(const char* Rule, Level L, std::string Skip = "");
  void Unobserved(const char* Rule, std::string Why);
  // The rule was put to the test and held.
  void Held(const char* Rule);
  // The reason, printf-style: the first is kept, later breaks are counted.
  void Broke(const char* Rule, const char* Format, ...) __attribute__((format(printf, 3, 4)));
  bool Tested(const char* Rule) const;
  // Prints the lines and the summary; the exit status (1 when a must broke).
  int Print() const;

 private:
  struct Verdict {
    Level Lvl = Level::Must;
    bool Held = false;
    int Breaks = 0;
    std::string Why;
  };
  Verdict& Find(const char* Rule);

  std::vector<std::string> order_;
  std::map<std::string, Verdict, std::less<>> verdicts_;
};

// "1.2 s" since Since, for the reasons.
std::string SecondsSince(std::chrono::steady_clock::time_point Since);
// A short printable sample of untrusted bytes.
std::string Sample(std::string_view Bytes);
// The name of a message ident (SM_, CM_ or GM_ message), or its number.
std::string MessageName(int32_t Ident);

}  // namespace conform
