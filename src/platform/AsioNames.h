// The short names of Boost's networking namespaces, as Beast's own examples
// write them, for the sources that speak WebSocket or TLS. Names only: each
// source includes the Asio and Beast headers it uses.
#pragma once

#include <boost/asio/ip/tcp.hpp>
#include <boost/system/error_code.hpp>

namespace boost::asio::ssl {}
namespace boost::beast::websocket {}

namespace asio = boost::asio;
namespace beast = boost::beast;
namespace websocket = beast::websocket;
namespace ssl = asio::ssl;
using tcp = asio::ip::tcp;
using boost::system::error_code;
