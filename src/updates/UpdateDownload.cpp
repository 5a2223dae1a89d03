#include "updates/UpdateDownload.h"

#include "crypto/Sha256.h"
#include "net/Connect.h"
#include "net/IoThread.h"
#include "net/TlsContext.h"

#include <boost/asio/co_spawn.hpp>
#include <boost/asio/detached.hpp>
#include <boost/asio/redirect_error.hpp>
#include <boost/asio/use_awaitable.hpp>
#include <boost/beast/core/flat_buffer.hpp>
#include <boost/beast/http.hpp>
#include <cerrno>
#include <fcntl.h>
#include <limits>
#include <unistd.h>

namespace quorlinth {

namespace asio = boost::asio;
namespace beast = boost::beast;
namespace http = beast::http;
using boost::system::error_code;

namespace {

constexpr const char* kFailed = "下载失败";
constexpr const char* kUnreachable = "无法连接下载服务器";
constexpr const char* kInterrupted = "下载中断";
constexpr const char* kTimedOut = "下载超时";
constexpr const char* kSizeMismatch = "安装包大小不符";
constexpr const char* kDigestMismatch = "安装包校验失败";
constexpr const char* kDiskFull = "磁盘空间不足";
constexpr const char* kUnwritable = "无法写入临时文件夹";
constexpr size_t kHeaderLimit = 64 * 1024;
constexpr size_t kChunkSize = 64 * 1024;

Error fileError(int code) {
    return Error{code == ENOSPC || code == EDQUOT ? kDiskFull : kUnwritable};
}

// The archive file being written; closed when the transfer ends however it ends.
class OutputFile {
public:
    explicit OutputFile(const std::filesystem::path& path)
        : fd(::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600)), openError(errno) {}
    ~OutputFile() {
        if (fd >= 0) ::close(fd);
    }
    Result<void> opened() const { return fd >= 0 ? Result<void>{} : fileError(openError); }

    Result<void> write(const char* data, size_t size) {
        while (size > 0) {
            ssize_t written = ::write(fd, data, size);
            if (written < 0 && errno == EINTR) continue;
            if (written < 0) return fileError(errno);
            data += written;
            size -= size_t(written);
        }
        return {};
    }

    // Data that only fails to reach the disk at the end still fails the download.
    Result<void> finish() {
        int synced = ::fsync(fd) == 0 ? 0 : errno;
        int closed = ::close(fd) == 0 ? 0 : errno;
        fd = -1;
        if (synced || closed) return fileError(synced ? synced : closed);
        return {};
    }

private:
    int fd;
    int openError;
};

Error transferError(const error_code& ec) {
    return Error{ec == beast::error::timeout ? kTimedOut : kInterrupted};
}

} // namespace

struct UpdateDownload::Impl {
    net::IoThread io{"quorlinth.updates.download"};

    template <class Stream>
    asio::awaitable<Result<Bytes>> receive(Stream& stream, const net::Url& url,
                                           const UpdateDownloadRequest& request, const Progress& progress) {
        error_code ec;
        http::request<http::empty_body> ask{http::verb::get, url.target, 11};
        ask.set(http::field::host, url.hostHeader());
        ask.set(http::field::cache_control, "no-cache");
        beast::get_lowest_layer(stream).expires_after(request.idleTimeout);
        co_await http::async_write(stream, ask, asio::redirect_error(asio::use_awaitable, ec));
        if (ec) co_return transferError(ec);

        beast::flat_buffer buffer;
        http::response_parser<http::buffer_body> parser;
        parser.header_limit(kHeaderLimit);
        // The size is checked here as it arrives; Beast 1.74 misreads an absent limit as zero.
        parser.body_limit(std::numeric_limits<std::uint64_t>::max());
        co_await http::async_read_header(stream, buffer, parser,
                                         asio::redirect_error(asio::use_awaitable, ec));
        if (ec) co_return transferError(ec);
        // A redirect, or any answer but the file itself, ends here: nothing is followed.
        if (parser.get().result_int() != 200) co_return Error{kFailed};
        if (parser.content_length() && *parser.content_length() != request.expectedBytes)
            co_return Error{kSizeMismatch};

        OutputFile file(request.destination);
        if (auto opened = file.opened(); !opened) co_return Error{opened.error()};
        crypto::Sha256 hash;
        uint64_t received = 0;
        uint64_t reported = 0;
        const uint64_t step = std::max<uint64_t>(request.expectedBytes / 100, 1);
        char chunk[kChunkSize];
        while (!parser.is_done()) {
            parser.get().body().data = chunk;
            parser.get().body().size = sizeof chunk;
            beast::get_lowest_layer(stream).expires_after(request.idleTimeout);
            co_await http::async_read(stream, buffer, parser, asio::redirect_error(asio::use_awaitable, ec));
            if (ec == http::error::need_buffer) ec = {};
            if (ec) co_return transferError(ec);
            size_t size = sizeof chunk - parser.get().body().size;
            received += size;
            if (received > request.expectedBytes) co_return Error{kSizeMismatch};
            hash.update(reinterpret_cast<const uint8_t*>(chunk), size);
            if (auto written = file.write(chunk, size); !written) co_return Error{written.error()};
            if (progress && received - reported >= step) {
                reported = received;
                progress(received);
            }
        }
        if (received != request.expectedBytes) co_return Error{kSizeMismatch};
        if (auto finished = file.finish(); !finished) co_return Error{finished.error()};
        Bytes digest = hash.finish();
        if (hexEncode(digest) != request.expectedSha256) co_return Error{kDigestMismatch};
        if (progress && reported != received) progress(received);
        co_return digest;
    }

    asio::awaitable<Result<Bytes>> perform(const UpdateDownloadRequest& request, const Progress& progress) {
        auto url = net::Url::parse(request.url);
        if (!url || (url->scheme != "http" && url->scheme != "https")) co_return Error{kFailed};
        auto executor = co_await asio::this_coro::executor;
        auto deadline = Clock::now() + request.connectTimeout;
        if (!url->secure()) {
            net::TcpStream stream(executor);
            if (!co_await net::connectTcp(stream, *url, deadline)) co_return Error{kUnreachable};
            co_return co_await receive(stream, *url, request, progress);
        }
        auto tls = net::makeClientTlsContext(request.caFile);
        if (!tls) co_return Error{kUnreachable};
        net::TlsStream stream(executor, *tls.value());
        if (!co_await net::connectTcp(beast::get_lowest_layer(stream), *url, deadline))
            co_return Error{kUnreachable};
        if (!co_await net::handshakeTls(stream, *url, deadline)) co_return Error{kUnreachable};
        co_return co_await receive(stream, *url, request, progress);
    }

    asio::awaitable<void> run(UpdateDownloadRequest request, Progress progress, Done done) {
        Result<Bytes> outcome = Error{kFailed};
        try {
            outcome = co_await perform(request, progress);
        } catch (const std::exception&) {
            outcome = Error{kFailed};
        }
        done(std::move(outcome));
    }
};

UpdateDownload::UpdateDownload() : impl(std::make_unique<Impl>()) {}

UpdateDownload::~UpdateDownload() = default;

void UpdateDownload::start(UpdateDownloadRequest request, Progress progress, Done done) {
    asio::co_spawn(impl->io.context(), impl->run(std::move(request), std::move(progress), std::move(done)),
                   asio::detached);
}

} // namespace quorlinth
