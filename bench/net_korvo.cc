// korvo, used as a program would: one ClientSession, every request made by RequestBuilder.
// Requests side by side go through SendAsync on the same session.
#include <cstdint>
#include <filesystem>
#include <future>
#include <memory>
#include <sstream>
#include <string>
#include <string_view>
#include <vector>

#include "korvo/body.h"
#include "korvo/client_session.h"
#include "korvo/error.h"
#include "korvo/http_version.h"
#include "korvo/request_builder.h"
#include "korvo/send_options.h"
#include "net_bench.h"

namespace bench {
namespace {

constexpr const char* kWho = "korvo";

class Korvo : public Contender {
 public:
  Korvo(const Target& target, std::size_t buffer_size, bool http2)
      : target_(target),
        http2_(http2),
        session_(buffer_size),
        small_url_(target.Url(false, target.small_path)),
        small_tls_url_(target.Url(true, target.small_path)),
        big_url_(target.Url(false, target.big_path)),
        upload_url_(target.Url(false, target.upload_path)),
        text_url_(target.Url(false, target.text_path)),
        h2_small_url_(target.H2Url(target.small_path)),
        h2_medium_url_(target.H2Url(target.medium_path)) {
    // As the other clients are set up: the test CA alone unless the figure is about
    // what a program trusts by default (loading the system's roots costs a first
    // request some 20 ms).
    if (!target.system_roots) session_.SetCaFile(target.ca_file);
    if (!target.proxy.empty()) session_.SetProxy(target.proxy);
    if (http2) session_.SetHttpVersion(korvo::HttpVersion::kHttp2);
  }

  void GetSmall(bool tls) override {
    auto response = Send(korvo::RequestBuilder().Method("GET").Url(tls ? small_tls_url_ : small_url_)());
    CheckStatus(response->GetStatus(), 200);
    CheckSize(response->GetData().size(), target_.small_size);
  }

  void GetSmallNewConnection() override {
    auto response = Send(korvo::RequestBuilder().Method("GET").Url(small_url_).KeepAlive(false)());
    CheckStatus(response->GetStatus(), 200);
    CheckSize(response->GetData().size(), target_.small_size);
  }

  Tally GetSmallParallel(std::size_t in_flight, bool new_connection, Budget& budget) override {
    session_.SetMaxConnectionsPerHost(in_flight).SetMaxConnections(in_flight);
    return Ring(small_url_, in_flight, !new_connection, budget);
  }

  void GetSmallNewTlsConnection(const std::string& query) override {
    std::string url = query.empty() ? small_tls_url_
                                    : target_.Url(true, target_.resume_check_path + "?" + query);
    auto response = Send(korvo::RequestBuilder().Method("GET").Url(url).KeepAlive(false)());
    CheckStatus(response->GetStatus(), 200);
    CheckSize(response->GetData().size(), target_.small_size);
  }

  // With the session's default limits either way, as a program would run it: over
  // HTTP/1.1 six connections to the origin, the other exchanges waiting for them; over
  // HTTP/2 the streams of the origin on one connection.
  Tally GetSmallParallelTls(std::size_t in_flight, Budget& budget) override {
    return Ring(h2_small_url_, in_flight, true, budget);
  }

  std::vector<std::string> DownloadManyToFiles(std::size_t count, const std::string&) override {
    std::vector<std::future<std::shared_ptr<korvo::Response>>> pending;
    korvo::SendOptions options;
    options.stream = true;
    for (std::size_t i = 0; i < count; ++i) {
      pending.push_back(
          session_.SendAsync(korvo::RequestBuilder().Method("GET").Url(h2_medium_url_)(), options));
    }
    std::vector<std::string> paths;
    for (auto& future : pending) {
      std::shared_ptr<korvo::Response> response;
      try {
        response = future.get();
      } catch (const korvo::Error& error) {
        std::ostringstream text;
        text << error;
        Fail(kWho, text.str());
      }
      CheckStatus(response->GetStatus(), 200);
      CheckVersion(*response);
      auto file = response->GetFileBody();
      BENCH_CHECK(file != nullptr, kWho, "streamed response has no file body");
      paths.push_back(file->GetPath().string());
      // Kept until Release: the file goes with its response.
      kept_many_.push_back(std::move(response));
    }
    return paths;
  }

  void DownloadToMemory() override {
    kept_ = Send(korvo::RequestBuilder().Method("GET").Url(big_url_)());
    CheckStatus(kept_->GetStatus(), 200);
    CheckSize(kept_->GetData().size(), target_.big_size);
  }

  void DownloadToFile(const std::string&) override {
    kept_ = Send(korvo::RequestBuilder().Method("GET").Url(big_url_)(), true);
    CheckStatus(kept_->GetStatus(), 200);
    auto file = kept_->GetFileBody();
    BENCH_CHECK(file != nullptr, kWho, "streamed response has no file body");
    // A streamed body is not measured when it is made; the file on disk tells.
    CheckSize(static_cast<std::size_t>(std::filesystem::file_size(file->GetPath())),
              target_.big_size);
  }

  std::uint64_t DownloadToSink() override {
    std::uint64_t received = 0;
    korvo::SendOptions options;
    options.sink = [&received](const char*, std::size_t size) {
      received += size;
      return true;
    };
    auto response = Send(korvo::RequestBuilder().Method("GET").Url(big_url_)(), options);
    CheckStatus(response->GetStatus(), 200);
    CheckSize(response->GetData().size(), 0);  // the sink took the body
    return received;
  }

