// Servers that speak HTTP/2, each run by a test as a child process on loopback: nginx
// (h2 over TLS, beside a port that speaks HTTP/1.1 only), nghttpd (over TLS, or h2c with
// prior knowledge) and hypercorn running the tests' own ASGI application
// (tests/support/h2_app.py, over TLS and h2c). Also the bytes that application sends,
// for the checks.
//
// nginx and hypercorn take their listening sockets from the test (see NginxServer);
// nghttpd cannot, and binds a port the test picked (see StartOnPickedPort). Start
// returns once the server accepts; Stop, or destruction, ends it and every process it
// started, and removes the files it used. Nothing here looks a name up: every address
// is 127.0.0.1.
//
// Thread rules: as in real_servers.h: Start, Stop and destruction on one thread, the
// getters from any thread while the server runs; the byte functions from any thread.
#ifndef KORVO_TESTS_SUPPORT_H2_SERVERS_H_
#define KORVO_TESTS_SUPPORT_H2_SERVERS_H_

#include <cstddef>
#include <filesystem>
#include <string>
#include <string_view>

#include "support/real_servers.h"
#include "support/test_tls.h"

namespace korvo {
namespace test {

// What h2_app.py's /big sends: kBigBlocks blocks of kBigBlockSize bytes, block `index`
// being the first kBigBlockSize bytes of SHAKE-128("korvo-h2-big-<index>").
constexpr std::size_t kBigBlockSize = 64 * 1024;
constexpr std::size_t kBigBlocks = 1024;
constexpr std::size_t kBigBodySize = kBigBlockSize * kBigBlocks;  // 64 MiB
std::string BigBlock(std::size_t index);

// What h2_app.py's /large-headers sends: fields "x-large-00" to "x-large-59", field
// `index` holding LargeFieldValue(index), 1 KiB each.
constexpr int kLargeFields = 60;
std::string LargeFieldName(int index);
std::string LargeFieldValue(int index);

// H2Nginx: nginx serving a directory on two TLS ports of 127.0.0.1: one offers "h2"
// through ALPN (and HTTP/1.1 to clients that ask for nothing else), the other speaks
// HTTP/1.1 only. Both have the same locations:
//   /NAME              the file as it is;
//   /echo              answers 200 with the request's body, byte for byte (echo module);
//   /gzip/NAME         the file NAME.gz as it is, with "Content-Encoding: gzip", whatever
//                      the request accepts;
//   /to/h2/REST        302 to /REST on the h2 port, /to/h1/REST the same on the HTTP/1.1
//                      port; each appends "+<its protocol>" to the query it passes on;
//   /trail             200 with the query and "+<its protocol>" as the body: the
//                      protocols of every hop there, in order.
// Every answer carries "X-Protocol": nginx's $server_protocol ("HTTP/2.0", "HTTP/1.1").
class H2Nginx {
 public:
  static constexpr const char* kEchoModule = "ngx_http_echo_module.so";

  H2Nginx() = default;
  ~H2Nginx() { Stop(); }

  H2Nginx(const H2Nginx&) = delete;
  H2Nginx& operator=(const H2Nginx&) = delete;

  bool Start(const std::filesystem::path& root, const TestCertificate& certificate,
             std::string* error);
  void Stop();

  bool IsRunning() const { return process_.IsRunning(); }
  // "https://127.0.0.1:<port>" of the h2 port and of the HTTP/1.1 one, then `path`.
  std::string H2Url(std::string_view path) const;
  std::string Http1Url(std::string_view path) const;

 private:
  ServerProcess process_;
  std::filesystem::path dir_;
  unsigned short h2_port_ = 0;
  unsigned short http1_port_ = 0;
};

// NghttpdServer: nghttp2's nghttpd serving a directory, answering every POST with its
// body (--echo-upload) and ending every response that has a body with the trailer field
// kTrailerField (announced in "Trailer").
class NghttpdServer {
 public:
  static constexpr const char* kNghttpd = "/usr/sbin/nghttpd";
  static constexpr const char* kTrailerField = "x-korvo-trailer";
  static constexpr const char* kTrailerValue = "sent after the body";

  NghttpdServer() = default;
  ~NghttpdServer() { Stop(); }

  NghttpdServer(const NghttpdServer&) = delete;
  NghttpdServer& operator=(const NghttpdServer&) = delete;

  // Over TLS with `certificate`; when it is null, in cleartext, where nghttpd expects
  // HTTP/2 from the first byte.
  bool Start(const std::filesystem::path& root, const TestCertificate* certificate,
             std::string* error);
  void Stop();

  bool IsRunning() const { return process_.IsRunning(); }
  // "https://127.0.0.1:<port>" (or "http://" in cleartext), then `path`.
  std::string Url(std::string_view path) const;

 private:
  ServerProcess process_;
  std::filesystem::path dir_;
  bool tls_ = false;
  unsigned short port_ = 0;
};

// HypercornServer: hypercorn running the ASGI application `app` (a Python file with an
// `app` in it: h2_app.py) on two ports of 127.0.0.1: TLS, which offers "h2" and
// "http/1.1" through ALPN, and cleartext, which takes HTTP/1.1 or HTTP/2 with prior
// knowledge.
class HypercornServer {
 public:
  static constexpr const char* kPython = "/usr/bin/python3";
  static constexpr const char* kHypercorn = "/usr/bin/hypercorn";

  HypercornServer() = default;
  ~HypercornServer() { Stop(); }

  HypercornServer(const HypercornServer&) = delete;
  HypercornServer& operator=(const HypercornServer&) = delete;

  bool Start(const std::filesystem::path& app, const TestCertificate& certificate,
             std::string* error);
  void Stop();

  bool IsRunning() const { return process_.IsRunning(); }
  // "https://127.0.0.1:<port>" and "http://127.0.0.1:<port>", then `path`.
  std::string HttpsUrl(std::string_view path) const;
  std::string HttpUrl(std::string_view path) const;

 private:
  ServerProcess process_;
  std::filesystem::path dir_;
  unsigned short https_port_ = 0;
  unsigned short http_port_ = 0;
};

}  // namespace test
}  // namespace korvo

#endif  // KORVO_TESTS_SUPPORT_H2_SERVERS_H_
