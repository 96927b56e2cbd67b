// The gateway's command line: `--config FILE` and one flag may lead, in either order; whatever
// follows them is the control program's positional arguments. A flag prints, returns the exit
// code and writes no file; only --check-config opens a socket, to bind the console's port and
// let it go again.
#pragma once

#include <cstdio>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "shared/Share.h"

struct TCommandLine {
  std::string sConfigFile = kConfigFileName;
  std::string sFlag;                    // "--help", "--version", "--check-config"; empty: start
  std::vector<std::string> positional;  // HANDLE ARG2 ARG3 INDEX PORT
  std::string sError;                   // why the command line cannot be used
};

TCommandLine ParseCommandLine(const std::vector<std::string>& args);

// A check of a part the engine does not know (the console), run once the settings are loaded;
// returns why the start would fail, or empty.
using TStartCheck = std::function<std::string()>;

// Runs the flag of `cmd` and returns its exit code (2 for a command line that cannot be used), or
// nullopt when the gateway is to start. Output goes to `out`, complaints to `err`.
std::optional<int> RunFlag(const TCommandLine& cmd, std::FILE* out, std::FILE* err,
                           const TStartCheck& check = {});

// The settings check of --check-config on `fileName`: prints every warning, each key that is
// missing or unusable with the value it would get, and whatever would stop the gateway from
// starting (the start's own checks, then `check`). Returns 0 when it would start, 1 when it would
// refuse. Reads regular files of bounded size only; writes nothing.
int CheckConfig(const std::string& fileName, std::FILE* out, const TStartCheck& check = {});
