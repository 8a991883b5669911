// Boost.Beast's synchronous client, written the way its examples are: a resolver, a
// socket (or an SSL stream), http::write and http::read with a reused flat_buffer.
// Requests side by side are its asynchronous client: a connection per request in flight,
// each a chain of async_connect, http::async_write and http::async_read, all on one
// io_context run by this thread.
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

  Tally GetSmallParallel(std::size_t in_flight, bool new_connection, Budget& budget) override {
    if (endpoints_.empty()) {
      endpoints_ = resolver_.resolve(target_.host, std::to_string(target_.http_port));
    }
    while (slots_.size() < in_flight) {
      slots_.push_back(std::make_unique<Slot>(io_, target_, endpoints_));
    }
    Tally tally;
    for (std::size_t i = 0; i < in_flight; ++i) slots_[i]->Run(new_connection, budget, tally);
    io_.restart();
    io_.run();
    return tally;
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

  // One connection of a parallel run, going from request to request until the budget
  // says stop. A failed one records the error and stops.
  class Slot {
   public:
    Slot(asio::io_context& io, const Target& target, const tcp::resolver::results_type& endpoints)
        : target_(target), endpoints_(endpoints), socket_(io) {
      request_.set(http::field::host, target.HostHeader(false));
      close_request_ = request_;
      close_request_.keep_alive(false);
    }

    void Run(bool new_connection, Budget& budget, Tally& tally) {
      new_connection_ = new_connection;
      budget_ = &budget;
      tally_ = &tally;
      if (budget_->Take()) Start();
    }

   private:
    void Start() {
      if (socket_.is_open() && !new_connection_) return Write();
      beast::error_code ignored;
      socket_.close(ignored);
      buffer_.clear();
      asio::async_connect(socket_, endpoints_,
                          [this](beast::error_code error, const tcp::endpoint&) {
                            if (error) return Failed("connect", error);
                            Write();
                          });
    }

    void Write() {
      auto written = [this](beast::error_code error, std::size_t) {
        if (error) return Failed("write", error);
        Read();
      };
      if (new_connection_) {
        http::async_write(socket_, close_request_, written);
      } else {
        http::async_write(socket_, request_, written);
      }
    }

    void Read() {
      response_ = {};
      http::async_read(socket_, buffer_, response_, [this](beast::error_code error, std::size_t) {
        if (error) return Failed("read", error);
        if (response_.result_int() == 200 && response_.body().size() == target_.small_size) {
          tally_->Good();
        } else {
          tally_->Wrong(response_.result_int(), response_.body().size());
        }
        if (new_connection_) {
          beast::error_code ignored;
          socket_.shutdown(tcp::socket::shutdown_both, ignored);
          socket_.close(ignored);
        }
        if (budget_->Take()) Start();
      });
    }

    void Failed(const char* step, const beast::error_code& error) {
      tally_->Failed(std::string(kWho) + " " + step + ": " + error.message());
      beast::error_code ignored;
      socket_.close(ignored);
    }

    const Target& target_;
    const tcp::resolver::results_type& endpoints_;
    tcp::socket socket_;
    beast::flat_buffer buffer_;
    http::request<http::empty_body> request_{http::verb::get, target_.small_path, 11};
    http::request<http::empty_body> close_request_;
    http::response<http::string_body> response_;
    bool new_connection_ = false;
    Budget* budget_ = nullptr;
    Tally* tally_ = nullptr;
  };

  const Target& target_;
  asio::io_context io_;
  tcp::resolver resolver_;
  tcp::socket socket_;
  asio::ssl::context ssl_context_;
  std::unique_ptr<beast::ssl_stream<beast::tcp_stream>> tls_stream_;
  beast::flat_buffer buffer_;
  std::vector<char> piece_;
  std::optional<http::response_parser<http::string_body>> kept_;
  tcp::resolver::results_type endpoints_;
  // Declared after io_, so destroyed before it: their sockets belong to it.
  std::vector<std::unique_ptr<Slot>> slots_;
};

}  // namespace

std::unique_ptr<Contender> MakeBeast(const Target& target) {
  return std::make_unique<Beast>(target);
}

}  // namespace bench
