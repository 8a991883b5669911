#include "support/h2_servers.h"

#include <openssl/evp.h>
#include <unistd.h>

#include <cstdio>
#include <memory>
#include <sstream>
#include <stdexcept>
#include <system_error>
#include <vector>

#include "support/httpbin_server.h"
#include "support/proxy_servers.h"
#include "support/temp_dir.h"

namespace korvo {
namespace test {

namespace fs = std::filesystem;

namespace {

// A bound for a broken installation; a working one is up well within a second.
constexpr int kStartSeconds = 30;

std::string LoopbackUrl(const char* scheme, unsigned short port, std::string_view path) {
  return std::string(scheme) + "://127.0.0.1:" + std::to_string(port) + std::string(path);
}

// A directory of the server's own holding its key and certificate.
bool MakeServerDir(const char* prefix, const TestCertificate* certificate, fs::path* dir,
                   std::string* error) {
  *dir = MakeUniqueTempDir(prefix);
  if (certificate == nullptr) return true;
  if (WritePrivateFile(*dir / "server.crt", certificate->cert_pem) &&
      WritePrivateFile(*dir / "server.key", certificate->key_pem)) {
    return true;
  }
  *error = "cannot write the certificate to " + dir->string();
  return false;
}

void RemoveDir(fs::path& dir) {
  if (dir.empty()) return;
  std::error_code ignored;
  fs::remove_all(dir, ignored);
  dir.clear();
}

void CloseAll(const std::vector<int>& fds) {
  for (int fd : fds) {
    if (fd >= 0) ::close(fd);
  }
}

}  // namespace

// ---- The bytes of h2_app.py ----

std::string BigBlock(std::size_t index) {
  const std::string seed = "korvo-h2-big-" + std::to_string(index);
  std::string block(kBigBlockSize, '\0');
  std::unique_ptr<EVP_MD_CTX, decltype(&EVP_MD_CTX_free)> context(EVP_MD_CTX_new(),
                                                                  EVP_MD_CTX_free);
  if (!context || EVP_DigestInit_ex(context.get(), EVP_shake128(), nullptr) != 1 ||
      EVP_DigestUpdate(context.get(), seed.data(), seed.size()) != 1 ||
      EVP_DigestFinalXOF(context.get(), reinterpret_cast<unsigned char*>(block.data()),
                         block.size()) != 1) {
    throw std::runtime_error("SHAKE-128 failed");
  }
  return block;
}

std::string LargeFieldName(int index) {
  char name[16];
  std::snprintf(name, sizeof(name), "x-large-%02d", index);
  return name;
}

std::string LargeFieldValue(int index) {
  char prefix[8];
  std::snprintf(prefix, sizeof(prefix), "%02d:", index);
  return prefix + std::string(1024 - 3, static_cast<char>('a' + index % 26));
}

// ---- H2Nginx ----

bool H2Nginx::Start(const fs::path& root, const TestCertificate& certificate,
                    std::string* error) {
  if (IsRunning()) return true;
  if (!HasProgram(NginxServer::kNginx, "nginx", error) ||
      !HasNginxModule(kEchoModule, "libnginx-mod-http-echo", error)) {
    return false;
  }
  std::vector<int> fds = {-1, -1};
  bool started = MakeServerDir("korvo_h2_nginx_", &certificate, &dir_, error) &&
                 (fds[0] = ListenOnLoopback(h2_port_, *error)) >= 0 &&
                 (fds[1] = ListenOnLoopback(http1_port_, *error)) >= 0;
  if (started) {
    fs::create_directories(dir_ / "temp");
    const std::string dir = dir_.string();
    const std::string h2_origin = "https://127.0.0.1:" + std::to_string(h2_port_);
    const std::string http1_origin = "https://127.0.0.1:" + std::to_string(http1_port_);
    std::ostringstream config;
    config << NginxPreamble(dir_, kEchoModule) << NginxHttpSettings(dir_)
           << "  server {\n"
           // In nginx 1.22 "http2" belongs to the listening socket, so the other port
           // of the same server never offers it.
           << "    listen 127.0.0.1:" << h2_port_ << " ssl http2;\n"
           << "    listen 127.0.0.1:" << http1_port_ << " ssl;\n"
           << "    root " << root.string() << ";\n"
           << "    add_header X-Protocol $server_protocol always;\n"
           << "    location / { }\n"
           // Read whole before the answer starts, so no client is answered while it
           // still sends.
           << "    location = /echo {\n"
           << "      echo_read_request_body;\n"
           << "      echo_request_body;\n"
           << "    }\n"
           << "    location /gzip/ {\n"
           << "      alias " << root.string() << "/;\n"
           << "      gzip_static always;\n"
           << "    }\n"
           << "    location ~ ^/to/h2(/.*)$ {\n"
           << "      return 302 \"" << h2_origin << "$1?$args+$server_protocol\";\n"
           << "    }\n"
           << "    location ~ ^/to/h1(/.*)$ {\n"
           << "      return 302 \"" << http1_origin << "$1?$args+$server_protocol\";\n"
           << "    }\n"
           << "    location = /trail {\n"
           << "      return 200 \"$args+$server_protocol\";\n"
           << "    }\n"
           << "  }\n"
           << "}\n";
    started = StartNginx(process_, dir_, config.str(), fds, error);
  }
  CloseAll(fds);
  if (!started) Stop();
  return started;
}

void H2Nginx::Stop() {
  process_.Stop(SIGTERM);
  RemoveDir(dir_);
}

std::string H2Nginx::H2Url(std::string_view path) const {
  return LoopbackUrl("https", h2_port_, path);
}

std::string H2Nginx::Http1Url(std::string_view path) const {
  return LoopbackUrl("https", http1_port_, path);
}

// ---- NghttpdServer ----

bool NghttpdServer::Start(const fs::path& root, const TestCertificate* certificate,
                          std::string* error) {
  if (IsRunning()) return true;
  if (!HasProgram(kNghttpd, "nghttp2-server", error)) return false;
  tls_ = certificate != nullptr;
  if (!MakeServerDir("korvo_nghttpd_", certificate, &dir_, error)) {
    Stop();
    return false;
  }
  auto make = [&](unsigned short port, ServerProcess::Options* options, std::string*) {
    options->argv = {kNghttpd,
                     "--address=127.0.0.1",
                     "--htdocs=" + root.string(),
                     "--echo-upload",
                     "--trailer=" + std::string(kTrailerField) + ": " + kTrailerValue,
                     std::to_string(port)};
    if (tls_) {
      options->argv.push_back((dir_ / "server.key").string());
      options->argv.push_back((dir_ / "server.crt").string());
    } else {
      options->argv.insert(options->argv.begin() + 1, "--no-tls");
    }
    return true;
  };
  // nghttpd says nothing once it listens.
  auto ready = [&](unsigned short port, std::string* why) {
    return WaitUntilAccepting(process_, port, why);
  };
  if (!StartOnPickedPort(process_, make, ready, &port_, error)) {
    *error = "nghttpd did not start: " + *error;
    Stop();
    return false;
  }
  return true;
}

void NghttpdServer::Stop() {
  process_.Stop(SIGTERM);
  RemoveDir(dir_);
}

std::string NghttpdServer::Url(std::string_view path) const {
  return LoopbackUrl(tls_ ? "https" : "http", port_, path);
}

// ---- HypercornServer ----

bool HypercornServer::Start(const fs::path& app, const TestCertificate& certificate,
                            std::string* error) {
  if (IsRunning()) return true;
  if (!HasProgram(kPython, "python3", error) ||
      !HasProgram(kHypercorn, "python3-hypercorn", error)) {
    return false;
  }
  std::vector<int> fds = {-1, -1};
  bool started = MakeServerDir("korvo_hypercorn_", &certificate, &dir_, error) &&
                 (fds[0] = ListenOnLoopback(https_port_, *error)) >= 0 &&
                 (fds[1] = ListenOnLoopback(http_port_, *error)) >= 0;
  if (started) {
    ServerProcess::Options options;
    // -I: no user site, no PYTHON* variables; -B: no __pycache__ beside the application
    // in the source tree. With a certificate, --bind names the TLS sockets and
    // --insecure-bind the cleartext ones. No grace on SIGTERM: the connections left are
    // idle ones of a test that is done, and each would hold the stop up by 3 s.
    options.argv = {kPython,
                    "-I",
                    "-B",
                    "-m",
                    "hypercorn",
                    "--certfile=" + (dir_ / "server.crt").string(),
                    "--keyfile=" + (dir_ / "server.key").string(),
                    "--bind=fd://3",
                    "--insecure-bind=fd://4",
                    "--error-logfile=-",
                    "--graceful-timeout=0",
                    app.string() + ":app"};
    options.descriptors = fds;
    std::string line;
    // The cleartext socket is announced last; both listen already, so a client that
    // comes before the application is loaded waits in the backlog.
    started = process_.Start(options, error) &&
              process_.WaitForLine("Running on http://", kStartSeconds, &line, error);
    if (!started) *error += "\nhypercorn output:\n" + process_.OutputTail();
  }
  CloseAll(fds);
  if (!started) Stop();
  return started;
}

void HypercornServer::Stop() {
  process_.Stop(SIGTERM);
  RemoveDir(dir_);
}

std::string HypercornServer::HttpsUrl(std::string_view path) const {
  return LoopbackUrl("https", https_port_, path);
}

std::string HypercornServer::HttpUrl(std::string_view path) const {
  return LoopbackUrl("http", http_port_, path);
}

}  // namespace test
}  // namespace korvo
