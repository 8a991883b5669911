// Network benchmark: korvo next to libcurl, cpp-httplib, Boost.Beast and a raw-socket
// floor, against the nginx that scripts/bench.sh starts on loopback.
//
// Every measurement runs in a fresh child process (this program, re-executed with
// --child): clients cannot warm each other's caches or heap, a crash or a hang is
// contained (the child has an alarm), and wait4 reports the child's peak resident memory.
// Rounds alternate the clients' order so that drift of the machine spreads over all of
// them; the table shows medians over the rounds and each median's ratio to the floor.
//
// Two figures time the first HTTPS request of a client made for it, root certificates
// and handshake included. Since a process may keep what it loaded for its first client,
// one measures the first client of a fresh process (several processes a round), the
// other further clients made while the process's first one is still alive.
//
// Two figures keep 64 GETs in flight at once, each client with its own way of running
// requests side by side; every response is counted as it arrives and the counts are
// judged once the clock is stopped.
//
// One figure runs the HTTPS keep-alive GETs through a CONNECT tunnel of the HTTP proxy
// that scripts/bench.sh starts (tinyproxy), for the clients that can be given one. The
// first request of every request-rate measurement is timed on its own, so that the
// tunnel's setup (a connection to the proxy, CONNECT and its answer, then the handshake
// with the origin) can be set beside the direct one.
//
// Two figures download compressible text that nginx serves gzip-coded from a file
// compressed in advance, with each client's content decoding on: the value is decoded
// bytes per second, and the decoded body is compared with the original once the clock
// is stopped, so that no client is measured on bytes it did not decode.
//
// Two figures run against a second TLS port of the same nginx that also speaks HTTP/2:
// 64 GETs in flight, and 16 large downloads at once, with the clients made for HTTP/2
// multiplexing them on one connection; h2load runs the GETs as the ceiling. A client made
// for HTTP/2 that is answered in another HTTP fails its row. One figure opens a new TLS
// connection per request to an origin seen before, and reads nginx's log to tell whether
// the handshakes resumed a session.
#include <signal.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iostream>
#include <limits>
#include <map>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

#include "net_bench.h"

