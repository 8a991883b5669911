// Proxies korvo did not write, each run by a test as a child process on loopback, and
// the origin behind them: Debian's tinyproxy (HTTP, CONNECT), squid (HTTP, CONNECT,
// Basic proxy authentication), microsocks (SOCKS5), nginx's stream module as a TLS front
// for a proxy, and an nginx origin that says which way each request came.
//
// nginx takes its listening sockets from the test (see NginxServer). tinyproxy, squid
// and microsocks cannot: each binds a port that the test picked (bound and released at
// once), and is started again on another port when it could not have that one.
//
// Every proxy makes its outgoing connections from an address of its own in 127.0.0.0/8
// (tinyproxy's Bind, squid's tcp_outgoing_address, microsocks' -b), so the origin's
// "X-Peer" field (nginx's $remote_addr) names the proxy a request went through, and
// reads 127.0.0.1 for a direct one and "unix:" for one over a Unix-domain socket.
// Nothing here looks a name up: every address is written as an address, and squid's
// name server is 127.0.0.1, where nothing answers.
//
// Thread rules: as in real_servers.h: Start, Stop and destruction on one thread, the
// getters from any thread while the server runs.
#ifndef KORVO_TESTS_SUPPORT_PROXY_SERVERS_H_
#define KORVO_TESTS_SUPPORT_PROXY_SERVERS_H_

#include <filesystem>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include "support/real_servers.h"
#include "support/test_tls.h"

namespace korvo {
namespace test {

// Whether the nginx module `file` (a path under /usr/lib/nginx/modules) is installed;
// if not, `reason` names it and the Debian package that brings it.
bool HasNginxModule(const char* file, const char* package, std::string* reason);

// The runners the servers here share with other suites' servers.
//
// For a program that binds a port it is told: `make` describes the program for a port
// picked at random, and `ready` says when it serves that port. Starts it, and starts it
// again on another port when it ended first (somebody else took that port meanwhile).
using MakeOptions =
    std::function<bool(unsigned short port, ServerProcess::Options* options, std::string* error)>;
using WaitUntilReady = std::function<bool(unsigned short port, std::string* error)>;
bool StartOnPickedPort(ServerProcess& process, const MakeOptions& make,
                       const WaitUntilReady& ready, unsigned short* port, std::string* error);

// Tries to connect until the program accepts: for one that says nothing once it
// listens, or says so too early.
bool WaitUntilAccepting(const ServerProcess& process, unsigned short port, std::string* error);

// nginx with `config` (written to `dir`/nginx.conf), its log on standard error, the
// listening sockets `fds` handed over as descriptors 3, 4, ... (nginx finds them through
// $NGINX and takes each for the "listen" with its address). Returns once the master has
// started its worker: the sockets listen already, so a client that comes earlier waits
// in their backlog.
bool StartNginx(ServerProcess& process, const std::filesystem::path& dir,
                const std::string& config, const std::vector<int>& fds, std::string* error);

// The lines every such nginx starts with: `module` loaded, in the foreground, its pid
// file in `dir`, one worker.
std::string NginxPreamble(const std::filesystem::path& dir, const char* module);
// The start of an "http" block for an origin in `dir`: its temporary files there, its
// certificate and key as dir/server.crt and dir/server.key, bodies of any size.
std::string NginxHttpSettings(const std::filesystem::path& dir);

// ProxyOrigin: nginx serving a directory on 127.0.0.1, plain and TLS, and on two
// Unix-domain sockets in its directory, plain and TLS, all with the same locations:
//   /NAME   the file as it is;
//   /echo   answers 200 with the request's body, byte for byte (the echo module).
// Every answer carries "X-Peer: <the client's address>". The TLS listeners speak HTTP/2 to
// a client that offers it through ALPN.
class ProxyOrigin {
 public:
  static constexpr const char* kEchoModule = "ngx_http_echo_module.so";

  ProxyOrigin() = default;
  ~ProxyOrigin() { Stop(); }

  ProxyOrigin(const ProxyOrigin&) = delete;
  ProxyOrigin& operator=(const ProxyOrigin&) = delete;

  bool Start(const std::filesystem::path& root, const TestCertificate& certificate,
             std::string* error);
  void Stop();

