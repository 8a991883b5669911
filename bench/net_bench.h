// Shared pieces of the network benchmark: what the clients under test are asked to do,
// and where the server is. Each measurement runs in a child process of its own, so a
// client here is created, used on one thread and destroyed within one measurement (a
// client may run threads of its own inside one call, as cpp-httplib's parallel run does).
#ifndef KORVO_BENCH_NET_BENCH_H_
#define KORVO_BENCH_NET_BENCH_H_

#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

namespace bench {

// The private nginx that scripts/bench.sh starts, and the files it serves.
struct Target {
  std::string host = "127.0.0.1";
  int http_port = 0;
  int https_port = 0;
  std::string ca_file;      // CA that issued the server's certificate
  std::string dir;          // the run's scratch directory
  std::string small_path = "/small";
  std::string big_path = "/big";
  std::string upload_path = "/upload";
  std::size_t small_size = 100;
  std::size_t big_size = 0;
  std::string upload_file;  // file sent by the uploads (the served big file)
  // Compressible text served only gzip-coded (nginx's gzip_static, no plain copy beside
  // it), so a client that does not ask for gzip gets 404. text_size is the decoded size;
  // text_file is the plain original, outside the served tree, for the checks.
  std::string text_path = "/text";
  std::size_t text_size = 0;
  std::string text_file;
  // Trust the system's CA store (which scripts/bench.sh extends with ca_file) instead of
  // ca_file alone, as a program would; korvo always does. The floor ignores it: loading
  // one certificate is the least a client can do.
  bool system_roots = false;
  // The HTTP proxy scripts/bench.sh starts beside nginx (tinyproxy, CONNECT to the https
  // port only), 0 when there is none. `proxy` is the URL the clients are given, set for
  // the tunnel figure only: empty, they connect directly.
  int proxy_port = 0;
  std::string proxy;
  // The second TLS port of the same nginx, which also speaks HTTP/2 (ALPN "h2"), so that
  // the https figures stay HTTP/1.1 for every client; 0 when there is none. It serves
  // the same files, and medium_path for the parallel downloads.
  int h2_port = 0;
  std::string medium_path = "/medium";
  std::size_t medium_size = 0;
  // A location of the https port that logs whether each request's TLS session was
  // resumed, one line per request: "<r or .> <query>".
  std::string resume_check_path = "/resume-check";
  std::string resume_log;

  std::string H2Url(const std::string& path) const;

  std::string HostHeader(bool tls) const;
  std::string Url(bool tls, const std::string& path) const;
};

// How long a parallel run goes on starting requests: until `limit` have been started or
// the clock has passed `stop`, whichever comes first. Take may be called from any number
// of threads at once.
class Budget {
 public:
  using Clock = std::chrono::steady_clock;

  Budget(std::uint64_t limit, Clock::time_point stop) : limit_(limit), stop_(stop) {}
  Budget(const Budget&) = delete;
  Budget& operator=(const Budget&) = delete;

  // Whether one more request may start; counts it when it may.
  bool Take();
  // Requests started so far.
  std::uint64_t Taken() const { return taken_.load(std::memory_order_relaxed); }

 private:
  const std::uint64_t limit_;
  const Clock::time_point stop_;
  std::atomic<std::uint64_t> taken_{0};
  std::atomic<bool> over_{false};
};

// What came of the requests of a parallel run. The client fills it in as responses
// arrive; the caller judges it once the clock is stopped, so that no client is timed on
// building messages.
struct Tally {
  std::uint64_t ended = 0;  // requests that ended, answered or failed
  std::uint64_t good = 0;   // of these: status 200 and a body of the small file's size
  std::string first_error;  // what went wrong first, if anything did

  void Good() {
    ++ended;
    ++good;
  }
  // A response with the wrong status or body size.
  void Wrong(long status, std::size_t size);
  // A request that got no response.
  void Failed(std::string what);
  // Adds another tally (a thread's) to this one.
  void Merge(const Tally& other);
};

// A client under test. Every operation is one complete exchange that either succeeded
// with the expected status and body size or throws std::runtime_error: a benchmark that
// counts failures as requests would measure nothing.
class Contender {
 public:
  virtual ~Contender() = default;

