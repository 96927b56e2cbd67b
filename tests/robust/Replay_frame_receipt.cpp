// The frame_receipt fuzz target, compiled with g++ to replay its kept inputs.
#define TAVREL_FUZZ_REPLAY
#include "../../fuzz/targets/frame_receipt.cpp"
