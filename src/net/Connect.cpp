#include "net/Connect.h"

#include <boost/asio/ip/address.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/redirect_error.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/asio/this_coro.hpp>
#include <boost/asio/use_awaitable.hpp>
#include <boost/beast/core/error.hpp>
#include <openssl/ssl.h>
#include <openssl/x509v3.h>

namespace quorlinth::net {

namespace asio = boost::asio;
namespace beast = boost::beast;
using boost::system::error_code;

std::string describeNetError(NetStage stage, const error_code& error) {
    std::string detail = "（" + error.message() + "）";
    if (error == beast::error::timeout || error == asio::error::timed_out) return "请求超时。" + detail;
    switch (stage) {
    case NetStage::resolve:
        return "未能找到使用指定主机名的服务器。" + detail;
    case NetStage::connect:
        return "未能连接到服务器。" + detail;
    case NetStage::tls:
        return "发生了 SSL 错误，无法建立与该服务器的安全连接。" + detail;
    case NetStage::exchange:
        return "网络连接已中断。" + detail;
    case NetStage::response:
        return "服务器返回了无效的响应。" + detail;
    }
    return "网络错误。" + detail;
}

asio::awaitable<Result<void>> connectTcp(TcpStream& stream, const Url& url, Clock::time_point deadline) {
    auto executor = co_await asio::this_coro::executor;
    // The resolver has no deadline of its own; a timer cancels it.
    auto resolver = std::make_shared<asio::ip::tcp::resolver>(executor);
    auto timedOut = std::make_shared<bool>(false);
    asio::steady_timer timer(executor, deadline);
    timer.async_wait([weak = std::weak_ptr(resolver), timedOut](const error_code& ec) {
        if (ec) return;
        *timedOut = true;
        if (auto live = weak.lock()) live->cancel();
    });
    error_code ec;
    auto endpoints =
        co_await resolver->async_resolve(url.host, url.port, asio::redirect_error(asio::use_awaitable, ec));
    timer.cancel();
    if (*timedOut) co_return Error{describeNetError(NetStage::resolve, beast::error::timeout)};
    if (ec) co_return Error{describeNetError(NetStage::resolve, ec)};

    stream.expires_at(deadline);
    co_await stream.async_connect(endpoints, asio::redirect_error(asio::use_awaitable, ec));
    if (ec) co_return Error{describeNetError(NetStage::connect, ec)};
    co_return Result<void>{};
}

asio::awaitable<Result<void>> handshakeTls(TlsStream& stream, const Url& url, Clock::time_point deadline) {
    SSL* ssl = stream.native_handle();
    X509_VERIFY_PARAM* param = SSL_get0_param(ssl);
    error_code addressError;
    asio::ip::make_address(url.host, addressError);
    bool isAddress = !addressError;
    if (isAddress) {
        X509_VERIFY_PARAM_set1_ip_asc(param, url.host.c_str());
    } else {
        SSL_set_tlsext_host_name(ssl, url.host.c_str());
        X509_VERIFY_PARAM_set_hostflags(param, X509_CHECK_FLAG_NO_PARTIAL_WILDCARDS);
        X509_VERIFY_PARAM_set1_host(param, url.host.c_str(), url.host.size());
    }
    beast::get_lowest_layer(stream).expires_at(deadline);
    error_code ec;
    co_await stream.async_handshake(asio::ssl::stream_base::client,
                                    asio::redirect_error(asio::use_awaitable, ec));
    if (ec) co_return Error{describeNetError(NetStage::tls, ec)};
    co_return Result<void>{};
}

} // namespace quorlinth::net
