// Boost.Beast's synchronous client, written the way its examples are: a resolver, a
// socket (or an SSL stream), http::write and http::read with a reused flat_buffer.
#include <boost/asio/connect.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/ssl.hpp>
#include <boost/beast/core.hpp>
#include <boost/beast/http.hpp>
#include <boost/beast/ssl.hpp>

#include <cstdint>
#include <filesystem>
#include <limits>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "net_bench.h"

namespace bench {
namespace {

namespace asio = boost::asio;
namespace beast = boost::beast;
namespace http = beast::http;
using tcp = asio::ip::tcp;

constexpr const char* kWho = "Boost.Beast";
// As the floor's pieces.
constexpr std::size_t kPieceSize = 64 * 1024;

class Beast : public Contender {
 public:
  explicit Beast(const Target& target)
      : target_(target), resolver_(io_), socket_(io_), ssl_context_(asio::ssl::context::tls_client) {}

  void GetSmall(bool tls) override {
    http::request<http::empty_body> request{http::verb::get, target_.small_path, 11};
    request.set(http::field::host, target_.HostHeader(tls));
    http::response<http::string_body> response;
    if (tls) {
      auto& stream = TlsStream();
      http::write(stream, request);
      http::read(stream, buffer_, response);
    } else {
      auto& socket = Socket();
      http::write(socket, request);
      http::read(socket, buffer_, response);
    }
    CheckStatus(response.result_int(), 200);
    CheckSize(response.body().size(), target_.small_size);
  }

  void GetSmallNewConnection() override {
    tcp::socket socket(io_);
    asio::connect(socket, resolver_.resolve(target_.host, std::to_string(target_.http_port)));
    http::request<http::empty_body> request{http::verb::get, target_.small_path, 11};
    request.set(http::field::host, target_.HostHeader(false));
    request.keep_alive(false);
    http::write(socket, request);
    beast::flat_buffer buffer;
    http::response<http::string_body> response;
    http::read(socket, buffer, response);
    CheckStatus(response.result_int(), 200);
    CheckSize(response.body().size(), target_.small_size);
    beast::error_code ignored;
    socket.shutdown(tcp::socket::shutdown_both, ignored);
  }

  void DownloadToMemory() override {
    auto& socket = Socket();
    http::write(socket, BigRequest());
    kept_.emplace();
    kept_->body_limit(std::numeric_limits<std::uint64_t>::max());
    http::read(socket, buffer_, *kept_);
    CheckStatus(kept_->get().result_int(), 200);
    CheckSize(kept_->get().body().size(), target_.big_size);
  }

  void DownloadToFile(const std::string& path) override {
    auto& socket = Socket();
    http::write(socket, BigRequest());
    http::response_parser<http::file_body> parser;
    parser.body_limit(std::numeric_limits<std::uint64_t>::max());
    beast::error_code error;
    parser.get().body().open(path.c_str(), beast::file_mode::write, error);
    BENCH_CHECK(!error, kWho, "cannot create " + path + ": " + error.message());
    http::read(socket, buffer_, parser);
    parser.get().body().close();
    CheckStatus(parser.get().result_int(), 200);
    CheckSize(static_cast<std::size_t>(std::filesystem::file_size(path)), target_.big_size);
  }

  // Beast's way of taking a body in pieces: a buffer_body pointed at a buffer of ours
  // before each read, which the parser fills and reports back with need_buffer.
  std::uint64_t DownloadToSink() override {
    auto& socket = Socket();
    http::write(socket, BigRequest());
    http::response_parser<http::buffer_body> parser;
    parser.body_limit(std::numeric_limits<std::uint64_t>::max());
    http::read_header(socket, buffer_, parser);
    CheckStatus(parser.get().result_int(), 200);
    piece_.resize(kPieceSize);
    std::uint64_t received = 0;
    while (!parser.is_done()) {
      parser.get().body().data = piece_.data();
      parser.get().body().size = piece_.size();
      beast::error_code error;
      http::read(socket, buffer_, parser, error);
      if (error == http::error::need_buffer) error = {};
      if (error) throw beast::system_error(error);
      received += piece_.size() - parser.get().body().size;
    }
    return received;
  }

  void Upload() override {
    auto& socket = Socket();
    http::request<http::file_body> request{http::verb::post, target_.upload_path, 11};
    request.set(http::field::host, target_.HostHeader(false));
    request.set(http::field::content_type, "application/octet-stream");
    beast::error_code error;
    request.body().open(target_.upload_file.c_str(), beast::file_mode::scan, error);
    BENCH_CHECK(!error, kWho, "cannot open " + target_.upload_file + ": " + error.message());
    request.prepare_payload();
    http::write(socket, request);
    http::response<http::string_body> response;
    http::read(socket, buffer_, response);
    CheckStatus(response.result_int(), 204);
  }

  void Release() override { kept_.reset(); }

 private:
  tcp::socket& Socket() {
    if (!socket_.is_open()) {
      asio::connect(socket_, resolver_.resolve(target_.host, std::to_string(target_.http_port)));
    }
    return socket_;
  }

  beast::ssl_stream<beast::tcp_stream>& TlsStream() {
    if (!tls_stream_) {
      if (target_.system_roots) {
        ssl_context_.set_default_verify_paths();
      } else {
        ssl_context_.load_verify_file(target_.ca_file);
      }
      ssl_context_.set_verify_mode(asio::ssl::verify_peer);
      tls_stream_ = std::make_unique<beast::ssl_stream<beast::tcp_stream>>(io_, ssl_context_);
      tls_stream_->set_verify_callback(asio::ssl::host_name_verification(target_.host));
      beast::get_lowest_layer(*tls_stream_)
          .connect(resolver_.resolve(target_.host, std::to_string(target_.https_port)));
      tls_stream_->handshake(asio::ssl::stream_base::client);
    }
    return *tls_stream_;
  }

  http::request<http::empty_body> BigRequest() const {
    http::request<http::empty_body> request{http::verb::get, target_.big_path, 11};
    request.set(http::field::host, target_.HostHeader(false));
    return request;
  }

  static void CheckStatus(unsigned status, unsigned expected) {
    BENCH_CHECK(status == expected, kWho, Describe("status", status, expected));
  }

  static void CheckSize(std::size_t got, std::size_t expected) {
    BENCH_CHECK(got == expected, kWho,
          Describe("length", static_cast<long long>(got), static_cast<long long>(expected)));
  }

  const Target& target_;
  asio::io_context io_;
  tcp::resolver resolver_;
  tcp::socket socket_;
  asio::ssl::context ssl_context_;
  std::unique_ptr<beast::ssl_stream<beast::tcp_stream>> tls_stream_;
  beast::flat_buffer buffer_;
  std::vector<char> piece_;
  std::optional<http::response_parser<http::string_body>> kept_;
};

}  // namespace

std::unique_ptr<Contender> MakeBeast(const Target& target) {
  return std::make_unique<Beast>(target);
}

}  // namespace bench
