// FUZZ_TARGET(Name) { ... data, size ... } defines one fuzz entry. Built with
// libFuzzer it is LLVMFuzzerTestOneInput; built for the regression replay
// (TAVREL_FUZZ_REPLAY) it registers a named function so that one program can
// replay the kept inputs of every target.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>

using TFuzzEntry = int (*)(const uint8_t* data, size_t size);

#ifdef TAVREL_FUZZ_REPLAY
bool RegisterFuzzTarget(const char* name, TFuzzEntry entry);
#define FUZZ_TARGET(Name)                                      \
  static int FuzzOne_##Name(const uint8_t* data, size_t size); \
  [[maybe_unused]] static const bool registered_##Name =       \
      RegisterFuzzTarget(#Name, FuzzOne_##Name);               \
  static int FuzzOne_##Name(const uint8_t* data, size_t size)
#else
#define FUZZ_TARGET(Name) extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
#endif

// A property the fuzzed code must keep: aborts (a finding) when broken.
#define FUZZ_CHECK(cond)                                     \
  do {                                                       \
    if (!(cond)) FuzzCheckFailed(#cond, __FILE__, __LINE__); \
  } while (0)

[[noreturn]] inline void FuzzCheckFailed(const char* cond, const char* file, int line) {
  std::fprintf(stderr, "%s:%d: property broken: %s\n", file, line, cond);
  std::abort();
}
