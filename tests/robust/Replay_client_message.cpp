// The client_message fuzz target, compiled with g++ to replay its kept inputs.
#define TAVREL_FUZZ_REPLAY
#include "../../fuzz/targets/client_message.cpp"
