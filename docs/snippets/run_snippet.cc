// Runs the guide's snippets against a local httpbin, and checks that the code the guide
// (and any other document given with --guide, such as the README) quotes is still in
// them.
//
//   run_snippet [--guide <document.md> <snippet source dir>]... <snippet executable>...
//
// Each snippet is run as
//   snippet <base URL> <TLS port> <TLS directory> <proxy address> <Unix socket>
// The base URL is httpbin's; the TLS port is that of `openssl s_server -www` on
// 127.0.0.1 with a certificate for "api.korvo.test", which asks for a client
// certificate but takes a connection without one; the directory holds the CA that
// issued both certificates (ca.crt) and the client's certificate and key (client.crt,
// client.key). The proxy address ("127.0.0.1:PORT") is that of a squid that serves the
// user "guide" with the password "s3cret"; the Unix socket is a path where httpbin also
// listens. All of it is made at run time and removed at the end. Snippets ignore the
// arguments they do not need.
//
// One server of each kind for all the snippets, started once: httpbin takes seconds to
// come up, the snippets milliseconds each. Every snippet runs even when one fails, so
// that a single run names all the broken ones.
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <sstream>
#include <string>
#include <vector>

#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include "support/httpbin_server.h"
#include "support/proxy_servers.h"
#include "support/real_servers.h"

extern char** environ;

namespace {

namespace fs = std::filesystem;

std::string Trim(const std::string& text) {
  const auto first = text.find_first_not_of(" \t\r");
  if (first == std::string::npos) return {};
  const auto last = text.find_last_not_of(" \t\r");
  return text.substr(first, last - first + 1);
}

std::vector<std::string> ReadLines(const fs::path& path) {
  std::vector<std::string> lines;
  std::ifstream in(path);
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  return lines;
}

// Every ```cpp block of a document must appear, line for line (indentation aside), in
// the snippet the document last linked to ("snippets/<name>.cc"), so that an edit to
// either shows up here instead of in a reader's compiler. Returns the number of
// blocks that do not.
int CheckGuide(const fs::path& guide, const fs::path& snippet_dir) {
  const std::vector<std::string> lines = ReadLines(guide);
  if (lines.empty()) {
    std::cerr << "cannot read " << guide << "\n";
    return 1;
  }
  int mismatches = 0;
  std::string source;
  for (std::size_t i = 0; i < lines.size(); ++i) {
    const auto link = lines[i].find("snippets/");
    const auto suffix = lines[i].find(".cc", link == std::string::npos ? 0 : link);
    if (link != std::string::npos && suffix != std::string::npos &&
        lines[i].rfind("```", 0) != 0) {
      source = lines[i].substr(link + 9, suffix + 3 - link - 9);
    }
    if (lines[i] != "```cpp") continue;
    std::vector<std::string> block;
    const std::size_t start = i + 1;
    for (++i; i < lines.size() && lines[i] != "```"; ++i) block.push_back(Trim(lines[i]));
    if (source.empty()) {
      std::cerr << guide.filename().string() << ":" << start
                << ": code block without a snippet link before it\n";
      ++mismatches;
      continue;
    }
    std::vector<std::string> code;
    for (const std::string& line : ReadLines(snippet_dir / source)) code.push_back(Trim(line));
    bool found = false;
    for (std::size_t at = 0; !found && at + block.size() <= code.size(); ++at) {
      found = true;
      for (std::size_t k = 0; found && k < block.size(); ++k) found = code[at + k] == block[k];
    }
    if (!found) {
      std::cerr << guide.filename().string() << ":" << start << ": block not found verbatim in "
                << source << "\n";
      ++mismatches;
    }
  }
  return mismatches;
}

// The program's exit status, or -1 when it could not run or did not exit normally. With
// an `output` path, its standard output and error are appended to that file.
int Run(const std::vector<std::string>& argv, const std::string& output = {}) {
  std::vector<char*> args;
  for (const std::string& arg : argv) args.push_back(const_cast<char*>(arg.c_str()));
  args.push_back(nullptr);
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  if (!output.empty()) {
    posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, output.c_str(),
                                     O_WRONLY | O_CREAT | O_APPEND, 0600);
    posix_spawn_file_actions_adddup2(&actions, STDOUT_FILENO, STDERR_FILENO);
  }
  pid_t pid = -1;
  const int spawned = posix_spawn(&pid, args[0], &actions, nullptr, args.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  if (spawned != 0) return -1;
  int status = 0;
  if (waitpid(pid, &status, 0) != pid || !WIFEXITED(status)) return -1;
  return WEXITSTATUS(status);
}

// A private directory, removed with everything in it when this goes.
class TempDir {
 public:
  TempDir() {
    const char* base = std::getenv("TMPDIR");
    std::string pattern =
        std::string(base != nullptr && *base ? base : "/tmp") + "/korvo_guide_XXXXXX";
    if (mkdtemp(pattern.data()) != nullptr) path_ = pattern;
  }
  ~TempDir() {
    std::error_code ignored;
    if (!path_.empty()) fs::remove_all(path_, ignored);
  }
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;

  const fs::path& path() const { return path_; }

