// The resume fuzz target, compiled with g++ to replay its kept inputs.
#define TAVREL_FUZZ_REPLAY
#include "../../fuzz/targets/resume.cpp"
