// Separate compilation of Asio alone: without the WebSocket adapter the fuzz
// build needs neither Beast nor TLS.
#include <boost/asio/impl/src.hpp>