  // GET of the small file over a connection kept alive between calls (through
  // Target::proxy when it is set).
  virtual void GetSmall(bool tls) = 0;
  // GET of the small file on a connection of its own, closed afterwards.
  virtual void GetSmallNewConnection() = 0;
  // GETs of the small file with `in_flight` of them outstanding at all times, each on a
  // connection kept alive (by the client's own pooling) or, with `new_connection`, on a
  // connection of its own closed afterwards, each client with its usual way of running
  // requests side by side. Starts requests as long as `budget` allows, then waits for the
  // ones still out. Nothing is thrown for a bad response: it goes into the tally.
  virtual Tally GetSmallParallel(std::size_t in_flight, bool new_connection, Budget& budget) = 0;
  // GET of the small file over TLS on a connection of its own, closed afterwards, with
  // whatever the client keeps of earlier TLS sessions to resume one. `query`, when not
  // empty, is appended to the path of the resume check instead (see Target).
  virtual void GetSmallNewTlsConnection(const std::string& query = {});
  // As GetSmallParallel, kept alive, over TLS to the HTTP/2 port: a client made for
  // HTTP/2 multiplexes the requests on one connection, the others use their pool.
  virtual Tally GetSmallParallelTls(std::size_t in_flight, Budget& budget);
  // `count` GETs of the medium file from the HTTP/2 port at once, each body written to a
  // file of its own as it arrives (`directory` holds the client's files, for the clients
  // that do not pick their own). Returns the paths of the files, checked and removed by
  // the caller once the clock is stopped.
  virtual std::vector<std::string> DownloadManyToFiles(std::size_t count,
                                                       const std::string& directory);
  // GET of the big file with the body held in memory.
  virtual void DownloadToMemory() = 0;
  // GET of the big file with the body written to a file as it arrives. Clients that pick
  // their own temporary file ignore the path.
  virtual void DownloadToFile(const std::string& path) = 0;
  // GET of the big file with the body handed, piece by piece as it arrives, to the
  // client's own way of taking a body in pieces, where a function only counts the bytes.
  // Returns the count, which the caller compares with the file's size.
  virtual std::uint64_t DownloadToSink() = 0;
  // POST of the big file, read from disk piece by piece; nginx discards it.
  virtual void Upload() = 0;
  // GET of the gzip-coded text with the client's content decoding on, the decoded body
  // held in memory, or written to a file as it arrives. Only the clients of the decoded
  // figures implement them.
  virtual void DecodeToMemory();
  virtual void DecodeToFile(const std::string& path);
  // Called once the clock is stopped: where the last exchange left its body, so that the
  // decoded bytes can be compared with the original. KeptFile gets the path that was
  // given to DecodeToFile.
  virtual std::string_view KeptBody() const;
  virtual std::string KeptFile(const std::string& path) const { return path; }
  // Called once the clock is stopped: drops what the last exchange left behind.
  virtual void Release() {}
};

std::unique_ptr<Contender> MakeFloor(const Target& target);
// With `http2`, the client offers HTTP/2 on the HTTP/2 port and multiplexes there.
std::unique_ptr<Contender> MakeCurl(const Target& target, bool http2 = false);
std::unique_ptr<Contender> MakeHttplib(const Target& target);
std::unique_ptr<Contender> MakeBeast(const Target& target);
std::unique_ptr<Contender> MakeKorvo(const Target& target, std::size_t buffer_size,
                                     bool http2 = false);

// Throws std::runtime_error with "<who>: <what>".
[[noreturn]] void Fail(const char* who, const std::string& what);
std::string Describe(const char* what, long long got, long long expected);

}  // namespace bench

// Fails when the condition does not hold. The message is only built then: the checks run
// on every request, and text built eagerly would be measured along with the client.
#define BENCH_CHECK(condition, who, what)           \
  do {                                              \
    if (!(condition)) ::bench::Fail((who), (what)); \
  } while (0)

#endif  // KORVO_BENCH_NET_BENCH_H_
