// cpp-httplib's httplib::Client (and SSLClient for https) with keep-alive switched on.
// It has no asynchronous API: requests side by side are a thread each, each with a client
// of its own (a client runs one request at a time), as its users do it.
#include <httplib.h>

#include <cstdint>
#include <cstdio>
#include <memory>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "net_bench.h"

namespace bench {
namespace {

constexpr const char* kWho = "cpp-httplib";

class Httplib : public Contender {
 public:
  explicit Httplib(const Target& target)
      : target_(target), client_(target.host, target.http_port) {
    client_.set_keep_alive(true);
  }

  void GetSmall(bool tls) override {
    httplib::Result result = tls ? TlsClient().Get(target_.small_path.c_str())
                                 : client_.Get(target_.small_path.c_str());
    CheckResult(result, 200);
    CheckSize(result->body.size(), target_.small_size);
  }

  void GetSmallNewConnection() override {
    // Without keep-alive the client asks for "Connection: close" and closes its socket.
    httplib::Client client(target_.host, target_.http_port);
    httplib::Result result = client.Get(target_.small_path.c_str());
    CheckResult(result, 200);
    CheckSize(result->body.size(), target_.small_size);
  }

  Tally GetSmallParallel(std::size_t in_flight, bool new_connection, Budget& budget) override {
    // Kept from one run to the next with their connections, like the other clients' pools.
    while (parallel_clients_.size() < in_flight) {
      parallel_clients_.push_back(std::make_unique<httplib::Client>(target_.host, target_.http_port));
      parallel_clients_.back()->set_keep_alive(true);
    }
    std::vector<Tally> tallies(in_flight);
    std::vector<std::thread> threads;
    threads.reserve(in_flight);
    for (std::size_t i = 0; i < in_flight; ++i) {
      threads.emplace_back([&, i] {
        Tally& tally = tallies[i];
        while (budget.Take()) {
          // Without keep-alive a client asks for "Connection: close" and closes its socket.
          httplib::Result result =
              new_connection ? httplib::Client(target_.host, target_.http_port)
                                   .Get(target_.small_path.c_str())
                             : parallel_clients_[i]->Get(target_.small_path.c_str());
          if (!result) {
            tally.Failed(std::string(kWho) + ": request failed: " + httplib::to_string(result.error()));
          } else if (result->status == 200 && result->body.size() == target_.small_size) {
            tally.Good();
          } else {
            tally.Wrong(result->status, result->body.size());
          }
        }
      });
    }
    Tally tally;
    for (std::size_t i = 0; i < in_flight; ++i) {
      threads[i].join();
      tally.Merge(tallies[i]);
    }
    return tally;
  }

  void DownloadToMemory() override {
    httplib::Result result = client_.Get(target_.big_path.c_str());
    CheckResult(result, 200);
    CheckSize(result->body.size(), target_.big_size);
    kept_ = std::make_unique<httplib::Response>(std::move(result.value()));
  }

  void DownloadToFile(const std::string& path) override {
    std::FILE* file = std::fopen(path.c_str(), "wb");
    BENCH_CHECK(file != nullptr, kWho, "cannot create " + path);
    std::size_t received = 0;
    httplib::Result result = client_.Get(target_.big_path.c_str(),
                                         [&](const char* data, std::size_t length) {
                                           received += length;
                                           return std::fwrite(data, 1, length, file) == length;
                                         });
    bool closed = std::fclose(file) == 0;
    CheckResult(result, 200);
    BENCH_CHECK(closed, kWho, "cannot write " + path);
    CheckSize(received, target_.big_size);
  }

  std::uint64_t DownloadToSink() override {
    std::uint64_t received = 0;
    httplib::Result result = client_.Get(target_.big_path.c_str(),
                                         [&](const char*, std::size_t length) {
                                           received += length;
                                           return true;
                                         });
    CheckResult(result, 200);
    return received;
  }

  void Upload() override {
    std::FILE* file = std::fopen(target_.upload_file.c_str(), "rb");
    BENCH_CHECK(file != nullptr, kWho, "cannot open " + target_.upload_file);
    std::vector<char> piece(64 * 1024);
    httplib::Result result = client_.Post(
        target_.upload_path.c_str(), target_.big_size,
        [&](std::size_t, std::size_t length, httplib::DataSink& sink) {
          std::size_t n = std::fread(piece.data(), 1, std::min(length, piece.size()), file);
          if (n == 0) return false;
          sink.write(piece.data(), n);
          return true;
        },
        "application/octet-stream");
    std::fclose(file);
    CheckResult(result, 204);
  }

  // Debian builds cpp-httplib with zlib, and its clients decode what comes coded, but
  // they only ask for a coding when told to.
  void DecodeToMemory() override {
    httplib::Result result = client_.Get(target_.text_path.c_str(), AcceptGzip());
    CheckResult(result, 200);
    CheckGzip(*result);
    CheckSize(result->body.size(), target_.text_size);
    kept_ = std::make_unique<httplib::Response>(std::move(result.value()));
  }

  void DecodeToFile(const std::string& path) override {
    std::FILE* file = std::fopen(path.c_str(), "wb");
    BENCH_CHECK(file != nullptr, kWho, "cannot create " + path);
    httplib::Result result = client_.Get(target_.text_path.c_str(), AcceptGzip(),
                                         [&](const char* data, std::size_t length) {
                                           return std::fwrite(data, 1, length, file) == length;
                                         });
    bool closed = std::fclose(file) == 0;
    CheckResult(result, 200);
    CheckGzip(*result);
    BENCH_CHECK(closed, kWho, "cannot write " + path);
  }

  std::string_view KeptBody() const override { return kept_->body; }

  void Release() override { kept_.reset(); }

 private:
  httplib::SSLClient& TlsClient() {
    if (!tls_client_) {
      tls_client_ = std::make_unique<httplib::SSLClient>(target_.host, target_.https_port);
      // Without a path the client loads OpenSSL's default locations.
      if (!target_.system_roots) tls_client_->set_ca_cert_path(target_.ca_file.c_str());
      tls_client_->enable_server_certificate_verification(true);
      tls_client_->set_keep_alive(true);
    }
    return *tls_client_;
  }

  static void CheckResult(const httplib::Result& result, int expected_status) {
    BENCH_CHECK(static_cast<bool>(result), kWho, "request failed: " + httplib::to_string(result.error()));
    BENCH_CHECK(result->status == expected_status, kWho,
          Describe("status", result->status, expected_status));
  }

  static httplib::Headers AcceptGzip() { return {{"Accept-Encoding", "gzip, deflate"}}; }

  // The body came gzip-coded; what it decoded to is compared once the clock is stopped.
  static void CheckGzip(const httplib::Response& response) {
    BENCH_CHECK(response.get_header_value("Content-Encoding") == "gzip", kWho,
                "body not gzip-coded");
  }

  static void CheckSize(std::size_t got, std::size_t expected) {
    BENCH_CHECK(got == expected, kWho,
          Describe("length", static_cast<long long>(got), static_cast<long long>(expected)));
  }

  const Target& target_;
  httplib::Client client_;
  std::unique_ptr<httplib::SSLClient> tls_client_;
  std::vector<std::unique_ptr<httplib::Client>> parallel_clients_;
  std::unique_ptr<httplib::Response> kept_;
};

}  // namespace

std::unique_ptr<Contender> MakeHttplib(const Target& target) {
  return std::make_unique<Httplib>(target);
}

}  // namespace bench
