// Separate compilation of Asio and Beast (with TLS) for the whole project.
#include <boost/asio/impl/src.hpp>
#include <boost/asio/ssl/impl/src.hpp>
#include <boost/beast/src.hpp>
