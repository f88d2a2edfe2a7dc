// The Asio and Boost.System names vantrip uses, in one place.
#pragma once

#include <boost/asio.hpp>
#include <boost/system/error_code.hpp>

namespace asio = boost::asio;
using asio_tcp = boost::asio::ip::tcp;
using asio_udp = boost::asio::ip::udp;
using asio_icmp = boost::asio::ip::icmp;
using error_code = boost::system::error_code;
