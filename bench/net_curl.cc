// libcurl through its easy interface, one handle reused for every request, as its
// documentation recommends: the handle keeps the connections alive between transfers.
// Requests side by side go through its multi interface: one multi handle driving an easy
// handle per request in flight on this thread, each re-added as soon as it is done.
#include <curl/curl.h>

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>
#include <string_view>
#include <vector>

#include "net_bench.h"

namespace bench {
namespace {

constexpr const char* kWho = "libcurl";

std::size_t AppendToString(char* data, std::size_t size, std::size_t count, void* user) {
  static_cast<std::string*>(user)->append(data, size * count);
  return size * count;
}

std::size_t WriteToFile(char* data, std::size_t size, std::size_t count, void* user) {
  return std::fwrite(data, size, count, static_cast<std::FILE*>(user)) * size;
}

std::size_t CountBytes(char*, std::size_t size, std::size_t count, void* user) {
  *static_cast<std::uint64_t*>(user) += size * count;
  return size * count;
}

std::size_t ReadFromFile(char* data, std::size_t size, std::size_t count, void* user) {
  return std::fread(data, size, count, static_cast<std::FILE*>(user)) * size;
}

class Curl : public Contender {
 public:
  Curl(const Target& target, bool http2) : target_(target), http2_(http2) {
    curl_global_init(CURL_GLOBAL_DEFAULT);
    handle_ = curl_easy_init();
    BENCH_CHECK(handle_ != nullptr, kWho, "curl_easy_init failed");
    // Otherwise libcurl's built-in CA bundle (and directory), loaded anew by each handle.
    if (!target.system_roots) curl_easy_setopt(handle_, CURLOPT_CAINFO, target.ca_file.c_str());
    // No proxy from the environment: every request goes to the loopback server, or
    // through the benchmark's proxy where the figure gives one ("" is none). An https
    // URL through an HTTP proxy goes through a CONNECT tunnel.
    curl_easy_setopt(handle_, CURLOPT_PROXY, target.proxy.c_str());
    small_url_ = target.Url(false, target.small_path);
    small_tls_url_ = target.Url(true, target.small_path);
    big_url_ = target.Url(false, target.big_path);
    upload_url_ = target.Url(false, target.upload_path);
    text_url_ = target.Url(false, target.text_path);
    h2_small_url_ = target.H2Url(target.small_path);
    h2_medium_url_ = target.H2Url(target.medium_path);
  }

  ~Curl() override {
    for (Transfer& transfer : transfers_) {
      if (transfer.handle == nullptr) continue;
      if (multi_ != nullptr) curl_multi_remove_handle(multi_, transfer.handle);
      curl_easy_cleanup(transfer.handle);
    }
    for (Download& download : downloads_) {
      if (download.file != nullptr) std::fclose(download.file);
      if (download.handle == nullptr) continue;
      if (multi_ != nullptr) curl_multi_remove_handle(multi_, download.handle);
      curl_easy_cleanup(download.handle);
    }
    if (multi_ != nullptr) curl_multi_cleanup(multi_);
    if (close_headers_ != nullptr) curl_slist_free_all(close_headers_);
    if (upload_headers_ != nullptr) curl_slist_free_all(upload_headers_);
    curl_easy_cleanup(handle_);
    curl_global_cleanup();
  }

  void GetSmall(bool tls) override {
    curl_easy_setopt(handle_, CURLOPT_URL, tls ? small_tls_url_.c_str() : small_url_.c_str());
    ToString();
    Perform(200);
    CheckSize(body_.size(), target_.small_size);
  }

  void GetSmallNewConnection() override {
    if (close_headers_ == nullptr) close_headers_ = curl_slist_append(nullptr, "Connection: close");
    curl_easy_setopt(handle_, CURLOPT_URL, small_url_.c_str());
    curl_easy_setopt(handle_, CURLOPT_HTTPHEADER, close_headers_);
    curl_easy_setopt(handle_, CURLOPT_FORBID_REUSE, 1L);
    ToString();
    Perform(200);
    CheckSize(body_.size(), target_.small_size);
  }

