#include "net/HttpClient.h"

#include "net/Connect.h"
#include "net/IoThread.h"
#include "net/TlsContext.h"

#include <boost/asio/co_spawn.hpp>
#include <boost/asio/detached.hpp>
#include <boost/asio/redirect_error.hpp>
#include <boost/asio/use_awaitable.hpp>
#include <boost/beast/core/flat_buffer.hpp>
#include <boost/beast/http.hpp>
#include <strings.h>

namespace quorlinth::net {

namespace asio = boost::asio;
namespace beast = boost::beast;
namespace http = beast::http;
using boost::system::error_code;

namespace {

constexpr size_t kHeaderLimit = 64 * 1024;

Result<http::request<http::string_body>> buildRequest(const HttpRequest& request, const Url& url) {
    http::verb verb = http::string_to_verb(request.method);
    if (verb == http::verb::unknown) return Error{"不支持的请求方法：" + request.method};
    http::request<http::string_body> message{verb, url.target, 11};
    message.set(http::field::host, url.hostHeader());
    for (const auto& [name, value] : request.headers) {
        if (name.find_first_of(":\r\n") != std::string::npos ||
            value.find_first_of("\r\n") != std::string::npos)
            return Error{"请求头无效：" + name};
        message.set(name, value);
    }
    if (request.body) message.body() = *request.body;
    message.prepare_payload();
    return message;
}

template <class Stream>
asio::awaitable<Result<HttpResponse>> exchange(Stream& stream,
                                               const http::request<http::string_body>& message,
                                               size_t maxBodyBytes, Clock::time_point deadline) {
    error_code ec;
    beast::get_lowest_layer(stream).expires_at(deadline);
    co_await http::async_write(stream, message, asio::redirect_error(asio::use_awaitable, ec));
    if (ec) co_return Error{describeNetError(NetStage::exchange, ec)};

    beast::flat_buffer buffer;
    http::response_parser<http::string_body> parser;
    parser.header_limit(kHeaderLimit);
    parser.body_limit(maxBodyBytes);
    co_await http::async_read_header(stream, buffer, parser, asio::redirect_error(asio::use_awaitable, ec));
    // Beast 1.74 loses the body-limit error for a declared length when it reads header and
    // body in one go, so the declared length is checked here.
    unsigned status = ec ? 0 : parser.get().result_int();
    bool bodyless = status / 100 == 1 || status == 204 || status == 304;
    bool declaredTooLarge =
        !ec && !bodyless && parser.content_length() && *parser.content_length() > maxBodyBytes;
    if (!ec && !declaredTooLarge)
        co_await http::async_read(stream, buffer, parser, asio::redirect_error(asio::use_awaitable, ec));

    HttpResponse response;
    if (declaredTooLarge || (ec == http::error::body_limit && parser.is_header_done())) {
        response.bodyTooLarge = true;
    } else if (ec == beast::error::timeout) {
        co_return Error{describeNetError(NetStage::exchange, ec)};
    } else if (ec && ec.category() == http::make_error_code(http::error::body_limit).category()) {
        co_return Error{describeNetError(NetStage::response, ec)};
    } else if (ec) {
        co_return Error{describeNetError(NetStage::exchange, ec)};
    }
    const auto& answer = parser.get();
    response.status = answer.result_int();
    for (const auto& field : answer)
        response.headers.emplace_back(std::string(field.name_string()), std::string(field.value()));
    if (!response.bodyTooLarge) response.body = answer.body();
    co_return response;
}

} // namespace

std::optional<std::string> HttpResponse::header(std::string_view name) const {
    for (const auto& [key, value] : headers)
        if (key.size() == name.size() && strncasecmp(key.data(), name.data(), name.size()) == 0) return value;
    return std::nullopt;
}

struct HttpClient::Impl {
    explicit Impl(Options options) : tls(makeClientTlsContext(options.extraCaFile)), io(options.label) {}

    asio::awaitable<Result<HttpResponse>> perform(HttpRequest request) {
        auto url = Url::parse(request.url);
        if (!url || (url->scheme != "http" && url->scheme != "https"))
            co_return Error{"请求地址无效：" + request.url};
        auto message = buildRequest(request, *url);
        if (!message) co_return Error{message.error()};
        auto deadline = Clock::now() + request.timeout;
        auto executor = co_await asio::this_coro::executor;

        if (!url->secure()) {
            TcpStream stream(executor);
            auto connected = co_await connectTcp(stream, *url, deadline);
            if (!connected) co_return Error{connected.error()};
            co_return co_await exchange(stream, message.value(), request.maxBodyBytes, deadline);
        }
        if (!tls) co_return Error{tls.error()};
        TlsStream stream(executor, *tls.value());
        auto connected = co_await connectTcp(beast::get_lowest_layer(stream), *url, deadline);
        if (!connected) co_return Error{connected.error()};
        auto secured = co_await handshakeTls(stream, *url, deadline);
        if (!secured) co_return Error{secured.error()};
        co_return co_await exchange(stream, message.value(), request.maxBodyBytes, deadline);
    }

    asio::awaitable<void> run(HttpRequest request, std::function<void(Result<HttpResponse>)> done) {
        Result<HttpResponse> outcome = Error{"网络错误。"};
        try {
            outcome = co_await perform(std::move(request));
        } catch (const std::exception& error) {
            outcome = Error{std::string("网络错误。（") + error.what() + "）"};
        }
        done(std::move(outcome));
    }

    // Declared before the io thread so that it outlives the streams still pending there.
    Result<std::shared_ptr<asio::ssl::context>> tls;
    IoThread io;
};

HttpClient::HttpClient(Options options) : impl(std::make_unique<Impl>(std::move(options))) {}

HttpClient::~HttpClient() = default;

void HttpClient::send(HttpRequest request, std::function<void(Result<HttpResponse>)> done) {
    asio::co_spawn(impl->io.context(), impl->run(std::move(request), std::move(done)), asio::detached);
}

} // namespace quorlinth::net
