// The make_socket_str fuzz target, compiled with g++ to replay its kept inputs.
#define TAVREL_FUZZ_REPLAY
#include "../../fuzz/targets/make_socket_str.cpp"
