#include "net/TlsContext.h"

namespace quorlinth::net {

Result<std::shared_ptr<boost::asio::ssl::context>>
makeClientTlsContext(const std::optional<std::filesystem::path>& extraCaFile) {
    namespace ssl = boost::asio::ssl;
    auto context = std::make_shared<ssl::context>(ssl::context::tls_client);
    boost::system::error_code ec;
    context->set_options(ssl::context::default_workarounds | ssl::context::no_sslv2 | ssl::context::no_sslv3 |
                             ssl::context::no_tlsv1 | ssl::context::no_tlsv1_1,
                         ec);
    context->set_default_verify_paths(ec);
    if (ec) return Error{"无法读取系统证书：" + ec.message()};
    if (extraCaFile) {
        context->load_verify_file(extraCaFile->string(), ec);
        if (ec) return Error{"无法读取证书文件 " + extraCaFile->string() + "：" + ec.message()};
    }
    context->set_verify_mode(ssl::verify_peer);
    return context;
}

} // namespace quorlinth::net
