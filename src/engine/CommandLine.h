// The gateway's flags: a first argument beginning with "--" asks for one of
// them and is never a position of the control program's command line. A
// flag prints, returns the exit code and opens no socket and writes no file.
#pragma once

#include <cstdio>
#include <optional>
#include <string>
#include <vector>

// Runs the flag in `args` (the arguments after the program name) and returns its exit code, or
// nullopt when the first argument is not a flag and the gateway is to start. Output goes to
// `out`, complaints to `err`.
std::optional<int> RunFlag(const std::vector<std::string>& args, std::FILE* out, std::FILE* err);

// The settings check of --check-config on `fileName`: prints each key that is missing or unusable
// with the value it would get, and whatever would stop the gateway from starting. Returns 0 when
// it would start, 1 when it would refuse.
int CheckConfig(const std::string& fileName, std::FILE* out);