  Tally GetSmallParallel(std::size_t in_flight, bool new_connection, Budget& budget) override {
    Multi();
    long limit = static_cast<long>(in_flight);
    curl_multi_setopt(multi_, CURLMOPT_MAX_HOST_CONNECTIONS, limit);
    curl_multi_setopt(multi_, CURLMOPT_MAX_TOTAL_CONNECTIONS, limit);
    // The cache of idle connections, otherwise sized from the handles added.
    curl_multi_setopt(multi_, CURLMOPT_MAXCONNECTS, limit);
    if (close_headers_ == nullptr) close_headers_ = curl_slist_append(nullptr, "Connection: close");
    PrepareTransfers(in_flight, small_url_);
    for (Transfer& transfer : transfers_) {
      curl_easy_setopt(transfer.handle, CURLOPT_HTTPHEADER,
                       new_connection ? close_headers_ : nullptr);
      curl_easy_setopt(transfer.handle, CURLOPT_FORBID_REUSE, new_connection ? 1L : 0L);
    }
    return RunTransfers(in_flight, budget);
  }

  void GetSmallNewTlsConnection(const std::string& query) override {
    if (close_headers_ == nullptr) close_headers_ = curl_slist_append(nullptr, "Connection: close");
    std::string url = query.empty() ? small_tls_url_
                                    : target_.Url(true, target_.resume_check_path + "?" + query);
    curl_easy_setopt(handle_, CURLOPT_URL, url.c_str());
    curl_easy_setopt(handle_, CURLOPT_HTTPHEADER, close_headers_);
    // The TLS session cache (CURLOPT_SSL_SESSIONID_CACHE) is on by default and outlives
    // the connections, which is what lets the next handshake resume.
    curl_easy_setopt(handle_, CURLOPT_FRESH_CONNECT, 1L);
    curl_easy_setopt(handle_, CURLOPT_FORBID_REUSE, 1L);
    curl_easy_setopt(handle_, CURLOPT_HTTP_VERSION, CURL_HTTP_VERSION_1_1);
    ToString();
    Perform(200);
    CheckSize(body_.size(), target_.small_size);
  }

  // Made for HTTP/2, every transfer waits for the one connection (CURLOPT_PIPEWAIT)
  // rather than opening its own while the first is being made, and then takes a stream
  // of it.
  Tally GetSmallParallelTls(std::size_t in_flight, Budget& budget) override {
    Multi();
    long limit = http2_ ? 1L : static_cast<long>(in_flight);
    curl_multi_setopt(multi_, CURLMOPT_MAX_HOST_CONNECTIONS, limit);
    curl_multi_setopt(multi_, CURLMOPT_MAX_TOTAL_CONNECTIONS, limit);
    curl_multi_setopt(multi_, CURLMOPT_MAXCONNECTS, limit);
    PrepareTransfers(in_flight, h2_small_url_);
    for (Transfer& transfer : transfers_) {
      curl_easy_setopt(transfer.handle, CURLOPT_HTTPHEADER, nullptr);
      curl_easy_setopt(transfer.handle, CURLOPT_FORBID_REUSE, 0L);
      SetTls(transfer.handle);
    }
    return RunTransfers(in_flight, budget);
  }