  void Upload() override {
    auto response = Send(korvo::RequestBuilder()
                             .Method("POST")
                             .Url(upload_url_)
                             .File(target_.upload_file, false)
                             .MediaType("application/octet-stream")());
    CheckStatus(response->GetStatus(), 204);
  }

  void DecodeToMemory() override {
    session_.SetDecompress(true);
    kept_ = Send(korvo::RequestBuilder().Method("GET").Url(text_url_)());
    CheckDecoded();
    CheckSize(kept_->GetData().size(), target_.text_size);
  }

  void DecodeToFile(const std::string&) override {
    session_.SetDecompress(true);
    kept_ = Send(korvo::RequestBuilder().Method("GET").Url(text_url_)(), true);
    CheckDecoded();
    BENCH_CHECK(kept_->GetFileBody() != nullptr, kWho, "streamed response has no file body");
  }

  std::string_view KeptBody() const override { return kept_->GetData(); }

  std::string KeptFile(const std::string&) const override {
    return kept_->GetFileBody()->GetPath().string();
  }

  // Drops the body (and a streamed body's temporary file) outside the timed part.
  void Release() override {
    kept_.reset();
    kept_many_.clear();
  }

 private:
  std::shared_ptr<korvo::Response> Send(std::shared_ptr<korvo::Request> request,
                                        bool stream = false) {
    try {
      return session_.Send(std::move(request), stream);
    } catch (const korvo::Error& error) {
      std::ostringstream text;
      text << error;
      throw std::runtime_error(std::string(kWho) + ": " + text.str());
    }
  }

  std::shared_ptr<korvo::Response> Send(std::shared_ptr<korvo::Request> request,
                                        const korvo::SendOptions& options) {
    try {
      return session_.Send(std::move(request), options);
    } catch (const korvo::Error& error) {
      std::ostringstream text;
      text << error;
      throw std::runtime_error(std::string(kWho) + ": " + text.str());
    }
  }

  // A ring of futures: the oldest is waited for and its slot refilled at once. The
  // responses of one host come back about in the order they were asked for, so the ring
  // stays close to full; a future offers no way to wait for whichever ends first.
  Tally Ring(const std::string& url, std::size_t in_flight, bool keep_alive, Budget& budget) {
    Tally tally;
    std::vector<std::future<std::shared_ptr<korvo::Response>>> ring(in_flight);
    auto start = [&](std::size_t slot) {
      // A request is completed in place by the session, so each send gets its own.
      ring[slot] = session_.SendAsync(
          korvo::RequestBuilder().Method("GET").Url(url).KeepAlive(keep_alive)());
    };
    for (std::size_t slot = 0; slot < in_flight && budget.Take(); ++slot) start(slot);
    for (std::size_t slot = 0, idle = 0; idle < in_flight; slot = (slot + 1) % in_flight) {
      if (!ring[slot].valid()) {
        ++idle;
        continue;
      }
      idle = 0;
      try {
        std::shared_ptr<korvo::Response> response = ring[slot].get();
        if (response->GetStatus() == 200 && response->GetData().size() == target_.small_size) {
          tally.Good();
        } else {
          tally.Wrong(response->GetStatus(), response->GetData().size());
        }
        if (!version_checked_) CheckVersion(*response);
      } catch (const korvo::Error& error) {
        std::ostringstream text;
        text << error;
        tally.Failed(text.str());
      }
      if (budget.Take()) start(slot);
    }
    return tally;
  }

  // A session answered in another HTTP than it was told to speak would not measure what
  // its row says.
  void CheckVersion(const korvo::Response& response) {
    version_checked_ = true;
    const char* expected = http2_ ? "HTTP/2" : "HTTP/1.1";
    BENCH_CHECK(response.GetVersion() == expected, kWho,
                "answered over " + response.GetVersion() + ", not " + expected);
  }

  // The body came gzip-coded and the session undid it.
  void CheckDecoded() const {
    CheckStatus(kept_->GetStatus(), 200);
    BENCH_CHECK(kept_->GetHeader("Content-Encoding") == "gzip", kWho, "body not gzip-coded");
    auto body = std::dynamic_pointer_cast<korvo::StringBody>(kept_->GetBody());
    BENCH_CHECK(body == nullptr || !body->IsCompressed(), kWho, "body left compressed");
  }

  static void CheckStatus(int status, int expected) {
    BENCH_CHECK(status == expected, kWho, Describe("status", status, expected));
  }

  static void CheckSize(std::size_t got, std::size_t expected) {
    BENCH_CHECK(got == expected, kWho,
          Describe("length", static_cast<long long>(got), static_cast<long long>(expected)));
  }

  const Target& target_;
  const bool http2_;
  korvo::ClientSession session_;
  std::string small_url_;
  std::string small_tls_url_;
  std::string big_url_;
  std::string upload_url_;
  std::string text_url_;
  std::string h2_small_url_;
  std::string h2_medium_url_;
  std::shared_ptr<korvo::Response> kept_;
  std::vector<std::shared_ptr<korvo::Response>> kept_many_;
  bool version_checked_ = false;
};

}  // namespace

std::unique_ptr<Contender> MakeKorvo(const Target& target, std::size_t buffer_size, bool http2) {
  return std::make_unique<Korvo>(target, buffer_size, http2);
}

}  // namespace bench
