#pragma once

// Asio's awaitable needs std::exchange before it is included (Boost 1.74).
#include "base/Result.h"
#include "base/Scheduler.h"
#include "net/Url.h"

#include <boost/asio/awaitable.hpp>
#include <boost/asio/ssl/context.hpp>
#include <boost/beast/core/tcp_stream.hpp>
#include <boost/beast/ssl/ssl_stream.hpp>
#include <string>
#include <utility>

namespace quorlinth::net {

// The streams an HTTP or WebSocket client runs over; plain on loopback, TLS otherwise.
using TcpStream = boost::beast::tcp_stream;
using TlsStream = boost::beast::ssl_stream<boost::beast::tcp_stream>;

// Where a connection failed; decides the user-facing description.
enum class NetStage { resolve, connect, tls, exchange, response };

// One Chinese sentence for a transport failure, with the system's detail in parentheses.
std::string describeNetError(NetStage stage, const boost::system::error_code& error);

// Resolves the URL's host and connects before `deadline`.
boost::asio::awaitable<Result<void>> connectTcp(TcpStream& stream, const Url& url,
                                                Clock::time_point deadline);

// Performs the client handshake: server name indication and certificate checks against the
// URL's host name or IP address.
boost::asio::awaitable<Result<void>> handshakeTls(TlsStream& stream, const Url& url,
                                                  Clock::time_point deadline);

} // namespace quorlinth::net