  std::vector<std::string> DownloadManyToFiles(std::size_t count,
                                               const std::string& directory) override {
    Multi();
    curl_multi_setopt(multi_, CURLMOPT_MAX_HOST_CONNECTIONS, http2_ ? 1L : 6L);
    if (downloads_.size() < count) downloads_.resize(count);
    std::vector<std::string> paths;
    for (std::size_t i = 0; i < count; ++i) {
      Download& download = downloads_[i];
      download.path = directory + "/libcurl-" + std::to_string(i);
      download.file = std::fopen(download.path.c_str(), "wb");
      BENCH_CHECK(download.file != nullptr, kWho, "cannot create " + download.path);
      if (download.handle == nullptr) {
        download.handle = curl_easy_init();
        BENCH_CHECK(download.handle != nullptr, kWho, "curl_easy_init failed");
        curl_easy_setopt(download.handle, CURLOPT_PROXY, "");
        curl_easy_setopt(download.handle, CURLOPT_URL, h2_medium_url_.c_str());
        curl_easy_setopt(download.handle, CURLOPT_WRITEFUNCTION, WriteToFile);
        SetTls(download.handle);
      }
      curl_easy_setopt(download.handle, CURLOPT_WRITEDATA, download.file);
      CURLMcode code = curl_multi_add_handle(multi_, download.handle);
      BENCH_CHECK(code == CURLM_OK, kWho,
                  std::string("curl_multi_add_handle: ") + curl_multi_strerror(code));
      paths.push_back(download.path);
    }
    std::size_t running = count;
    std::string error;
    while (running > 0) {
      int active = 0;
      CURLMcode code = curl_multi_perform(multi_, &active);
      BENCH_CHECK(code == CURLM_OK, kWho,
                  std::string("curl_multi_perform: ") + curl_multi_strerror(code));
      int queued = 0;
      while (CURLMsg* message = curl_multi_info_read(multi_, &queued)) {
        if (message->msg != CURLMSG_DONE) continue;
        CURL* handle = message->easy_handle;
        long status = 0;
        curl_easy_getinfo(handle, CURLINFO_RESPONSE_CODE, &status);
        if (message->data.result != CURLE_OK) {
          if (error.empty()) error = curl_easy_strerror(message->data.result);
        } else if (status != 200 && error.empty()) {
          error = Describe("status", status, 200);
        }
        CheckVersion(handle);
        curl_multi_remove_handle(multi_, handle);
        --running;
      }
      if (running == 0) break;
      code = curl_multi_poll(multi_, nullptr, 0, 1000, nullptr);
      BENCH_CHECK(code == CURLM_OK, kWho,
                  std::string("curl_multi_poll: ") + curl_multi_strerror(code));
    }
    for (std::size_t i = 0; i < count; ++i) {
      Download& download = downloads_[i];
      bool closed = std::fclose(download.file) == 0;
      download.file = nullptr;
      BENCH_CHECK(closed, kWho, "cannot write " + download.path);
    }
    BENCH_CHECK(error.empty(), kWho, error);
    return paths;
  }

  void DownloadToMemory() override {
    curl_easy_setopt(handle_, CURLOPT_URL, big_url_.c_str());
    ToString();
    Perform(200);
    CheckSize(body_.size(), target_.big_size);
  }

  void DownloadToFile(const std::string& path) override {
    std::FILE* file = std::fopen(path.c_str(), "wb");
    BENCH_CHECK(file != nullptr, kWho, "cannot create " + path);
    curl_easy_setopt(handle_, CURLOPT_URL, big_url_.c_str());
    curl_easy_setopt(handle_, CURLOPT_WRITEFUNCTION, WriteToFile);
    curl_easy_setopt(handle_, CURLOPT_WRITEDATA, file);
    curl_off_t size = 0;
    try {
      Perform(200);
      curl_easy_getinfo(handle_, CURLINFO_SIZE_DOWNLOAD_T, &size);
    } catch (...) {
      std::fclose(file);
      throw;
    }
    BENCH_CHECK(std::fclose(file) == 0, kWho, "cannot write " + path);
    CheckSize(static_cast<std::size_t>(size), target_.big_size);
  }

  std::uint64_t DownloadToSink() override {
    std::uint64_t received = 0;
    curl_easy_setopt(handle_, CURLOPT_URL, big_url_.c_str());
    curl_easy_setopt(handle_, CURLOPT_WRITEFUNCTION, CountBytes);
    curl_easy_setopt(handle_, CURLOPT_WRITEDATA, &received);
    Perform(200);
    return received;
  }

  void Upload() override {
    std::FILE* file = std::fopen(target_.upload_file.c_str(), "rb");
    BENCH_CHECK(file != nullptr, kWho, "cannot open " + target_.upload_file);
    if (upload_headers_ == nullptr) {
      upload_headers_ = curl_slist_append(nullptr, "Content-Type: application/octet-stream");
      // Without this libcurl waits for "100 Continue" before a large body.
      upload_headers_ = curl_slist_append(upload_headers_, "Expect:");
    }
    curl_easy_setopt(handle_, CURLOPT_URL, upload_url_.c_str());
    curl_easy_setopt(handle_, CURLOPT_POST, 1L);
    curl_easy_setopt(handle_, CURLOPT_HTTPHEADER, upload_headers_);
    curl_easy_setopt(handle_, CURLOPT_READFUNCTION, ReadFromFile);
    curl_easy_setopt(handle_, CURLOPT_READDATA, file);
    curl_easy_setopt(handle_, CURLOPT_POSTFIELDSIZE_LARGE, static_cast<curl_off_t>(target_.big_size));
    ToString();
    try {
      Perform(204);
    } catch (...) {
      std::fclose(file);
      throw;
    }
    std::fclose(file);
  }

