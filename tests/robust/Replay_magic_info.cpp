// The magic_info fuzz target, compiled with g++ to replay its kept inputs.
#define TAVREL_FUZZ_REPLAY
#include "../../fuzz/targets/magic_info.cpp"
