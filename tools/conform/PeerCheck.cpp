#include "conform/PeerCheck.h"

#include <cstdarg>
#include <cstdio>
#include <span>
#include <stdexcept>

#include "protocol/Grobal2.h"
#include "protocol/HUtil32.h"
#include "testkit/CodecFile.h"
#include "testkit/GateCodec.h"

namespace conform {

bool ParsePeerOptions(const std::vector<std::string>& Args, PeerOptions& Out, std::string& Error) {
  for (size_t i = 0; i < Args.size(); ++i) {
    const std::string& arg = Args[i];
    if (i + 1 == Args.size()) {
      Error = arg + " needs a value (or is not an option)";
      return false;
    }
    const std::string& value = Args[++i];
    const int64_t n = Str_ToInt(value, -1);
    if (arg == "--addr") {
      Out.Addr = value;
    } else if (arg == "--port" && n >= 0 && n <= 65535) {
      Out.Port = uint16_t(n);
    } else if (arg == "--seconds" && n >= 1 && n <= 3600) {
      Out.Seconds = int(n);
    } else if (arg == "--codec") {
      const std::string why = testkit::LoadCodecFile(value);
      if (!why.empty()) {
        Error = "--codec: " + why;
        return false;
      }
    } else {
      Error = "bad option or value: " + arg + " " + value;
      return false;
    }
  }
  return true;
}

void Report::Declare(const char* Rule, Level L, std::string Skip) {
  order_.emplace_back(Rule);
  verdicts_[Rule] = Verdict{L, false, 0, std::move(Skip)};
}

Report::Verdict& Report::Find(const char* Rule) {
  auto it = verdicts_.find(std::string_view(Rule));
  if (it == verdicts_.end()) throw std::logic_error(std::string("undeclared rule ") + Rule);
  return it->second;
}

void Report::Unobserved(const char* Rule, std::string Why) {
  Verdict& v = Find(Rule);
  if (v.Breaks == 0 && v.Why.empty()) v.Why = std::move(Why);
}

void Report::Held(const char* Rule) {
  Find(Rule).Held = true;
}

void Report::Broke(const char* Rule, const char* Format, ...) {
  Verdict& v = Find(Rule);
  if (v.Breaks++ > 0) return;
  char why[512];
  va_list args;
  va_start(args, Format);
  std::vsnprintf(why, sizeof(why), Format, args);
  va_end(args);
  v.Why = why;
}

bool Report::Tested(const char* Rule) const {
  const auto it = verdicts_.find(std::string_view(Rule));
  return it != verdicts_.end() && (it->second.Held || it->second.Breaks > 0);
}

int Report::Print() const {
  int passed = 0, failed = 0, warned = 0, skipped = 0;
  for (const std::string& rule : order_) {
    const Verdict& v = verdicts_.at(rule);
    const std::string more =
        v.Breaks > 1 ? " (and " + std::to_string(v.Breaks - 1) + " more)" : std::string();
    if (v.Breaks > 0 && v.Lvl == Level::Must) {
      ++failed;
      std::printf("FAIL %s: %s%s\n", rule.c_str(), v.Why.c_str(), more.c_str());
    } else if (v.Breaks > 0) {
      ++warned;
      std::printf("WARN %s: %s%s (a \"should\": does not fail)\n", rule.c_str(), v.Why.c_str(),
                  more.c_str());
    } else if (v.Held) {
      ++passed;
      std::printf("PASS %s\n", rule.c_str());
    } else {
      ++skipped;
      std::printf("SKIP %s: %s\n", rule.c_str(), v.Why.empty() ? "not observed" : v.Why.c_str());
    }
  }
  std::printf("%s: %d passed, %d failed, %d warnings, %d skipped\n", failed ? "FAILED" : "PASSED",
              passed, failed, warned, skipped);
  std::fflush(stdout);
  return failed ? 1 : 0;
}

std::string SecondsSince(std::chrono::steady_clock::time_point Since) {
  const std::chrono::duration<double> d = std::chrono::steady_clock::now() - Since;
  char buf[32];
  std::snprintf(buf, sizeof(buf), "%.1f s", d.count());
  return buf;
}

std::string Sample(std::string_view Bytes) {
  constexpr size_t kShown = 48;
  std::string out = testkit::EscapeText(Bytes.substr(0, kShown));
  if (Bytes.size() > kShown) out += "...";
  return out;
}

std::string MessageName(int32_t Ident) {
  // The families share no value among these three.
  for (std::span<const TIdentName> table : {std::span<const TIdentName>(kServerIdentNames),
                                            std::span<const TIdentName>(kClientIdentNames),
                                            std::span<const TIdentName>(kGatewayIdentNames)})
    if (const char* name = FindIdentName(table, Ident)) return name;
  return "ident " + std::to_string(Ident);
}

}  // namespace conform