  // Decoding on for these two only: "" asks for every coding this libcurl can decode.
  void DecodeToMemory() override {
    curl_easy_setopt(handle_, CURLOPT_URL, text_url_.c_str());
    curl_easy_setopt(handle_, CURLOPT_ACCEPT_ENCODING, "");
    ToString();
    Perform(200);
    CheckGzip();
    CheckSize(body_.size(), target_.text_size);
  }

  void DecodeToFile(const std::string& path) override {
    std::FILE* file = std::fopen(path.c_str(), "wb");
    BENCH_CHECK(file != nullptr, kWho, "cannot create " + path);
    curl_easy_setopt(handle_, CURLOPT_URL, text_url_.c_str());
    curl_easy_setopt(handle_, CURLOPT_ACCEPT_ENCODING, "");
    curl_easy_setopt(handle_, CURLOPT_WRITEFUNCTION, WriteToFile);
    curl_easy_setopt(handle_, CURLOPT_WRITEDATA, file);
    try {
      Perform(200);
      CheckGzip();
    } catch (...) {
      std::fclose(file);
      throw;
    }
    BENCH_CHECK(std::fclose(file) == 0, kWho, "cannot write " + path);
  }

  std::string_view KeptBody() const override { return body_; }

  void Release() override { std::string().swap(body_); }

 private:
  void Multi() {
    if (multi_ == nullptr) {
      multi_ = curl_multi_init();
      BENCH_CHECK(multi_ != nullptr, kWho, "curl_multi_init failed");
    }
    // libcurl's default since 7.62; said here because the HTTP/2 figures rest on it.
    curl_multi_setopt(multi_, CURLMOPT_PIPELINING, CURLPIPE_MULTIPLEX);
  }

  // Makes the first `in_flight` transfers, each bound to its body, for GETs of `url`.
  void PrepareTransfers(std::size_t in_flight, const std::string& url) {
    if (transfers_.size() < in_flight) transfers_.resize(in_flight);
    for (Transfer& transfer : transfers_) {
      if (transfer.handle == nullptr) {
        transfer.handle = curl_easy_init();
        BENCH_CHECK(transfer.handle != nullptr, kWho, "curl_easy_init failed");
        curl_easy_setopt(transfer.handle, CURLOPT_PROXY, "");
        curl_easy_setopt(transfer.handle, CURLOPT_WRITEFUNCTION, AppendToString);
      }
      curl_easy_setopt(transfer.handle, CURLOPT_URL, url.c_str());
      // Set on every run: the vector may have moved the transfers.
      curl_easy_setopt(transfer.handle, CURLOPT_WRITEDATA, &transfer.body);
      curl_easy_setopt(transfer.handle, CURLOPT_PRIVATE, &transfer);
    }
  }

  // TLS to the HTTP/2 port: the benchmark's CA, and HTTP/2 offered through ALPN when
  // the client is made for it.
  void SetTls(CURL* handle) {
    curl_easy_setopt(handle, CURLOPT_CAINFO, target_.ca_file.c_str());
    curl_easy_setopt(handle, CURLOPT_HTTP_VERSION,
                     http2_ ? CURL_HTTP_VERSION_2TLS : CURL_HTTP_VERSION_1_1);
    curl_easy_setopt(handle, CURLOPT_PIPEWAIT, http2_ ? 1L : 0L);
  }

  // The first transfer to end says what was spoken; a client made for HTTP/2 that is
  // answered in anything else would not measure what its row says.
  void CheckVersion(CURL* handle) {
    if (!http2_ || version_checked_) return;
    version_checked_ = true;
    long version = 0;
    curl_easy_getinfo(handle, CURLINFO_HTTP_VERSION, &version);
    BENCH_CHECK(version == CURL_HTTP_VERSION_2_0, kWho, "not answered over HTTP/2");
  }