 private:
  fs::path path_;
};

// Makes the CA and the two certificates the TLS server and the TLS snippet use; P-256
// keys, so that it takes milliseconds.
bool MakeCertificates(const fs::path& dir, std::string* error) {
  const std::string openssl = korvo::test::OpensslWwwServer::kOpenssl;
  const std::string ca = (dir / "ca.crt").string();
  const std::string ca_key = (dir / "ca.key").string();
  auto issue = [&](const std::string& name, const std::string& subject,
                   std::vector<std::string> extensions) {
    std::vector<std::string> argv = {openssl, "req", "-x509", "-newkey", "ec", "-pkeyopt",
                                     "ec_paramgen_curve:P-256", "-nodes", "-days", "2",
                                     "-subj", subject,
                                     "-keyout", (dir / (name + ".key")).string(),
                                     "-out", (dir / (name + ".crt")).string()};
    if (name != "ca") argv.insert(argv.end(), {"-CA", ca, "-CAkey", ca_key});
    for (std::string& extension : extensions) argv.insert(argv.end(), {"-addext", extension});
    // Its chatter goes to a file, shown only when it fails.
    const std::string log = (dir / "openssl.log").string();
    if (Run(argv, log) == 0) return true;
    std::ifstream in(log);
    std::stringstream text;
    text << in.rdbuf();
    *error = "openssl could not make " + name + ".crt:\n" + text.str();
    return false;
  };
  return issue("ca", "/CN=korvo guide CA",
               {"basicConstraints=critical,CA:TRUE", "keyUsage=critical,keyCertSign,cRLSign"}) &&
         issue("server", "/CN=api.korvo.test",
               {"basicConstraints=critical,CA:FALSE", "subjectAltName=DNS:api.korvo.test",
                "extendedKeyUsage=serverAuth"}) &&
         issue("client", "/CN=korvo guide client",
               {"basicConstraints=critical,CA:FALSE", "extendedKeyUsage=clientAuth"});
}

// Starts `openssl s_server -www` with the certificates of `dir` and returns its port,
// or 0.
unsigned short StartTlsServer(korvo::test::ServerProcess& server, const fs::path& dir,
                              std::string* error) {
  if (!korvo::test::HasProgram(korvo::test::OpensslWwwServer::kOpenssl, "openssl", error) ||
      !MakeCertificates(dir, error)) {
    return 0;
  }
  // On port 0 s_server binds a port the kernel chooses and announces it once it listens.
  korvo::test::ServerProcess::Options options;
  options.argv = {korvo::test::OpensslWwwServer::kOpenssl, "s_server", "-www",
                  "-accept", "127.0.0.1:0",
                  "-cert", (dir / "server.crt").string(), "-key", (dir / "server.key").string(),
                  "-verifyCAfile", (dir / "ca.crt").string(), "-verify", "1"};
  options.directory = dir;
  std::string line;
  if (!server.Start(options, error) || !server.WaitForLine("ACCEPT 127.0.0.1:", 30, &line, error)) {
    *error += "\ns_server output:\n" + server.OutputTail();
    return 0;
  }
  return static_cast<unsigned short>(std::atoi(line.c_str() + line.rfind(':') + 1));
}

}  // namespace

int main(int argc, char** argv) {
  int first = 1;
  int failures = 0;
  while (first + 2 < argc && std::string(argv[first]) == "--guide") {
    failures += CheckGuide(argv[first + 1], argv[first + 2]);
    first += 3;
  }
  if (first >= argc) {
    std::cerr << "usage: run_snippet [--guide <document.md> <snippet dir>]... <snippet>...\n";
    return 2;
  }

  // Declared before the servers, so that they stop before their files go.
  TempDir socket_dir;
  if (socket_dir.path().empty()) {
    std::cerr << "cannot make a temporary directory\n";
    return 1;
  }
  const fs::path socket = socket_dir.path() / "httpbin.sock";

  // Four workers: the timing snippets keep one busy for a while, the others must not
  // queue behind it.
  korvo::test::HttpbinServer server;
  server.SetUnixSocket(socket);
  std::string error;
  if (!server.Start(4, 60, &error)) {
    std::cerr << "httpbin did not start: " << error << "\n";
    return 1;
  }
  const std::string base_url = server.Url("");

  // Declared before the server, so that the server stops before its files go.
  TempDir tls_dir;
  korvo::test::ServerProcess tls_server;
  if (tls_dir.path().empty()) {
    std::cerr << "cannot make a temporary directory\n";
    return 1;
  }
  const unsigned short tls_port = StartTlsServer(tls_server, tls_dir.path(), &error);
  if (tls_port == 0) {
    std::cerr << "the TLS server did not start: " << error << "\n";
    return 1;
  }

  // Its outgoing connections leave from 127.0.0.1 too: the snippets only see its fields.
  korvo::test::SquidServer proxy;
  if (!proxy.Start("guide", "s3cret", "127.0.0.1", &error)) {
    std::cerr << "the proxy did not start: " << error << "\n";
    return 1;
  }

  for (int i = first; i < argc; ++i) {
    const std::string name = fs::path(argv[i]).filename().string();
    std::cout << "=== " << name << std::endl;
    const int status = Run({argv[i], base_url, std::to_string(tls_port), tls_dir.path().string(),
                            proxy.Address(), socket.string()});
    std::cout << "=== " << name << (status == 0 ? ": ok" : ": FAILED") << " (exit "
              << status << ")" << std::endl;
    if (status != 0) ++failures;
  }
  return failures == 0 ? 0 : 1;
}