namespace bench {

std::string Target::HostHeader(bool tls) const {
  return host + ":" + std::to_string(tls ? https_port : http_port);
}

std::string Target::Url(bool tls, const std::string& path) const {
  return std::string(tls ? "https://" : "http://") + HostHeader(tls) + path;
}

std::string Target::H2Url(const std::string& path) const {
  return "https://" + host + ":" + std::to_string(h2_port) + path;
}

void Fail(const char* who, const std::string& what) {
  throw std::runtime_error(std::string(who) + ": " + what);
}

std::string Describe(const char* what, long long got, long long expected) {
  return std::string(what) + " " + std::to_string(got) + ", expected " + std::to_string(expected);
}

void Contender::DecodeToMemory() { Fail("bench", "this client has no decoded download"); }

void Contender::DecodeToFile(const std::string&) {
  Fail("bench", "this client has no decoded download");
}

std::string_view Contender::KeptBody() const { Fail("bench", "this client keeps no body"); }

void Contender::GetSmallNewTlsConnection(const std::string&) {
  Fail("bench", "this client has no resumed-connection GET");
}

Tally Contender::GetSmallParallelTls(std::size_t, Budget&) {
  Fail("bench", "this client has no parallel GETs from the HTTP/2 port");
}

std::vector<std::string> Contender::DownloadManyToFiles(std::size_t, const std::string&) {
  Fail("bench", "this client has no parallel downloads");
}

bool Budget::Take() {
  if (over_.load(std::memory_order_relaxed)) return false;
  if (Clock::now() >= stop_) {
    over_.store(true, std::memory_order_relaxed);
    return false;
  }
  std::uint64_t taken = taken_.load(std::memory_order_relaxed);
  do {
    if (taken >= limit_) {
      over_.store(true, std::memory_order_relaxed);
      return false;
    }
  } while (!taken_.compare_exchange_weak(taken, taken + 1, std::memory_order_relaxed));
  return true;
}

void Tally::Wrong(long status, std::size_t size) {
  ++ended;
  if (first_error.empty()) {
    first_error = "status " + std::to_string(status) + " with a body of " +
                  std::to_string(size) + " bytes, expected 200 and the small file";
  }
}

void Tally::Failed(std::string what) {
  ++ended;
  if (first_error.empty()) first_error = std::move(what);
}

void Tally::Merge(const Tally& other) {
  ended += other.ended;
  good += other.good;
  if (first_error.empty()) first_error = other.first_error;
}

namespace {

constexpr const char* kFloor = "floor";
constexpr const char* kKorvo = "korvo";
constexpr const char* kKorvo64k = "korvo-64k";
constexpr const char* kCurl = "libcurl";
constexpr const char* kHttplib = "cpp-httplib";
constexpr const char* kBeast = "Boost.Beast";
// The same clients made for HTTP/2, for the figures on the HTTP/2 port.
constexpr const char* kKorvoH2 = "korvo-h2";
constexpr const char* kCurlH2 = "libcurl-h2";
// nghttp2's load generator, run as a program: the most a client could get from nginx.
constexpr const char* kH2load = "h2load";
constexpr std::size_t kLargeBuffer = 64 * 1024;

enum class Kind {
  kRate,              // requests/s on a warm client
  kParallel,          // requests/s on a warm client with kInFlight requests outstanding
  kTransfer,          // MB/s of one big transfer
  kDecoded,           // MiB/s of decoded bytes of one gzip-coded transfer
  kFirstOfProcess,    // ms for the first request of the process's first client
  kFirstOfNewClient,  // ms for the first request of a client in a process that has one
  kTimePerRequest,    // ms per request on a warm client, one request at a time
  kManyTransfers,     // MB/s of kDownloadsAtOnce transfers side by side
};

// Requests outstanding at once in a kParallel figure (their titles say so).
constexpr std::size_t kInFlight = 64;
// Downloads side by side in a kManyTransfers figure.
constexpr std::size_t kDownloadsAtOnce = 16;

// Processes spawned per client and round for a kFirstOfProcess figure (one when quick):
// a single request is a small sample.
constexpr int kProcessesPerRound = 10;

bool IsFirstRequest(Kind kind) {
  return kind == Kind::kFirstOfProcess || kind == Kind::kFirstOfNewClient;
}

bool LowerIsBetter(Kind kind) { return IsFirstRequest(kind) || kind == Kind::kTimePerRequest; }

struct Figure {
  const char* id;
  const char* title;
  Kind kind;
  bool peak_memory;  // also report the peak resident memory of these measurements
  std::vector<const char*> clients;
  // The client the ratio column divides by; figures without a floor name another.
  const char* reference = kFloor;
};

const std::vector<Figure>& Figures() {
  static const std::vector<Figure> figures = {
      {"keepalive", "keep-alive GET 100 B (req/s)", Kind::kRate, false,
       {kFloor, kKorvo, kCurl, kHttplib, kBeast}},
      {"newconn", "GET 100 B, new connection each (req/s)", Kind::kRate, false,
       {kFloor, kKorvo, kCurl, kHttplib, kBeast}},
      {"https", "HTTPS keep-alive GET 100 B (req/s)", Kind::kRate, false,
       {kFloor, kKorvo, kCurl, kHttplib, kBeast}},
      // Only the clients that take a proxy; measured when there is one (--proxy-port).
      {"tunnel", "HTTPS keep-alive GET 100 B through a CONNECT tunnel (req/s)", Kind::kRate,
       false, {kKorvo, kCurl}},
      // Peak memory too: 64 connections, and cpp-httplib's 64 threads, have a cost
      // beside their speed.
      {"parallel", "parallel keep-alive GET 100 B, 64 in flight (req/s)", Kind::kParallel,
       true, {kFloor, kKorvo, kCurl, kHttplib, kBeast}},
      {"parallel-newconn", "parallel GET 100 B, 64 in flight, new connection each (req/s)",
       Kind::kParallel, true, {kFloor, kKorvo, kCurl, kHttplib, kBeast}},
      {"memory", "download into memory (MB/s)", Kind::kTransfer, false,
       {kFloor, kKorvo, kKorvo64k, kCurl, kHttplib, kBeast}},
      {"stream", "download streamed to a file (MB/s)", Kind::kTransfer, true,
       {kFloor, kKorvo, kKorvo64k, kCurl, kHttplib, kBeast}},
      // Every client's sink only counts, so this is the cost of the client alone: no
      // body is kept and nothing is written.
      {"sink", "download through a body sink counting bytes (MB/s)", Kind::kTransfer, true,
       {kFloor, kKorvo, kKorvo64k, kCurl, kHttplib, kBeast}},
      {"upload", "file upload, POST discarded (MB/s)", Kind::kTransfer, true,
       {kFloor, kKorvo, kCurl, kHttplib, kBeast}},
      // Beast has no content decoding. The floor inflates with zlib straight into a
      // buffer of the known decoded size, or 64 KiB at a time into the file.
      {"gzip-memory", "compressible body, gzip-decoded into memory (MiB/s)", Kind::kDecoded,
       true, {kFloor, kKorvo, kKorvo64k, kCurl, kHttplib}},
      {"gzip-stream", "compressible body, gzip-decoded, streamed to a file (MiB/s)",
       Kind::kDecoded, true, {kFloor, kKorvo, kKorvo64k, kCurl, kHttplib}},
      {"first-process", "first HTTPS GET, new process (ms)", Kind::kFirstOfProcess,
       false, {kFloor, kKorvo, kCurl, kHttplib, kBeast}},
      {"first-client", "first HTTPS GET, another client (ms)",
       Kind::kFirstOfNewClient, false, {kFloor, kKorvo, kCurl, kHttplib, kBeast}},
      // On the HTTP/2 port (--h2-port). korvo's HTTP/1.1 row is the parallel figure's
      // korvo over TLS, a connection per request in flight.
      {"h2-parallel", "TLS keep-alive GET 100 B, 64 in flight (req/s; / h2load)",
       Kind::kParallel, true, {kKorvoH2, kKorvo, kCurlH2, kH2load}, kH2load},
      {"h2-download", "downloads to files at once, HTTP/2 (MB/s; / libcurl)",
       Kind::kManyTransfers, true, {kKorvoH2, kCurlH2}, kCurlH2},
      // A new TLS connection per request to an origin seen before, so the handshake can
      // resume the session of an earlier one.
      {"resume", "HTTPS GET 100 B, new resumed connection each (ms; / libcurl)",
       Kind::kTimePerRequest, false, {kKorvo, kCurl}, kCurl},
  };
  return figures;
}

// Whether the figure's clients go through the benchmark's proxy.
bool ThroughProxy(const Figure& figure) { return std::string(figure.id) == "tunnel"; }

// Whether the figure is measured on nginx's HTTP/2 port.
bool OnH2Port(const Figure& figure) { return std::string(figure.id).rfind("h2-", 0) == 0; }

const Figure* FindFigure(const std::string& id) {
  for (const Figure& figure : Figures()) {
    if (id == figure.id) return &figure;
  }
  return nullptr;
}

struct Options {
  Target target;
  bool quick = false;
  int rounds = 5;
  double seconds = 1.5;  // length of one request-rate measurement
  bool korvo_untrusted = false;
  std::vector<std::string> figures;  // empty: all
  std::vector<std::string> clients;  // empty: all
  // Child mode.
  std::string child_figure;
  std::string child_client;
};

void Usage(std::ostream& out) {
  out << "usage: net_bench --http-port N --https-port N --ca FILE --dir DIR --size BYTES\n"
         "                 --text-size BYTES [--quick] [--rounds N] [--seconds S]\n"
         "                 [--figures a,b] [--clients a,b] [--korvo-untrusted]\n"
         "                 [--proxy-port N] [--h2-port N --medium-size BYTES]\n"
         "Normally started by scripts/bench.sh, which provides the server and the proxy.\n"
         "figures: keepalive newconn https tunnel parallel parallel-newconn memory stream\n"
         "         sink upload gzip-memory gzip-stream first-process first-client\n"
         "         h2-parallel h2-download resume\n"
         "clients: floor korvo korvo-64k libcurl cpp-httplib Boost.Beast korvo-h2 libcurl-h2\n"
         "         h2load\n";
}

std::vector<std::string> SplitList(const std::string& text) {
  std::vector<std::string> items;
  std::stringstream stream(text);
  std::string item;
  while (std::getline(stream, item, ',')) {
    if (!item.empty()) items.push_back(item);
  }
  return items;
}

std::optional<Options> ParseOptions(int argc, char** argv) {
  Options options;
  bool rounds_given = false;
  bool seconds_given = false;
  for (int i = 1; i < argc; ++i) {
    std::string arg = argv[i];
    auto value = [&]() -> std::string {
      if (i + 1 >= argc) throw std::invalid_argument(arg + " needs a value");
      return argv[++i];
    };
    if (arg == "--http-port") {
      options.target.http_port = std::stoi(value());
    } else if (arg == "--https-port") {
      options.target.https_port = std::stoi(value());
    } else if (arg == "--proxy-port") {
      options.target.proxy_port = std::stoi(value());
    } else if (arg == "--h2-port") {
      options.target.h2_port = std::stoi(value());
    } else if (arg == "--medium-size") {
      options.target.medium_size = std::stoull(value());
    } else if (arg == "--ca") {
      options.target.ca_file = value();
    } else if (arg == "--dir") {
      options.target.dir = value();
    } else if (arg == "--size") {
      options.target.big_size = std::stoull(value());
    } else if (arg == "--text-size") {
      options.target.text_size = std::stoull(value());
    } else if (arg == "--quick") {
      options.quick = true;
    } else if (arg == "--rounds") {
      options.rounds = std::stoi(value());
      rounds_given = true;
    } else if (arg == "--seconds") {
      options.seconds = std::stod(value());
      seconds_given = true;
    } else if (arg == "--figures") {
      options.figures = SplitList(value());
    } else if (arg == "--clients") {
      options.clients = SplitList(value());
    } else if (arg == "--korvo-untrusted") {
      options.korvo_untrusted = true;
    } else if (arg == "--child") {
      options.child_figure = value();
      options.child_client = value();
    } else if (arg == "--help" || arg == "-h") {
      Usage(std::cout);
      std::exit(0);
    } else {
      throw std::invalid_argument("unknown argument " + arg);
    }
  }
  if (options.quick) {
    if (!rounds_given) options.rounds = 1;
    if (!seconds_given) options.seconds = 0.2;
  }
  const Target& target = options.target;
  if (target.http_port <= 0 || target.https_port <= 0 || target.ca_file.empty() ||
      target.dir.empty() || target.big_size == 0 || target.text_size == 0 || options.rounds < 1 ||
      options.seconds <= 0) {
    return std::nullopt;
  }
  for (const std::string& id : options.figures) {
    if (FindFigure(id) == nullptr) throw std::invalid_argument("unknown figure " + id);
  }
  options.target.upload_file = target.dir + "/www/big";
  options.target.text_file = target.dir + "/text";
  options.target.resume_log = target.dir + "/logs/resume.log";
  if (target.h2_port > 0 && target.medium_size == 0) {
    throw std::invalid_argument("--h2-port needs --medium-size");
  }
  return options;
}

std::unique_ptr<Contender> MakeContender(const std::string& client, const Target& target) {
  if (client == kFloor) return MakeFloor(target);
  if (client == kKorvo) return MakeKorvo(target, 0);
  if (client == kKorvo64k) return MakeKorvo(target, kLargeBuffer);
  if (client == kCurl) return MakeCurl(target);
  if (client == kHttplib) return MakeHttplib(target);
  if (client == kBeast) return MakeBeast(target);
  if (client == kKorvoH2) return MakeKorvo(target, 0, true);
  if (client == kCurlH2) return MakeCurl(target, true);
  throw std::invalid_argument("unknown client " + client);
}

using Clock = std::chrono::steady_clock;

double Seconds(Clock::time_point start) {
  return std::chrono::duration<double>(Clock::now() - start).count();
}

// CPU time (user and system, every thread of this process) used so far, in seconds.
// Steadier than a rate on a shared machine: another process's load slows a client down
// but adds little to the CPU time it spends per request.
double CpuSeconds() {
  rusage usage{};
  ::getrusage(RUSAGE_SELF, &usage);
  auto seconds = [](const timeval& time) { return time.tv_sec + time.tv_usec / 1e6; };
  return seconds(usage.ru_utime) + seconds(usage.ru_stime);
}

// What the measurement in this child spent in CPU time per unit of its figure (a
// request, or a MB of a transfer), in microseconds; NaN where it is not measured.
double g_cpu_per_unit = NAN;
// How long the first request of a request-rate measurement took, in ms; NaN elsewhere.
double g_first_ms = NAN;
// What the table should say beside the value (one line, no line break); usually empty.
std::string g_note;

// Makes a client and times its first HTTPS request: construction, whatever it loads to
// verify certificates, connect, handshake and exchange. Its destruction is not timed.
double TimeFirstRequest(const std::string& client, const Target& target) {
  Clock::time_point start = Clock::now();
  std::unique_ptr<Contender> contender = MakeContender(client, target);
  contender->GetSmall(true);
  return Seconds(start);
}

// A first-request figure; returns ms per request.
double MeasureFirst(const Options& options, Kind kind) {
  // Each client trusts what a program would: korvo the system roots, libcurl its built-in
  // bundle, the others OpenSSL's default locations.
  Target target = options.target;
  target.system_roots = true;
  if (kind == Kind::kFirstOfProcess) return TimeFirstRequest(options.child_client, target) * 1e3;

  // The process's first client stays alive while the others come and go, as in a
  // program that keeps one and makes another.
  std::unique_ptr<Contender> first = MakeContender(options.child_client, target);
  first->GetSmall(true);
  double timed = 0;
  long count = 0;
  Clock::time_point start = Clock::now();
  do {
    timed += TimeFirstRequest(options.child_client, target);
    ++count;
  } while (Seconds(start) < options.seconds || count < 3);
  return timed / static_cast<double>(count) * 1e3;
}

// Compares what a decoded download left with the original, 64 KiB at a time: reading
// either whole would add its size to the peak memory of the measurement.
class Original {
 public:
  explicit Original(const std::string& path) : path_(path), in_(path, std::ios::binary) {
    BENCH_CHECK(in_.is_open(), "bench", "cannot open " + path);
  }