  // Runs the first `in_flight` transfers, each re-added as soon as it is done, as long as
  // `budget` allows.
  Tally RunTransfers(std::size_t in_flight, Budget& budget) {
    Tally tally;
    auto start = [&](Transfer& transfer) {
      transfer.body.clear();
      CURLMcode code = curl_multi_add_handle(multi_, transfer.handle);
      if (code != CURLM_OK) {
        tally.Failed(std::string("curl_multi_add_handle: ") + curl_multi_strerror(code));
        return false;
      }
      return true;
    };
    int running = 0;
    for (std::size_t i = 0; i < in_flight && budget.Take(); ++i) {
      if (start(transfers_[i])) ++running;
    }
    while (running > 0) {
      int active = 0;
      CURLMcode code = curl_multi_perform(multi_, &active);
      if (code != CURLM_OK) {
        // The transfers still out cannot end; the counts will not match.
        tally.Failed(std::string("curl_multi_perform: ") + curl_multi_strerror(code));
        break;
      }
      // Finished transfers are restarted before waiting, not after the next event.
      int queued = 0;
      while (CURLMsg* message = curl_multi_info_read(multi_, &queued)) {
        if (message->msg != CURLMSG_DONE) continue;
        CURL* handle = message->easy_handle;
        CURLcode result = message->data.result;
        Transfer* transfer = nullptr;
        curl_easy_getinfo(handle, CURLINFO_PRIVATE, &transfer);
        if (result != CURLE_OK) {
          tally.Failed(curl_easy_strerror(result));
        } else {
          long status = 0;
          curl_easy_getinfo(handle, CURLINFO_RESPONSE_CODE, &status);
          if (status == 200 && transfer->body.size() == target_.small_size) {
            tally.Good();
          } else {
            tally.Wrong(status, transfer->body.size());
          }
          CheckVersion(handle);
        }
        // Done handles are removed and added again to run once more.
        curl_multi_remove_handle(multi_, handle);
        --running;
        if (budget.Take() && start(*transfer)) ++running;
      }
      if (running == 0) break;
      code = curl_multi_poll(multi_, nullptr, 0, 1000, nullptr);
      if (code != CURLM_OK) {
        tally.Failed(std::string("curl_multi_poll: ") + curl_multi_strerror(code));
        break;
      }
    }
    return tally;
  }

  void ToString() {
    body_.clear();
    curl_easy_setopt(handle_, CURLOPT_WRITEFUNCTION, AppendToString);
    curl_easy_setopt(handle_, CURLOPT_WRITEDATA, &body_);
  }

  void Perform(long expected_status) {
    CURLcode code = curl_easy_perform(handle_);
    BENCH_CHECK(code == CURLE_OK, kWho, curl_easy_strerror(code));
    long status = 0;
    curl_easy_getinfo(handle_, CURLINFO_RESPONSE_CODE, &status);
    BENCH_CHECK(status == expected_status, kWho, Describe("status", status, expected_status));
  }

  // The body came gzip-coded; what it decoded to is compared once the clock is stopped.
  void CheckGzip() {
    curl_header* field = nullptr;
    bool gzip = curl_easy_header(handle_, "Content-Encoding", 0, CURLH_HEADER, -1, &field) ==
                    CURLHE_OK &&
                std::strcmp(field->value, "gzip") == 0;
    BENCH_CHECK(gzip, kWho, "body not gzip-coded");
  }

  static void CheckSize(std::size_t got, std::size_t expected) {
    BENCH_CHECK(got == expected, kWho,
          Describe("length", static_cast<long long>(got), static_cast<long long>(expected)));
  }

  // One request of a parallel run and the body it receives.
  struct Transfer {
    CURL* handle = nullptr;
    std::string body;
  };

  // One of the downloads side by side and the file it writes.
  struct Download {
    CURL* handle = nullptr;
    std::FILE* file = nullptr;
    std::string path;
  };

  const Target& target_;
  const bool http2_;
  CURL* handle_ = nullptr;
  CURLM* multi_ = nullptr;
  std::vector<Transfer> transfers_;
  std::vector<Download> downloads_;
  bool version_checked_ = false;
  curl_slist* close_headers_ = nullptr;
  curl_slist* upload_headers_ = nullptr;
  std::string small_url_;
  std::string small_tls_url_;
  std::string big_url_;
  std::string upload_url_;
  std::string text_url_;
  std::string h2_small_url_;
  std::string h2_medium_url_;
  std::string body_;
};

}  // namespace

std::unique_ptr<Contender> MakeCurl(const Target& target, bool http2) {
  return std::make_unique<Curl>(target, http2);
}

}  // namespace bench