  bool IsRunning() const { return process_.IsRunning(); }
  unsigned short http_port() const { return http_port_; }
  unsigned short https_port() const { return https_port_; }
  // "http://127.0.0.1:<port>" and "https://127.0.0.1:<port>", followed by `path`.
  std::string HttpUrl(std::string_view path) const;
  std::string HttpsUrl(std::string_view path) const;
  std::filesystem::path UnixSocket() const { return dir_ / "http.sock"; }
  std::filesystem::path UnixTlsSocket() const { return dir_ / "https.sock"; }

 private:
  ServerProcess process_;
  std::filesystem::path dir_;
  unsigned short http_port_ = 0;
  unsigned short https_port_ = 0;
};

// TinyproxyServer: Debian's tinyproxy in the foreground, its log on its standard error.
class TinyproxyServer {
 public:
  static constexpr const char* kTinyproxy = "/usr/bin/tinyproxy";

  struct Options {
    std::string bind_address = "127.0.0.1";  // where its outgoing connections leave from
    // The ports CONNECT may reach; empty: every port.
    std::vector<unsigned short> connect_ports;
    // Both set: clients must give these (tinyproxy's BasicAuth).
    std::string user;
    std::string password;
  };

  TinyproxyServer() = default;
  ~TinyproxyServer() { Stop(); }

  TinyproxyServer(const TinyproxyServer&) = delete;
  TinyproxyServer& operator=(const TinyproxyServer&) = delete;

  bool Start(const Options& options, std::string* error);
  void Stop();

  bool IsRunning() const { return process_.IsRunning(); }
  unsigned short port() const { return port_; }
  // "127.0.0.1:<port>"
  std::string Address() const;

 private:
  ServerProcess process_;
  std::filesystem::path dir_;
  unsigned short port_ = 0;
};

// SquidServer: squid without a disk cache, in the foreground (-N), under a service name
// of its own (so that its shared-memory segments are its own too), that serves only
// clients giving `user` and `password` (Basic, checked by basic_ncsa_auth against a
// password file made with `openssl passwd -apr1`). As root, squid refuses to run as
// root: it then drops to the system's "proxy" user, who is given its directory.
class SquidServer {
 public:
  static constexpr const char* kSquid = "/usr/sbin/squid";
  static constexpr const char* kBasicAuth = "/usr/lib/squid/basic_ncsa_auth";

  SquidServer() = default;
  ~SquidServer() { Stop(); }

  SquidServer(const SquidServer&) = delete;
  SquidServer& operator=(const SquidServer&) = delete;

  bool Start(const std::string& user, const std::string& password,
             const std::string& bind_address, std::string* error);
  void Stop();

  bool IsRunning() const { return process_.IsRunning(); }
  unsigned short port() const { return port_; }
  std::string Address() const;

 private:
  ServerProcess process_;
  std::filesystem::path dir_;
  std::string service_;
  unsigned short port_ = 0;
};

// MicrosocksServer: microsocks, a SOCKS5 server, with user and password when both are
// given (and then only with them).
class MicrosocksServer {
 public:
  static constexpr const char* kMicrosocks = "/usr/bin/microsocks";

  MicrosocksServer() = default;
  ~MicrosocksServer() { Stop(); }

  MicrosocksServer(const MicrosocksServer&) = delete;
  MicrosocksServer& operator=(const MicrosocksServer&) = delete;

  bool Start(const std::string& user, const std::string& password,
             const std::string& bind_address, std::string* error);
  void Stop() { process_.Stop(); }

  bool IsRunning() const { return process_.IsRunning(); }
  unsigned short port() const { return port_; }
  std::string Address() const;

 private:
  ServerProcess process_;
  unsigned short port_ = 0;
};

// TlsFront: nginx's stream module ending TLS on a port of 127.0.0.1 and passing the
// plain bytes on to 127.0.0.1:`target_port`: an HTTPS proxy made of an HTTP one.
class TlsFront {
 public:
  static constexpr const char* kStreamModule = "ngx_stream_module.so";

  TlsFront() = default;
  ~TlsFront() { Stop(); }

  TlsFront(const TlsFront&) = delete;
  TlsFront& operator=(const TlsFront&) = delete;

  bool Start(const TestCertificate& certificate, unsigned short target_port,
             std::string* error);
  void Stop();

  bool IsRunning() const { return process_.IsRunning(); }
  unsigned short port() const { return port_; }
  std::string Address() const;

 private:
  ServerProcess process_;
  std::filesystem::path dir_;
  unsigned short port_ = 0;
};

}  // namespace test
}  // namespace korvo

#endif  // KORVO_TESTS_SUPPORT_PROXY_SERVERS_H_
