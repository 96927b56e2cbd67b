// The gateway's command line: `--config FILE` and one flag (or its short form) may lead, in
// either order; whatever follows them is the control program's positional arguments, none of
// which may begin with "-". A flag prints, returns the exit code, opens no socket and writes no
// file.
#pragma once

#include <cstdio>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "shared/Share.h"

struct TCommandLine {
  std::string sConfigFile = kConfigFileName;
  bool boConfigGiven = false;           // the operator's file: never written
  std::string sFlag;                    // "--help", "--version", "--check-config"; empty: start
  std::vector<std::string> positional;  // HANDLE ARG2 ARG3 INDEX PORT
  std::string sError;                   // why the command line cannot be used
};

TCommandLine ParseCommandLine(const std::vector<std::string>& args);

// A check of a part the engine does not know (the console), run once the settings are loaded;
// returns why the start would fail, or empty, and adds to `notes` what would not stop it.
using TStartCheck = std::function<std::string(std::vector<std::string>& notes)>;

// Runs the flag of `cmd` and returns its exit code (2 for a command line that cannot be used), or
// nullopt when the gateway is to start. Output goes to `out`, complaints to `err`.
std::optional<int> RunFlag(const TCommandLine& cmd, std::FILE* out, std::FILE* err,
                           const TStartCheck& check = {});

// The settings check of --check-config on `fileName` (`keepFile`: named with --config, so never
// written): prints every warning and each key that is unusable with its file and line, each
// missing key with the value it would get, notes (a port in use now), and whatever would stop
// the gateway from starting (the start's own checks, then `check`). Returns 1 when it would
// refuse to start, 2 when it would start but read the file other than as written, else 0. Reads
// regular files of bounded size only; binds nothing, writes nothing.
int CheckConfig(const std::string& fileName, bool keepFile, std::FILE* out,
                const TStartCheck& check = {});