  // Checks that the original goes on with `data`.
  void Expect(const char* who, const char* data, std::size_t size) {
    while (size > 0) {
      std::size_t n = std::min(size, piece_.size());
      in_.read(piece_.data(), static_cast<std::streamsize>(n));
      BENCH_CHECK(static_cast<std::size_t>(in_.gcount()) == n, who,
                  "decoded body longer than " + path_);
      BENCH_CHECK(std::memcmp(piece_.data(), data, n) == 0, who,
                  "decoded body differs from " + path_ + " near byte " +
                      std::to_string(checked_));
      data += n;
      size -= n;
      checked_ += n;
    }
  }

  void ExpectEnd(const char* who) {
    BENCH_CHECK(in_.peek() == std::char_traits<char>::eof(), who,
                "decoded body shorter than " + path_ + ": " + std::to_string(checked_) + " bytes");
  }

 private:
  std::string path_;
  std::ifstream in_;
  std::vector<char> piece_ = std::vector<char>(64 * 1024);
  std::size_t checked_ = 0;
};

void CheckDecodedBody(const char* who, std::string_view body, const std::string& original) {
  Original expected(original);
  expected.Expect(who, body.data(), body.size());
  expected.ExpectEnd(who);
}

void CheckDecodedFile(const char* who, const std::string& path, const std::string& original) {
  Original expected(original);
  std::ifstream in(path, std::ios::binary);
  BENCH_CHECK(in.is_open(), who, "cannot open the decoded file " + path);
  std::vector<char> piece(64 * 1024);
  while (in) {
    in.read(piece.data(), static_cast<std::streamsize>(piece.size()));
    expected.Expect(who, piece.data(), static_cast<std::size_t>(in.gcount()));
  }
  expected.ExpectEnd(who);
}

// A decoded-download figure; returns MiB of decoded body per second.
double MeasureDecoded(const Options& options, Contender& contender, bool to_file) {
  const Target& target = options.target;
  const char* who = options.child_client.c_str();
  contender.GetSmall(false);  // a warm connection, as for the other downloads
  struct RemovedAtEnd {
    ~RemovedAtEnd() {
      std::error_code ignored;
      std::filesystem::remove(path, ignored);
    }
    std::string path;
  } file{target.dir + "/temp/decoded-" + std::to_string(::getpid())};
  Clock::time_point start = Clock::now();
  double cpu = CpuSeconds();
  if (to_file) {
    contender.DecodeToFile(file.path);
  } else {
    contender.DecodeToMemory();
  }
  double elapsed = Seconds(start);
  g_cpu_per_unit =
      (CpuSeconds() - cpu) / (static_cast<double>(target.text_size) / (1 << 20)) * 1e6;
  if (to_file) {
    CheckDecodedFile(who, contender.KeptFile(file.path), target.text_file);
  } else {
    CheckDecodedBody(who, contender.KeptBody(), target.text_file);
  }
  contender.Release();
  return static_cast<double>(target.text_size) / (1 << 20) / elapsed;
}

// The verdict on a parallel run, once the clock is stopped: every request started was
// answered, and every answer was the small file.
void CheckTally(const char* who, const Tally& tally, const Budget& budget) {
  BENCH_CHECK(tally.first_error.empty(), who, tally.first_error);
  BENCH_CHECK(tally.ended == budget.Taken(), who,
              Describe("requests ended", static_cast<long long>(tally.ended),
                       static_cast<long long>(budget.Taken())));
  BENCH_CHECK(tally.good == tally.ended, who,
              Describe("good responses", static_cast<long long>(tally.good),
                       static_cast<long long>(tally.ended)));
  BENCH_CHECK(tally.ended > 0, who, "no request ended");
}

// A parallel figure; returns requests/s. The clock runs until the last request out has
// ended, so a client pays for what it started.
double MeasureParallel(const Options& options, const std::function<Tally(Budget&)>& run) {
  const char* who = options.child_client.c_str();
  {
    // Two requests a slot: every connection is made (a kept-alive run then reuses them)
    // and whatever a client builds lazily is built.
    Budget warm(2 * kInFlight, Clock::time_point::max());
    CheckTally(who, run(warm), warm);
  }
  Clock::time_point start = Clock::now();
  double cpu = CpuSeconds();
  Budget budget(std::numeric_limits<std::uint64_t>::max(),
                start + std::chrono::duration_cast<Clock::duration>(
                            std::chrono::duration<double>(options.seconds)));
  Tally tally = run(budget);
  double elapsed = Seconds(start);
  g_cpu_per_unit = (CpuSeconds() - cpu) / static_cast<double>(std::max<std::uint64_t>(tally.ended, 1)) * 1e6;
  CheckTally(who, tally, budget);
  return static_cast<double>(tally.ended) / elapsed;
}

// The parallel downloads; returns MB/s of all of them together. The files are checked
// and removed once the clock is stopped.
double MeasureManyDownloads(const Options& options, Contender& contender) {
  const Target& target = options.target;
  const char* who = options.child_client.c_str();
  {
    // A warm connection, as for the other downloads: over HTTP/2 the one all the
    // downloads share.
    Budget warm(1, Clock::time_point::max());
    CheckTally(who, contender.GetSmallParallelTls(1, warm), warm);
  }
  struct RemovedAtEnd {
    ~RemovedAtEnd() {
      std::error_code ignored;
      std::filesystem::remove_all(path, ignored);
    }
    std::string path;
  } directory{target.dir + "/temp/downloads-" + std::to_string(::getpid())};
  std::filesystem::create_directories(directory.path);
  Clock::time_point start = Clock::now();
  double cpu = CpuSeconds();
  std::vector<std::string> paths = contender.DownloadManyToFiles(kDownloadsAtOnce, directory.path);
  double elapsed = Seconds(start);
  double megabytes = static_cast<double>(kDownloadsAtOnce * target.medium_size) / 1e6;
  g_cpu_per_unit = (CpuSeconds() - cpu) / megabytes * 1e6;
  BENCH_CHECK(paths.size() == kDownloadsAtOnce, who,
              Describe("downloads", static_cast<long long>(paths.size()),
                       static_cast<long long>(kDownloadsAtOnce)));
  for (const std::string& path : paths) {
    std::error_code error;
    std::uintmax_t size = std::filesystem::file_size(path, error);
    BENCH_CHECK(!error, who, "cannot read the size of " + path);
    BENCH_CHECK(size == target.medium_size, who,
                Describe("length", static_cast<long long>(size),
                         static_cast<long long>(target.medium_size)));
  }
  contender.Release();
  return megabytes / elapsed;
}

// How many of the requests tagged `tag` in the resume log resumed their TLS session; a
// line is "<r or .> <TLS version> <query>". nginx writes a request's line once the
// response is sent, so a line may be a moment behind the response that the client
// already has.
int CountResumed(const std::string& log, const std::string& tag, int expected,
                 std::string* protocol = nullptr) {
  for (int attempt = 0; attempt < 50; ++attempt) {
    std::ifstream in(log);
    std::string line;
    int seen = 0;
    int resumed = 0;
    while (std::getline(in, line)) {
      std::size_t first = line.find(' ');
      std::size_t last = line.rfind(' ');
      if (first == last || line.compare(last + 1, tag.size(), tag) != 0) continue;
      ++seen;
      if (line.compare(0, first, "r") == 0) ++resumed;
      if (protocol != nullptr) *protocol = line.substr(first + 1, last - first - 1);
    }
    if (seen >= expected) return resumed;
    ::usleep(20000);
  }
  Fail("bench", "the resume log " + log + " has no lines for " + tag);
}

// The resume figure; returns ms per request. A few requests first, so that the client
// holds a session of this server (TLS 1.3 sends its tickets after the handshake). The
// first of them, and two more once the clock is stopped, go to the location that logs
// whether the handshake resumed, and the row says what the log says: the first must
// have made a full handshake, or the log cannot tell.
double MeasureResumed(const Options& options, Contender& contender) {
  std::string who = "client=" + options.child_client + "&pid=" + std::to_string(::getpid());
  contender.GetSmallNewTlsConnection("first&" + who);
  for (int i = 1; i < 5; ++i) contender.GetSmallNewTlsConnection();
  long count = 0;
  Clock::time_point start = Clock::now();
  double cpu = CpuSeconds();
  double elapsed = 0;
  do {
    contender.GetSmallNewTlsConnection();
    ++count;
    elapsed = Seconds(start);
  } while (elapsed < options.seconds);
  g_cpu_per_unit = (CpuSeconds() - cpu) / static_cast<double>(count) * 1e6;

  constexpr int kChecks = 2;
  for (int i = 0; i < kChecks; ++i) {
    contender.GetSmallNewTlsConnection("later&" + who + "&n=" + std::to_string(i));
  }
  BENCH_CHECK(CountResumed(options.target.resume_log, "first&" + who, 1) == 0,
              options.child_client.c_str(), "the first handshake was logged as resumed");
  std::string protocol;
  int resumed = CountResumed(options.target.resume_log, "later&" + who, kChecks, &protocol);
  g_note = (resumed == kChecks ? "resumed"
            : resumed == 0     ? "NOT resumed"
                               : "resumed " + std::to_string(resumed) + " of " +
                                 std::to_string(kChecks)) +
           ", " + protocol;
  return elapsed / static_cast<double>(count) * 1e3;
}

// What a program started by RunProgram left behind.
struct ProgramRun {
  bool started = false;  // false: the pipe or the fork failed (reported on stderr)
  std::string output;    // its standard output, whole
  int status = 0;        // as waitpid gives it
  rusage usage{};        // its own resource usage
};

// Runs `args` (args[0]: a path, or with `search` a name looked up in PATH) with its
// standard output captured, and waits for it. It never outlives the benchmark.
ProgramRun RunProgram(std::vector<std::string> args, bool search) {
  ProgramRun run;
  std::vector<char*> argv;
  for (std::string& arg : args) argv.push_back(arg.data());
  argv.push_back(nullptr);
  int out[2];
  if (::pipe(out) != 0) {
    std::perror("pipe");
    return run;
  }
  std::fflush(nullptr);
  pid_t pid = ::fork();
  if (pid < 0) {
    std::perror("fork");
    ::close(out[0]);
    ::close(out[1]);
    return run;
  }
  if (pid == 0) {
    ::prctl(PR_SET_PDEATHSIG, SIGKILL);
    ::dup2(out[1], STDOUT_FILENO);
    ::close(out[0]);
    ::close(out[1]);
    if (search) {
      ::execvp(argv[0], argv.data());
    } else {
      ::execv(argv[0], argv.data());
    }
    std::perror(argv[0]);
    ::_exit(127);
  }
  ::close(out[1]);
  run.started = true;
  char piece[4096];
  for (;;) {
    ssize_t n = ::read(out[0], piece, sizeof(piece));
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    run.output.append(piece, static_cast<std::size_t>(n));
  }
  ::close(out[0]);
  while (::wait4(pid, &run.status, 0, &run.usage) < 0 && errno == EINTR) {
  }
  return run;
}

// h2load with one connection and kInFlight streams, asking for about what the fastest
// client gets through in a measurement. Its rate is its own ("finished in ..., X req/s":
// the connection and handshake included, a few ms of the whole), its CPU time that of
// the waited-for program.
double MeasureH2load(const Options& options) {
  const Target& target = options.target;
  const char* who = kH2load;
  std::uint64_t requests =
      std::max<std::uint64_t>(2000, static_cast<std::uint64_t>(options.seconds * 40000));
  ProgramRun run = RunProgram({"h2load", "-n", std::to_string(requests), "-c", "1", "-m",
                               std::to_string(kInFlight), target.H2Url(target.small_path)},
                              true);
  BENCH_CHECK(run.started, who, "could not be run");
  const std::string& text = run.output;
  BENCH_CHECK(WIFEXITED(run.status) && WEXITSTATUS(run.status) == 0, who, "failed:\n" + text);
  auto seconds = [](const timeval& time) { return time.tv_sec + time.tv_usec / 1e6; };
  g_cpu_per_unit = (seconds(run.usage.ru_utime) + seconds(run.usage.ru_stime)) /
                   static_cast<double>(requests) * 1e6;

  BENCH_CHECK(text.find("Application protocol: h2") != std::string::npos, who,
              "did not speak HTTP/2:\n" + text);
  unsigned long long total = 0;
  unsigned long long succeeded = 0;
  std::size_t at = text.find("requests: ");
  BENCH_CHECK(at != std::string::npos &&
                  std::sscanf(text.c_str() + at,
                              "requests: %llu total, %*u started, %*u done, %llu succeeded",
                              &total, &succeeded) == 2,
              who, "no request count in its output:\n" + text);
  BENCH_CHECK(total == requests && succeeded == requests, who,
              Describe("requests succeeded", static_cast<long long>(succeeded),
                       static_cast<long long>(requests)));
  at = text.find("finished in ");
  std::size_t comma = at == std::string::npos ? at : text.find(", ", at);
  double rate = 0;
  BENCH_CHECK(comma != std::string::npos &&
                  std::sscanf(text.c_str() + comma, ", %lf req/s", &rate) == 1,
              who, "no rate in its output:\n" + text);
  return rate;
}

// One measurement; runs in the child. Returns requests/s, MB/s, MiB/s or ms per request.
double Measure(const Options& options) {
  const Figure& figure = *FindFigure(options.child_figure);
  if (IsFirstRequest(figure.kind)) return MeasureFirst(options, figure.kind);
  if (options.child_client == kH2load) return MeasureH2load(options);
  // A copy that outlives the client, which keeps a reference to it.
  Target target = options.target;
  if (ThroughProxy(figure)) target.proxy = "http://127.0.0.1:" + std::to_string(target.proxy_port);
  std::unique_ptr<Contender> contender = MakeContender(options.child_client, target);
  std::string id = figure.id;
  if (figure.kind == Kind::kDecoded) {
    return MeasureDecoded(options, *contender, id == "gzip-stream");
  }
  if (id == "h2-parallel") {
    return MeasureParallel(options, [&](Budget& budget) {
      return contender->GetSmallParallelTls(kInFlight, budget);
    });
  }
  if (figure.kind == Kind::kParallel) {
    bool new_connection = id == "parallel-newconn";
    return MeasureParallel(options, [&](Budget& budget) {
      return contender->GetSmallParallel(kInFlight, new_connection, budget);
    });
  }
  if (figure.kind == Kind::kManyTransfers) return MeasureManyDownloads(options, *contender);
  if (figure.kind == Kind::kTimePerRequest) return MeasureResumed(options, *contender);

  if (figure.kind == Kind::kRate) {
    std::function<void()> once;
    if (id == "keepalive") once = [&] { contender->GetSmall(false); };
    if (id == "newconn") once = [&] { contender->GetSmallNewConnection(); };
    if (id == "https" || id == "tunnel") once = [&] { contender->GetSmall(true); };
    // The first requests set up connections, tunnels, TLS sessions and lazily built
    // state; the very first is timed on its own.
    Clock::time_point first = Clock::now();
    once();
    g_first_ms = Seconds(first) * 1e3;
    for (int i = 1; i < 5; ++i) once();
    long count = 0;
    Clock::time_point start = Clock::now();
    double cpu = CpuSeconds();
    double elapsed = 0;
    do {
      once();
      ++count;
      elapsed = Seconds(start);
    } while (elapsed < options.seconds);
    g_cpu_per_unit = (CpuSeconds() - cpu) / static_cast<double>(count) * 1e6;
    return static_cast<double>(count) / elapsed;
  }

  contender->GetSmall(false);  // a warm connection, as in a program that already talked
  std::string path = target.dir + "/temp/download-" + std::to_string(::getpid());
  Clock::time_point start = Clock::now();
  double cpu = CpuSeconds();
  if (id == "memory") contender->DownloadToMemory();
  if (id == "stream") contender->DownloadToFile(path);
  std::uint64_t sunk = id == "sink" ? contender->DownloadToSink() : 0;
  if (id == "upload") contender->Upload();
  double elapsed = Seconds(start);
  g_cpu_per_unit = (CpuSeconds() - cpu) / (static_cast<double>(target.big_size) / 1e6) * 1e6;
  if (id == "sink") {
    BENCH_CHECK(sunk == target.big_size, options.child_client.c_str(),
                Describe("bytes through the sink", static_cast<long long>(sunk),
                         static_cast<long long>(target.big_size)));
  }
  contender->Release();
  std::error_code ignored;
  std::filesystem::remove(path, ignored);
  return static_cast<double>(target.big_size) / 1e6 / elapsed;
}

int RunChild(const Options& options) {
  ::signal(SIGPIPE, SIG_IGN);
  // A hung exchange must not hang the benchmark.
  ::alarm(options.quick ? 60 : 300);
  try {
    double value = Measure(options);
    std::printf("%.6f %.6f %.6f %s\n", value, g_cpu_per_unit, g_first_ms, g_note.c_str());
    std::fflush(stdout);
    return 0;
  } catch (const std::exception& error) {
    std::fprintf(stderr, "  %s %s: %s\n", options.child_client.c_str(),
                 options.child_figure.c_str(), error.what());
    return 1;
  }
}

struct Sample {
  double value = 0;
  double peak_mib = 0;
  double cpu_per_unit = NAN;  // microseconds of CPU time per request or MB
  double first_ms = NAN;      // the first request of a request-rate measurement
  std::string note;           // what the table says beside the value
};

// Runs one measurement in a child process.
std::optional<Sample> Spawn(int argc, char** argv, const Figure& figure, const char* client) {
  std::vector<std::string> args = {"/proc/self/exe"};
  args.insert(args.end(), argv + 1, argv + argc);
  args.push_back("--child");
  args.push_back(figure.id);
  args.push_back(client);
  ProgramRun run = RunProgram(std::move(args), false);
  if (!run.started) return std::nullopt;
  const std::string& text = run.output;
  const int status = run.status;
  const rusage& usage = run.usage;
  if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) {
    if (WIFSIGNALED(status)) {
      std::fprintf(stderr, "  %s %s: killed by signal %d%s\n", client, figure.id,
                   WTERMSIG(status), WTERMSIG(status) == SIGALRM ? " (time limit)" : "");
    }
    return std::nullopt;
  }
  Sample sample;
  char* rest = nullptr;
  sample.value = std::strtod(text.c_str(), &rest);
  sample.cpu_per_unit = std::strtod(rest, &rest);
  sample.first_ms = std::strtod(rest, &rest);
  std::string note(rest);
  note.erase(0, note.find_first_not_of(' '));
  note.erase(std::min(note.find('\n'), note.size()));
  sample.note = note;
  sample.peak_mib = static_cast<double>(usage.ru_maxrss) / 1024.0;  // ru_maxrss is in KiB
  return sample;
}

double Median(std::vector<double> values) {
  if (values.empty()) return NAN;
  std::sort(values.begin(), values.end());
  std::size_t middle = values.size() / 2;
  return values.size() % 2 ? values[middle] : (values[middle - 1] + values[middle]) / 2;
}

// Whether `client` trusts the benchmark's CA in `figure` only through the system's store.
bool NeedsSystemRoots(const Figure& figure, const std::string& client) {
  if (client == kFloor) return false;
  if (IsFirstRequest(figure.kind)) return true;
  return (std::string(figure.id) == "https" || ThroughProxy(figure)) &&
         client.rfind(kKorvo, 0) == 0;
}

bool Wanted(const std::vector<std::string>& list, const std::string& item) {
  return list.empty() || std::find(list.begin(), list.end(), item) != list.end();
}

std::string CpuModel() {
  std::ifstream cpuinfo("/proc/cpuinfo");
  std::string line;
  while (std::getline(cpuinfo, line)) {
    if (line.rfind("model name", 0) == 0) {
      std::size_t colon = line.find(':');
      if (colon != std::string::npos) return line.substr(colon + 2);
    }
  }
  return "unknown CPU";
}

std::string Today() {
  std::time_t now = std::time(nullptr);
  char text[32];
  std::strftime(text, sizeof(text), "%Y-%m-%d %H:%M UTC", std::gmtime(&now));
  return text;
}

std::string FormatValue(double value) {
  if (std::isnan(value)) return "-";
  char text[32];
  std::snprintf(text, sizeof(text), value >= 100 ? "%.0f" : "%.1f", value);
  return text;
}

std::string FormatRatio(double value, double floor) {
  if (std::isnan(value) || std::isnan(floor) || floor <= 0) return "-";
  char text[32];
  std::snprintf(text, sizeof(text), "%.2f", value / floor);
  return text;
}

// Per figure and client: the samples of every round.
using Results = std::map<std::string, std::map<std::string, std::vector<Sample>>>;

enum class Measured { kValue, kPeak, kCpu, kFirst };

double MedianValue(const Results& results, const std::string& figure, const std::string& client,
                   Measured what = Measured::kValue) {
  auto f = results.find(figure);
  if (f == results.end()) return NAN;
  auto c = f->second.find(client);
  if (c == f->second.end()) return NAN;
  std::vector<double> values;
  for (const Sample& sample : c->second) {
    double value = what == Measured::kPeak    ? sample.peak_mib
                   : what == Measured::kCpu   ? sample.cpu_per_unit
                   : what == Measured::kFirst ? sample.first_ms
                                              : sample.value;
    if (!std::isnan(value)) values.push_back(value);
  }
  return Median(values);
}

// Wide enough for the longest title, that of the streamed decoded download.
constexpr int kTitleWidth = 66;

void PrintRow(const std::string& title, const std::string& client, double value, double floor,
              bool first, double cpu = NAN, const std::string& note = {}) {
  std::printf("%-*s %-12s %10s %7s %9s%s%s\n", kTitleWidth, first ? title.c_str() : "",
              client.c_str(), FormatValue(value).c_str(), FormatRatio(value, floor).c_str(),
              FormatValue(cpu).c_str(), note.empty() ? "" : "  ", note.c_str());
}

// The notes of a client's samples in a figure, each said once.
std::string Notes(const Results& results, const std::string& figure, const std::string& client) {
  std::vector<std::string> notes;
  for (const Sample& sample : results.at(figure).at(client)) {
    if (!sample.note.empty() &&
        std::find(notes.begin(), notes.end(), sample.note) == notes.end()) {
      notes.push_back(sample.note);
    }
  }
  std::string text;
  for (const std::string& note : notes) text += (text.empty() ? "" : "; ") + note;
  return text;
}

std::string SizeText(std::size_t size) {
  return size % (1 << 20) == 0 ? std::to_string(size >> 20) + " MiB" : std::to_string(size) + " B";
}

// The size a transfer figure moves, as its title names it: decoded bytes when decoded.
std::string FigureSize(const Options& options, const Figure& figure) {
  if (figure.kind == Kind::kManyTransfers) {
    return std::to_string(kDownloadsAtOnce) + " x " + SizeText(options.target.medium_size);
  }
  return SizeText(figure.kind == Kind::kDecoded ? options.target.text_size
                                                : options.target.big_size);
}

void PrintTable(const Options& options, const Results& results) {
  // CPU: microseconds of the client process's CPU time (user and system, all threads)
  // per request, or per MB (MiB decoded) of a transfer.
  std::printf("\n%-*s %-12s %10s %7s %9s\n", kTitleWidth, "figure (median)", "client", "value",
              "/floor", "CPU us");
  for (const Figure& figure : Figures()) {
    if (results.count(figure.id) == 0) continue;
    std::string title = figure.title;
    if (figure.kind == Kind::kTransfer || figure.kind == Kind::kDecoded ||
        figure.kind == Kind::kManyTransfers) {
      title = FigureSize(options, figure) + " " + title;
    }
    double floor = MedianValue(results, figure.id, figure.reference);
    bool first = true;
    for (const char* client : figure.clients) {
      if (results.at(figure.id).count(client) == 0) continue;
      PrintRow(title, client, MedianValue(results, figure.id, client), floor, first,
               MedianValue(results, figure.id, client, Measured::kCpu),
               Notes(results, figure.id, client));
      first = false;
    }
  }
  for (const Figure& figure : Figures()) {
    if (!figure.peak_memory || results.count(figure.id) == 0) continue;
    std::string title = std::string("peak RSS (MiB), ") + figure.id;
    if (figure.kind == Kind::kTransfer || figure.kind == Kind::kDecoded ||
        figure.kind == Kind::kManyTransfers) {
      title += " " + FigureSize(options, figure);
    }
    double floor = MedianValue(results, figure.id, figure.reference, Measured::kPeak);
    bool first = true;
    for (const char* client : figure.clients) {
      if (results.at(figure.id).count(client) == 0) continue;
      PrintRow(title, client, MedianValue(results, figure.id, client, Measured::kPeak), floor, first);
      first = false;
    }
  }
}

// The first request of the https and tunnel measurements' clients, each made in a
// fresh process: connect, TLS handshake and exchange, and through the tunnel also the
// connection to the proxy, CONNECT and its answer.
void PrintFirstRequests(const Results& results) {
  if (results.count("tunnel") == 0) return;
  std::printf("\n%-*s %-12s %10s %10s\n", kTitleWidth, "first HTTPS GET of a client (ms, median)",
              "client", "direct", "tunnel");
  for (const char* client : {kKorvo, kCurl}) {
    std::printf("%-*s %-12s %10s %10s\n", kTitleWidth, "", client,
                FormatValue(MedianValue(results, "https", client, Measured::kFirst)).c_str(),
                FormatValue(MedianValue(results, "tunnel", client, Measured::kFirst)).c_str());
  }
}

// What the benchmark is for; printed, never enforced (timing on shared machines is noise).
void PrintGoals(const Results& results) {
  std::printf("\ngoals (informational)\n");
  auto line = [](const std::string& what, double got, double limit, bool higher_is_better) {
    if (std::isnan(got) || std::isnan(limit)) {
      std::printf("  %-58s not measured\n", what.c_str());
      return;
    }
    bool met = higher_is_better ? got >= limit : got < limit;
    std::printf("  %-58s %-7s (%.2f vs %.2f)\n", what.c_str(), met ? "met" : "NOT MET", got, limit);
  };
  double floor_keepalive = MedianValue(results, "keepalive", kFloor);
  line("keep-alive GET >= 0.9 x floor",
       MedianValue(results, "keepalive", kKorvo) / floor_keepalive, 0.9, true);
  line("download into memory, 64 KiB buffer >= 0.8 x floor",
       MedianValue(results, "memory", kKorvo64k) / MedianValue(results, "memory", kFloor), 0.8,
       true);
  line("download into memory, default buffer >= libcurl (MB/s)",
       MedianValue(results, "memory", kKorvo), MedianValue(results, "memory", kCurl), true);
  line("streamed download peak RSS < 32 MiB", MedianValue(results, "stream", kKorvo, Measured::kPeak), 32,
       false);
  line("streamed download (64 KiB buffer) peak RSS < 32 MiB",
       MedianValue(results, "stream", kKorvo64k, Measured::kPeak), 32, false);
  line("download through a sink peak RSS < 32 MiB", MedianValue(results, "sink", kKorvo, Measured::kPeak),
       32, false);
  line("download through a sink (64 KiB buffer) peak RSS < 32 MiB",
       MedianValue(results, "sink", kKorvo64k, Measured::kPeak), 32, false);
  line("upload peak RSS < 32 MiB", MedianValue(results, "upload", kKorvo, Measured::kPeak), 32, false);
  line("gzip-decoded streamed download peak RSS < 32 MiB",
       MedianValue(results, "gzip-stream", kKorvo, Measured::kPeak), 32, false);
  double korvo_h2 = MedianValue(results, "h2-parallel", kKorvoH2);
  line("HTTP/2 64 in flight >= 1.8 x korvo HTTP/1.1",
       korvo_h2 / MedianValue(results, "h2-parallel", kKorvo), 1.8, true);
  line("HTTP/2 64 in flight >= libcurl HTTP/2 (req/s)", korvo_h2,
       MedianValue(results, "h2-parallel", kCurlH2), true);
  line("HTTP/2 64 in flight >= 0.5 x h2load",
       korvo_h2 / MedianValue(results, "h2-parallel", kH2load), 0.5, true);
  line("HTTP/2 parallel downloads >= libcurl HTTP/2 (MB/s)",
       MedianValue(results, "h2-download", kKorvoH2), MedianValue(results, "h2-download", kCurlH2),
       true);
  line("HTTP/2 parallel downloads peak RSS < 64 MiB",
       MedianValue(results, "h2-download", kKorvoH2, Measured::kPeak), 64, false);
  auto has = [](const Figure& figure, const char* client) {
    return std::find(figure.clients.begin(), figure.clients.end(), std::string_view(client)) !=
           figure.clients.end();
  };
  for (const Figure& figure : Figures()) {
    for (const char* korvo : {kKorvo, kKorvo64k}) {
      // korvo's HTTP/1.1 row of the HTTP/2 figure has its own goal above.
      if (!has(figure, korvo) || !has(figure, kCurl)) continue;
      bool higher = !LowerIsBetter(figure.kind);
      line(std::string(korvo) + (higher ? " >= " : " <= ") + "libcurl: " + figure.id,
           MedianValue(results, figure.id, korvo), MedianValue(results, figure.id, kCurl),
           higher);
      double cpu = MedianValue(results, figure.id, korvo, Measured::kCpu);
      if (!std::isnan(cpu)) {
        line(std::string(korvo) + " CPU <= libcurl: " + figure.id, cpu,
             MedianValue(results, figure.id, kCurl, Measured::kCpu) * 1.0000001, false);
      }
    }
  }
}

int RunParent(int argc, char** argv, const Options& options) {
  std::printf("korvo network benchmark: %s, %ld cores, %s\n", CpuModel().c_str(),
              ::sysconf(_SC_NPROCESSORS_ONLN), Today().c_str());
  std::printf("nginx on %s ports %d (http) and %d (https); %d round%s, %.1f s per rate "
              "measurement, %zu-byte transfers, %zu bytes of gzip-coded text once decoded\n",
              options.target.host.c_str(), options.target.http_port, options.target.https_port,
              options.rounds, options.rounds == 1 ? "" : "s", options.seconds,
              options.target.big_size, options.target.text_size);
  if (options.target.proxy_port > 0) {
    std::printf("tinyproxy on port %d for the tunnel\n", options.target.proxy_port);
  }
  if (options.target.h2_port > 0) {
    std::printf("nginx's HTTP/2 port %d (TLS), %zu-byte files for the parallel downloads\n",
                options.target.h2_port, options.target.medium_size);
  }
  std::fflush(stdout);

  Results results;
  int failures = 0;
  for (int round = 0; round < options.rounds; ++round) {
    std::fprintf(stderr, "round %d/%d\n", round + 1, options.rounds);
    for (const Figure& figure : Figures()) {
      if (!Wanted(options.figures, figure.id)) continue;
      if (ThroughProxy(figure) && options.target.proxy_port <= 0) {
        if (round == 0) {
          std::fprintf(stderr, "  %s: no proxy (--proxy-port), not measured\n", figure.id);
        }
        continue;
      }
      if (OnH2Port(figure) && options.target.h2_port <= 0) {
        if (round == 0) {
          std::fprintf(stderr, "  %s: no HTTP/2 port (--h2-port), not measured\n", figure.id);
        }
        continue;
      }
      std::vector<const char*> order;
      for (const char* client : figure.clients) {
        if (Wanted(options.clients, client)) order.push_back(client);
      }
      if (order.empty()) continue;
      // Each round starts one client later, so none is always first or last.
      std::rotate(order.begin(), order.begin() + (round % order.size()), order.end());
      int processes =
          figure.kind == Kind::kFirstOfProcess && !options.quick ? kProcessesPerRound : 1;
      for (int process = 0; process < processes; ++process) {
        for (const char* client : order) {
          auto& samples = results[figure.id][client];
          if (options.korvo_untrusted && NeedsSystemRoots(figure, client)) {
            continue;  // the system CA bundle could not be given the benchmark's CA
          }
          std::optional<Sample> sample = Spawn(argc, argv, figure, client);
          if (!sample) {
            std::fprintf(stderr, "  %s %s: failed\n", client, figure.id);
            ++failures;
            continue;
          }
          samples.push_back(*sample);
        }
      }
    }
  }
  PrintTable(options, results);
  PrintFirstRequests(results);
  PrintGoals(results);
  if (failures > 0) {
    std::printf("\n%d measurement%s failed\n", failures, failures == 1 ? "" : "s");
    return 1;
  }
  return 0;
}

}  // namespace
}  // namespace bench

int main(int argc, char** argv) {
  std::optional<bench::Options> options;
  try {
    options = bench::ParseOptions(argc, argv);
  } catch (const std::exception& error) {
    std::cerr << "net_bench: " << error.what() << "\n";
    bench::Usage(std::cerr);
    return 2;
  }
  if (!options) {
    bench::Usage(std::cerr);
    return 2;
  }
  if (!options->child_figure.empty()) return bench::RunChild(*options);
  return bench::RunParent(argc, argv, *options);
}
