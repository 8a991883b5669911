#include "support/proxy_servers.h"

#include <pwd.h>
#include <sys/types.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <functional>
#include <optional>
#include <sstream>
#include <system_error>

#include "korvo/internal/utility.h"
#include "support/httpbin_server.h"

namespace korvo {
namespace test {

namespace fs = std::filesystem;

namespace {

constexpr const char* kModuleDir = "/usr/lib/nginx/modules/";
// Bounds for a broken installation; a working one is up well within a second.
constexpr int kStartSeconds = 30;
// Ports picked for a program that binds its own; another is picked only when the
// program ended, as it does when somebody else took the port meanwhile.
constexpr int kPortTries = 3;
// How often, and how long between the tries, a program's port is looked at until it
// accepts: at most 30 s in all. The pause ends early when the program ends.
constexpr int kConnectTries = 3000;
constexpr int kConnectPauseMilliseconds = 10;

fs::path MakeTempDir(const char* prefix) {
  fs::path dir = fs::temp_directory_path() / (prefix + RandomString(10));
  fs::create_directories(dir);
  return dir;
}

void RemoveDir(fs::path& dir) {
  if (dir.empty()) return;
  std::error_code ignored;
  fs::remove_all(dir, ignored);
  dir.clear();
}

bool WriteFile(const fs::path& path, const std::string& text, std::string* error) {
  if (WritePrivateFile(path, text)) return true;
  *error = "cannot write " + path.string();
  return false;
}

// A port of 127.0.0.1 that was free a moment ago.
bool PickPort(unsigned short* port, std::string* error) {
  int fd = ListenOnLoopback(*port, *error);
  if (fd < 0) return false;
  ::close(fd);
  return true;
}

// The password file of basic_ncsa_auth: "user:$apr1$...", hashed by the openssl program.
bool WritePasswordFile(const fs::path& dir, const std::string& user, const std::string& password,
                       std::string* error) {
  // The password goes through a file, so that no shell ever reads it.
  const fs::path input = dir / "password.txt";
  if (!WriteFile(input, password + "\n", error)) return false;
  const std::string command = std::string(OpensslWwwServer::kOpenssl) +
                              " passwd -apr1 -in '" + input.string() + "' 2>&1";
  std::string hash;
  if (FILE* pipe = ::popen(command.c_str(), "r")) {
    char buffer[256];
    std::size_t n;
    while ((n = std::fread(buffer, 1, sizeof(buffer), pipe)) > 0) hash.append(buffer, n);
    ::pclose(pipe);
  }
  std::error_code ignored;
  fs::remove(input, ignored);
  while (!hash.empty() && (hash.back() == '\n' || hash.back() == '\r')) hash.pop_back();
  if (hash.rfind("$apr1$", 0) != 0) {
    *error = "openssl passwd -apr1 failed: " + hash;
    return false;
  }
  return WriteFile(dir / "passwd", user + ":" + hash + "\n", error);
}

// A user that squid, started as root, runs as.
struct Account {
  std::string name;
  uid_t uid = 0;
  gid_t gid = 0;
};

// Gives `dir` and everything in it to `user`.
bool GiveTo(const fs::path& dir, const Account& user, std::string* error) {
  std::error_code failed;
  auto give = [&](const fs::path& path) {
    if (::chown(path.c_str(), user.uid, user.gid) != 0) {
      *error = "chown " + path.string() + ": " + std::strerror(errno);
      return false;
    }
    return true;
  };
  if (!give(dir)) return false;
  for (const auto& entry : fs::recursive_directory_iterator(dir, failed)) {
    if (!give(entry.path())) return false;
  }
  return true;
}

}  // namespace

bool HasNginxModule(const char* file, const char* package, std::string* reason) {
  const std::string path = std::string(kModuleDir) + file;
  if (::access(path.c_str(), R_OK) == 0) return true;
  *reason = path + " is not installed (Debian package " + package +
            "; scripts/install-deps.sh installs it)";
  return false;
}

bool StartOnPickedPort(ServerProcess& process, const MakeOptions& make,
                       const WaitUntilReady& ready, unsigned short* port, std::string* error) {
  for (int attempt = 1;; ++attempt) {
    ServerProcess::Options options;
    if (!PickPort(port, error) || !make(*port, &options, error)) return false;
    if (!process.Start(options, error)) return false;
    if (ready(*port, error)) return true;
    const bool ended = process.WaitForExit(0);
    *error += "\noutput:\n" + process.OutputTail();
    process.Stop();
    if (!ended || attempt == kPortTries) return false;
  }
}

bool WaitUntilAccepting(const ServerProcess& process, unsigned short port, std::string* error) {
  for (int i = 0; i < kConnectTries; ++i) {
    int fd = ConnectToLoopback(port);
    if (fd >= 0) {
      ::close(fd);
      // Somebody else's port accepts too; the program then has given up on it.
      if (!process.WaitForExit(0)) return true;
      break;
    }
    if (process.WaitForExit(kConnectPauseMilliseconds)) break;
  }
  *error = process.WaitForExit(0) ? "the program ended without listening"
                                  : "nothing accepts on port " + std::to_string(port);
  return false;
}

bool StartNginx(ServerProcess& process, const fs::path& dir, const std::string& config,
                const std::vector<int>& fds, std::string* error) {
  const fs::path file = dir / "nginx.conf";
  if (!WriteFile(file, config, error)) return false;
  std::string inherited = "NGINX=";
  for (std::size_t i = 0; i < fds.size(); ++i) inherited += std::to_string(3 + i) + ";";
  ServerProcess::Options options;
  options.argv = {NginxServer::kNginx, "-p", dir.string() + "/", "-c", file.string(),
                  "-e", "stderr"};
  options.environment = {inherited};
  options.descriptors = fds;
  std::string line;
  if (!process.Start(options, error) ||
      !process.WaitForLine("start worker process", kStartSeconds, &line, error)) {
    *error += "\nnginx output:\n" + process.OutputTail();
    process.Stop();
    return false;
  }
  return true;
}

std::string NginxHttpSettings(const fs::path& dir_path) {
  const std::string dir = dir_path.string();
  std::ostringstream config;
  config << "http {\n"
         << "  access_log off;\n"
         << "  default_type application/octet-stream;\n"
         << "  client_body_temp_path " << dir << "/temp/body;\n"
         << "  proxy_temp_path " << dir << "/temp/proxy;\n"
         << "  fastcgi_temp_path " << dir << "/temp/fastcgi;\n"
         << "  uwsgi_temp_path " << dir << "/temp/uwsgi;\n"
         << "  scgi_temp_path " << dir << "/temp/scgi;\n"
         << "  ssl_certificate " << dir << "/server.crt;\n"
         << "  ssl_certificate_key " << dir << "/server.key;\n"
         << "  ssl_protocols TLSv1.2 TLSv1.3;\n"
         << "  client_max_body_size 0;\n";
  return config.str();
}

std::string NginxPreamble(const fs::path& dir, const char* module) {
  std::ostringstream text;
  text << "load_module " << kModuleDir << module << ";\n"
       << "daemon off;\n"
       << "master_process on;\n"
       << "worker_processes 1;\n"
       // As root, workers would drop to "nobody", who may not read the test's files.
       << (::geteuid() == 0 ? "user root root;\n" : "")
       << "pid " << dir.string() << "/nginx.pid;\n"
       << "error_log stderr notice;\n"
       << "events { worker_connections 256; }\n";
  return text.str();
}

// ---- ProxyOrigin ----

bool ProxyOrigin::Start(const fs::path& root, const TestCertificate& certificate,
                        std::string* error) {
  if (IsRunning()) return true;
  if (!HasProgram(NginxServer::kNginx, "nginx", error) ||
      !HasNginxModule(kEchoModule, "libnginx-mod-http-echo", error)) {
    return false;
  }
  dir_ = MakeTempDir("korvo_origin_");
  fs::create_directories(dir_ / "temp");
  int http_fd = -1;
  int https_fd = -1;
  bool started =
      WriteFile(dir_ / "server.crt", certificate.cert_pem, error) &&
      WriteFile(dir_ / "server.key", certificate.key_pem, error) &&
      (http_fd = ListenOnLoopback(http_port_, *error)) >= 0 &&
      (https_fd = ListenOnLoopback(https_port_, *error)) >= 0;
  if (started) {
    const std::string dir = dir_.string();
    std::ostringstream config;
    config << NginxPreamble(dir_, kEchoModule) << NginxHttpSettings(dir_)
           << "  server {\n"
           << "    listen 127.0.0.1:" << http_port_ << ";\n"
           // HTTP/2 for a client that offers it through ALPN; HTTP/1.1 for the others.
           << "    listen 127.0.0.1:" << https_port_ << " ssl http2;\n"
           << "    listen unix:" << UnixSocket().string() << ";\n"
           << "    listen unix:" << UnixTlsSocket().string() << " ssl http2;\n"
           << "    root " << root.string() << ";\n"
           << "    add_header X-Peer $remote_addr always;\n"
           << "    location / { }\n"
           // The body is read whole (into a temporary file when large) before the
           // answer starts, so no client is answered while it still sends.
           << "    location = /echo {\n"
           << "      echo_read_request_body;\n"
           << "      echo_request_body;\n"
           << "    }\n"
           << "  }\n"
           << "}\n";
    started = StartNginx(process_, dir_, config.str(), {http_fd, https_fd}, error);
  }
  for (int fd : {http_fd, https_fd}) {
    if (fd >= 0) ::close(fd);
  }
  if (!started) Stop();
  return started;
}

void ProxyOrigin::Stop() {
  process_.Stop(SIGTERM);
  RemoveDir(dir_);
}

std::string ProxyOrigin::HttpUrl(std::string_view path) const {
  return "http://127.0.0.1:" + std::to_string(http_port_) + std::string(path);
}

std::string ProxyOrigin::HttpsUrl(std::string_view path) const {
  return "https://127.0.0.1:" + std::to_string(https_port_) + std::string(path);
}

// ---- TinyproxyServer ----

bool TinyproxyServer::Start(const Options& options, std::string* error) {
  if (IsRunning()) return true;
  if (!HasProgram(kTinyproxy, "tinyproxy", error)) return false;
  dir_ = MakeTempDir("korvo_tinyproxy_");
  auto make = [&](unsigned short port, ServerProcess::Options* process, std::string* why) {
    std::ostringstream config;
    config << "Port " << port << "\n"
           << "Listen 127.0.0.1\n"
           << "Bind " << options.bind_address << "\n"
           << "Allow 127.0.0.1\n"
           << "Timeout 60\n"
           << "MaxClients 64\n"
           // Info: the line that says it accepts, and every request, in the output.
           << "LogLevel Info\n";
    for (unsigned short allowed : options.connect_ports) {
      config << "ConnectPort " << allowed << "\n";
    }
    if (!options.user.empty()) {
      config << "BasicAuth " << options.user << " " << options.password << "\n";
    }
    const fs::path file = dir_ / "tinyproxy.conf";
    if (!WriteFile(file, config.str(), why)) return false;
    // -d: in the foreground, logging to its standard error.
    process->argv = {kTinyproxy, "-d", "-c", file.string()};
    return true;
  };
  auto ready = [&](unsigned short, std::string* why) {
    std::string line;
    return process_.WaitForLine("Accepting connections", kStartSeconds, &line, why);
  };
  if (!StartOnPickedPort(process_, make, ready, &port_, error)) {
    *error = "tinyproxy did not start: " + *error;
    Stop();
    return false;
  }
  return true;
}

void TinyproxyServer::Stop() {
  process_.Stop(SIGTERM);
  RemoveDir(dir_);
}

std::string TinyproxyServer::Address() const { return "127.0.0.1:" + std::to_string(port_); }

// ---- SquidServer ----

bool SquidServer::Start(const std::string& user, const std::string& password,
                        const std::string& bind_address, std::string* error) {
  if (IsRunning()) return true;
  if (!HasProgram(kSquid, "squid", error) || !HasProgram(kBasicAuth, "squid", error) ||
      !HasProgram(OpensslWwwServer::kOpenssl, "openssl", error)) {
    return false;
  }
  dir_ = MakeTempDir("korvo_squid_");
  // Its shared-memory segments are named after the service: one of its own keeps them
  // apart from any other squid's, and tells Stop which to remove.
  service_ = "korvo" + RandomString(10);
  std::optional<Account> drop_to;
  if (::geteuid() == 0) {
    const passwd* entry = ::getpwnam("proxy");
    if (entry == nullptr) {
      *error = "squid refuses to run as root, and there is no user \"proxy\" to run it as";
      Stop();
      return false;
    }
    drop_to = Account{entry->pw_name, entry->pw_uid, entry->pw_gid};
  }
  if (!WritePasswordFile(dir_, user, password, error)) {
    Stop();
    return false;
  }
  const std::string dir = dir_.string();
  auto make = [&](unsigned short port, ServerProcess::Options* process, std::string* why) {
    std::ostringstream config;
    config << "http_port 127.0.0.1:" << port << "\n"
           << "pid_filename " << dir << "/squid.pid\n"
           << "cache_log " << dir << "/cache.log\n"
           << "access_log stdio:" << dir << "/access.log\n"
           << "cache_store_log none\n"
           << "coredump_dir " << dir << "\n"
           << "netdb_filename none\n"
           << "cache deny all\n"
           << "cache_mem 8 MB\n"
           << "visible_hostname korvo-test\n"
           // Origins are addresses, which squid does not look up; anything else would
           // go to a name server that is not there.
           << "dns_nameservers 127.0.0.1\n"
           << "pinger_enable off\n"
           << "icp_port 0\n"
           << "htcp_port 0\n"
           << "shutdown_lifetime 0 seconds\n"
           << "tcp_outgoing_address " << bind_address << "\n"
           << "auth_param basic program " << kBasicAuth << " " << dir << "/passwd\n"
           << "auth_param basic children 1 startup=1 idle=1\n"
           << "auth_param basic realm korvo\n"
           << "acl authenticated proxy_auth REQUIRED\n"
           << "http_access allow authenticated\n"
           << "http_access deny all\n";
    if (drop_to) config << "cache_effective_user " << drop_to->name << "\n";
    const fs::path file = dir_ / "squid.conf";
    if (!WriteFile(file, config.str(), why)) return false;
    if (drop_to && !GiveTo(dir_, *drop_to, why)) return false;
    // -N: in the foreground; -d 1: what it logs also on its standard error.
    process->argv = {kSquid, "-N", "-d", "1", "-n", service_, "-f", file.string()};
    return true;
  };
  // squid says it accepts when it has bound the port and scheduled the job that
  // listens on it: until that job has run, a connection is refused.
  auto ready = [&](unsigned short port, std::string* why) {
    std::string line;
    return process_.WaitForLine("Accepting HTTP Socket connections", kStartSeconds, &line,
                                why) &&
           WaitUntilAccepting(process_, port, why);
  };
  if (!StartOnPickedPort(process_, make, ready, &port_, error)) {
    *error = "squid did not start: " + *error;
    Stop();
    return false;
  }
  return true;
}

void SquidServer::Stop() {
  // Killed: a squid told to stop takes seconds over it, however short its
  // shutdown_lifetime. What it leaves is removed here.
  process_.Stop(SIGKILL);
  if (!service_.empty()) {
    std::error_code ignored;
    for (const auto& entry : fs::directory_iterator("/dev/shm", ignored)) {
      if (entry.path().filename().string().rfind(service_ + "-", 0) == 0) {
        fs::remove(entry.path(), ignored);
      }
    }
    service_.clear();
  }
  RemoveDir(dir_);
}

std::string SquidServer::Address() const { return "127.0.0.1:" + std::to_string(port_); }

// ---- MicrosocksServer ----

bool MicrosocksServer::Start(const std::string& user, const std::string& password,
                             const std::string& bind_address, std::string* error) {
  if (IsRunning()) return true;
  if (!HasProgram(kMicrosocks, "microsocks", error)) return false;
  auto make = [&](unsigned short port, ServerProcess::Options* process, std::string*) {
    process->argv = {kMicrosocks, "-i", "127.0.0.1", "-p", std::to_string(port),
                     "-b", bind_address};
    if (!user.empty()) process->argv.insert(process->argv.end(), {"-u", user, "-P", password});
    return true;
  };
  auto ready = [&](unsigned short port, std::string* why) {
    return WaitUntilAccepting(process_, port, why);
  };
  if (!StartOnPickedPort(process_, make, ready, &port_, error)) {
    *error = "microsocks did not start: " + *error;
    Stop();
    return false;
  }
  return true;
}

std::string MicrosocksServer::Address() const { return "127.0.0.1:" + std::to_string(port_); }

// ---- TlsFront ----

bool TlsFront::Start(const TestCertificate& certificate, unsigned short target_port,
                     std::string* error) {
  if (IsRunning()) return true;
  if (!HasProgram(NginxServer::kNginx, "nginx", error) ||
      !HasNginxModule(kStreamModule, "libnginx-mod-stream", error)) {
    return false;
  }
  dir_ = MakeTempDir("korvo_tls_front_");
  int fd = -1;
  bool started = WriteFile(dir_ / "server.crt", certificate.cert_pem, error) &&
                 WriteFile(dir_ / "server.key", certificate.key_pem, error) &&
                 (fd = ListenOnLoopback(port_, *error)) >= 0;
  if (started) {
    const std::string dir = dir_.string();
    std::ostringstream config;
    config << NginxPreamble(dir_, kStreamModule)
           << "stream {\n"
           << "  server {\n"
           << "    listen 127.0.0.1:" << port_ << " ssl;\n"
           << "    ssl_certificate " << dir << "/server.crt;\n"
           << "    ssl_certificate_key " << dir << "/server.key;\n"
           << "    ssl_protocols TLSv1.2 TLSv1.3;\n"
           << "    proxy_pass 127.0.0.1:" << target_port << ";\n"
           << "  }\n"
           << "}\n";
    started = StartNginx(process_, dir_, config.str(), {fd}, error);
  }
  if (fd >= 0) ::close(fd);
  if (!started) Stop();
  return started;
}

void TlsFront::Stop() {
  process_.Stop(SIGTERM);
  RemoveDir(dir_);
}

std::string TlsFront::Address() const { return "127.0.0.1:" + std::to_string(port_); }

}  // namespace test
}  // namespace korvo
