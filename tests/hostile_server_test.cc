// The session against servers that misbehave on purpose: connections reset or closed at
// every stage, stalls, garbage, oversized heads, lying lengths and broken TLS. Each case
// must end in one exact Error (code, message, timeout flag), cost bounded memory, leave
// no temporary file, and leave the session able to send the next request.
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <memory>
#include <mutex>
#include <ostream>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "korvo/internal/client_base.h"
#include "korvo/client_session.h"
#include "korvo/error.h"
#include "korvo/request_builder.h"
#include "korvo/internal/utility.h"
#include "support/exchange_runner.h"
#include "support/hostile_server.h"
#include "support/log_capture.h"
#include "support/scripted_server.h"
#include "support/temp_dir.h"
#include "support/test_tls.h"

namespace korvo {
namespace {

using test::HostileConnection;
using test::HostileServer;

// Streamed bodies go to a private temporary directory, so that a file left behind by
// any case is seen.
class TempDirEnvironment : public ::testing::Environment {
 public:
  void SetUp() override { dir_ = std::make_unique<test::PrivateTempDir>(); }
  void TearDown() override { dir_.reset(); }
  static const test::PrivateTempDir& Dir() { return *dir_; }

 private:
  static std::unique_ptr<test::PrivateTempDir> dir_;
};
std::unique_ptr<test::PrivateTempDir> TempDirEnvironment::dir_;
const auto* const temp_dir_environment =
    ::testing::AddGlobalTestEnvironment(new TempDirEnvironment);

// The time limits of the session. A case whose peer stalls on purpose waits its limit
// out, so that limit is short. Every other limit must never fire, since the server
// answers at once: they are generous, for the suite runs under ASan and TSan on a
// loaded machine too.
constexpr auto kStallLimit = std::chrono::milliseconds(300);
constexpr auto kReadLimit = std::chrono::seconds(10);
constexpr auto kConnectLimit = std::chrono::seconds(5);  // covers the TLS handshake

// Ends the process if an exchange has not returned within a bound far beyond anything a
// working client needs (a case waits at most for one read limit), so that a client that
// hangs fails the suite at once instead of holding CI until its timeout.
class HangGuard {
 public:
  explicit HangGuard(const char* what, std::chrono::seconds limit = std::chrono::seconds(120))
      : thread_([this, what, limit] {
          std::unique_lock<std::mutex> lock(mutex_);
          if (!cv_.wait_for(lock, limit, [this] { return done_; })) {
            std::fprintf(stderr, "HangGuard: %s did not return within %lld s\n", what,
                         static_cast<long long>(limit.count()));
            std::_Exit(1);
          }
        }) {}
  ~HangGuard() {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      done_ = true;
    }
    cv_.notify_one();
    thread_.join();
  }

 private:
  std::mutex mutex_;
  std::condition_variable cv_;
  bool done_ = false;
  std::thread thread_;
};

// Sends `bytes` and then ends the connection with a reset or an orderly close.
HostileServer::Behaviour SendThenEnd(std::string bytes, bool reset) {
  return [bytes, reset](HostileConnection& connection, const std::string&) {
    connection.Send(bytes);
    if (reset) {
      connection.Reset();
    } else {
      connection.Close();
    }
    return false;
  };
}

// Sends `bytes` and then waits, silent, until the client gives up and closes.
HostileServer::Behaviour SendThenStall(std::string bytes) {
  return [bytes](HostileConnection& connection, const std::string&) {
    connection.Send(bytes);
    connection.WaitForClose();
    return false;
  };
}

// Sends `bytes` and keeps the connection for the next request.
HostileServer::Behaviour SendAndKeep(std::string bytes) {
  return [bytes](HostileConnection& connection, const std::string&) {
    return connection.Send(bytes);
  };
}

class HostileServerTest : public ::testing::Test {
 protected:
  HostileServerTest() {
    // Limits that must not fire; a stall case shortens the one it waits for.
    session_.SetReadTimeout(kReadLimit).SetConnectTimeout(kConnectLimit);
  }

  void TearDown() override {
    EXPECT_EQ(TempDirEnvironment::Dir().Files().size(), 0u) << "a temporary file was left behind";
  }

  std::shared_ptr<Request> Get(const std::string& url) {
    return RequestBuilder().Method("GET").Url(url)();
  }

  // Sends one request that must fail, and returns its Error.
  Error Fail(bool stream = false) {
    HangGuard guard("the hostile exchange");
    try {
      auto response = session_.Send(Get(server_.Url("/hostile")), stream);
      ADD_FAILURE() << "no error; status " << response->GetStatus();
    } catch (const Error& error) {
      return error;
    }
    return Error();
  }

  // The well-behaved request that must work after any hostile one.
  void ExpectNextRequestWorks() {
    std::shared_ptr<Response> response;
    ASSERT_NO_THROW(response = session_.Send(Get(server_.Url("/next"))));
    EXPECT_EQ(response->GetStatus(), 200);
    EXPECT_EQ(response->GetData(), "fine");
  }

  // Records at `level` whose message starts with `prefix`.
  std::size_t CountStartingWith(std::string_view level, std::string_view prefix) {
    std::size_t count = 0;
    for (const std::string& record : log_.Records()) {
      test::LogRecord parsed;
      if (test::ParseLogRecord(record, parsed) && parsed.level == level &&
          parsed.message.compare(0, prefix.size(), prefix) == 0) {
        ++count;
      }
    }
    return count;
  }

  test::LogCapture log_;
  HostileServer server_;
  ClientSession session_;
};

void ExpectError(const Error& error, ErrorCode code, const std::string& message, bool timeout) {
  EXPECT_EQ(error.code(), code) << error;
  EXPECT_EQ(error.message(), message);
  EXPECT_EQ(error.timeout(), timeout) << error;
}

// --- The connection ends early -------------------------------------------------------

// A named run of bytes for the server to send.
struct Bytes {
  const char* name;
  const char* bytes;
};

// Test names for a case paired with whether the response is streamed to a file.
struct CaseAndStreamName {
  template <typename Info>
  std::string operator()(const Info& info) const {
    return std::string(std::get<0>(info.param).name) +
           (std::get<1>(info.param) ? "Streamed" : "InMemory");
  }
};

const Bytes kEarlyEnds[] = {
    {"BeforeAnything", ""},
    {"MidStatusLine", "HTTP/1.1 20"},
    {"MidHead", "HTTP/1.1 200 OK\r\nContent-Le"},
    {"AfterHead", "HTTP/1.1 200 OK\r\nContent-Length: 100\r\n\r\n"},
    {"MidBody", "HTTP/1.1 200 OK\r\nContent-Length: 100\r\n\r\nonly some of it"},
    {"MidChunkSize", "HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n1"},
    {"MidChunk", "HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n10\r\nabc"},
    {"BeforeLastChunk", "HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n3\r\nabc\r\n"},
};

class EarlyEndTest : public HostileServerTest,
                     public ::testing::WithParamInterface<std::tuple<Bytes, bool, bool>> {};

TEST_P(EarlyEndTest, FailsAsReadErrorAndTheSessionGoesOn) {
  auto [end, reset, stream] = GetParam();
  server_.Script(SendThenEnd(end.bytes, reset));
  ExpectError(Fail(stream), kReadError, "Socket read error", false);
  EXPECT_EQ(CountStartingWith("ERRO", "Socket read error ("), 1u);
  EXPECT_EQ(session_.GetPoolSize(), 0u);
  ExpectNextRequestWorks();
}

INSTANTIATE_TEST_SUITE_P(
    Hostile, EarlyEndTest,
    ::testing::Combine(::testing::ValuesIn(kEarlyEnds), ::testing::Bool(), ::testing::Bool()),
    [](const auto& info) {
      return std::string(std::get<0>(info.param).name) + (std::get<1>(info.param) ? "Reset" : "Close") +
             (std::get<2>(info.param) ? "Streamed" : "InMemory");
    });

// --- Stalls --------------------------------------------------------------------------

const Bytes kStalls[] = {
    {"BeforeHead", ""},
    {"MidHead", "HTTP/1.1 200 OK\r\nContent-"},
    {"AfterHead", "HTTP/1.1 200 OK\r\nContent-Length: 10\r\n\r\n"},
    {"MidBody", "HTTP/1.1 200 OK\r\nContent-Length: 10\r\n\r\nabc"},
    {"MidChunk", "HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n5\r\nab"},
};

class StallTest : public HostileServerTest,
                  public ::testing::WithParamInterface<std::tuple<Bytes, bool>> {};

TEST_P(StallTest, EndsByTheReadLimit) {
  auto [stall, stream] = GetParam();
  server_.Script(SendThenStall(stall.bytes));
  session_.SetReadTimeout(kStallLimit);
  ExpectError(Fail(stream), kReadError, "Socket read error", true);
  session_.SetReadTimeout(kReadLimit);  // the next request's answer must not be cut short
  EXPECT_EQ(log_.Count("WARN", "Timeout"), 1u);
  EXPECT_EQ(session_.GetPoolSize(), 0u);
  ExpectNextRequestWorks();
}

INSTANTIATE_TEST_SUITE_P(Hostile, StallTest,
                         ::testing::Combine(::testing::ValuesIn(kStalls), ::testing::Bool()),
                         CaseAndStreamName());

// --- Bytes the parser must refuse ----------------------------------------------------

struct Refused {
  const char* name;
  std::string bytes;
  std::string record;  // the parser's ERRO record
};

std::vector<Refused> RefusedResponses() {
  return {
      {"Garbage", "garbage\r\n\r\n", "Invalid HTTP response status line: garbage"},
      {"BinaryStatusLine", "\x01\xff\xfe 200 \x80\r\n\r\n", "Invalid HTTP version: \x01\xff\xfe"},
      {"HeaderWithoutColon", "HTTP/1.1 200 OK\r\nNoColonHere\r\n\r\n", "Invalid header: NoColonHere"},
      {"PlusContentLength", "HTTP/1.1 200 OK\r\nContent-Length: +5\r\n\r\nhello",
       "Invalid content length: +5"},
      {"NegativeContentLength", "HTTP/1.1 200 OK\r\nContent-Length: -5\r\n\r\nhello",
       "Invalid content length: -5"},
      {"ConflictingContentLengths",
       "HTTP/1.1 200 OK\r\nContent-Length: 5\r\nContent-Length: 6\r\n\r\nhello!",
       "Invalid content length: 6"},
      {"ContentLengthWithTrailingText", "HTTP/1.1 200 OK\r\nContent-Length: 5abc\r\n\r\nhello",
       "Invalid content length: 5abc"},
      {"ContentLengthInHex", "HTTP/1.1 200 OK\r\nContent-Length: 0x5\r\n\r\nhello",
       "Invalid content length: 0x5"},
      {"ContentLengthListThatDisagrees", "HTTP/1.1 200 OK\r\nContent-Length: 5, 6\r\n\r\nhello",
       "Invalid content length: 5, 6"},
      {"ChunkSizeWithPrefix", "HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n0x5\r\nhello\r\n0\r\n\r\n",
       "Invalid chunk-size: 0x5"},
      {"ChunkSizeWithTrailingText", "HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n5 garbage\r\nhello\r\n0\r\n\r\n",
       "Invalid chunk-size: 5 garbage"},
      {"OverflowingContentLength",
       "HTTP/1.1 200 OK\r\nContent-Length: 99999999999999999999\r\n\r\nhello",
       "Invalid content length: 99999999999999999999"},
      {"OverflowingChunkSize",
       "HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\nfffffffffffffffffffff\r\nabc",
       "Invalid chunk-size: fffffffffffffffffffff"},
      {"NegativeChunkSize", "HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n-5\r\nabc",
       "Invalid chunk-size: -5"},
      {"NoChunkSize", "HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\nzz\r\nabc",
       "Invalid chunk-size: zz"},
      {"ChunkLongerThanItsSize", "HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n3\r\nabcdef\r\n0\r\n\r\n",
       "Missing CRLF after chunk data"},
  };
}

class RefusedTest : public HostileServerTest,
                    public ::testing::WithParamInterface<std::tuple<Refused, bool>> {};

TEST_P(RefusedTest, FailsAsParseErrorWithOneRecord) {
  auto [refused, stream] = GetParam();
  // The server keeps the connection open: the client must close it by itself.
  server_.Script(SendThenStall(refused.bytes));
  ExpectError(Fail(stream), kParseError, "Response parse error", false);
  EXPECT_EQ(log_.Count("ERRO", refused.record), 1u);
  EXPECT_EQ(log_.Count("ERRO", "Failed to parse the response"), 1u);
  EXPECT_EQ(session_.GetPoolSize(), 0u);
  ExpectNextRequestWorks();
}

INSTANTIATE_TEST_SUITE_P(Hostile, RefusedTest,
                         ::testing::Combine(::testing::ValuesIn(RefusedResponses()), ::testing::Bool()),
                         CaseAndStreamName());

// --- Oversized heads and lengths: bounded memory -------------------------------------

// The growth of the peak resident size while `run` works, in bytes.
template <typename Run>
std::size_t PeakGrowth(Run run) {
  test::ResetPeakRss();
  std::size_t before = test::CurrentRss();
  run();
  std::size_t peak = test::PeakRss();
  return peak > before ? peak - before : 0;
}

// Far below the bytes the server offers, far above what a bounded head needs.
constexpr std::size_t kMemoryBound = std::size_t{48} << 20;

TEST_F(HostileServerTest, HeadOfTenMebibytesIsRefusedInBoundedMemory) {
  server_.Script([](HostileConnection& connection, const std::string&) {
    std::string block(64 * 1024, 'a');
    connection.Send("HTTP/1.1 200 OK\r\nX-Big: ") &&
        connection.SendRepeated(block, std::size_t{10} << 20) && connection.Send("\r\n\r\n");
    connection.WaitForClose();
    return false;
  });
  Error error;
  std::size_t growth = PeakGrowth([&] { error = Fail(); });
  ExpectError(error, kParseError, "Response parse error", false);
  EXPECT_EQ(log_.Count("ERRO", "Response head too large"), 1u);
  EXPECT_LT(growth, kMemoryBound);
  ExpectNextRequestWorks();
}

TEST_F(HostileServerTest, StatusLineWithoutEndIsRefusedInBoundedMemory) {
  server_.Script([](HostileConnection& connection, const std::string&) {
    std::string block(64 * 1024, '0');
    connection.Send("HTTP/1.1 2") && connection.SendRepeated(block, std::size_t{10} << 20);
    connection.WaitForClose();
    return false;
  });
  Error error;
  std::size_t growth = PeakGrowth([&] { error = Fail(true); });
  ExpectError(error, kParseError, "Response parse error", false);
  EXPECT_EQ(log_.Count("ERRO", "Response head too large"), 1u);
  EXPECT_LT(growth, kMemoryBound);
  ExpectNextRequestWorks();
}

// A prefix followed by a block repeated without end (10 MiB): every place where the
// parser collects bytes before it can act on them has its bound.
struct Endless {
  const char* name;
  const char* prefix;
  const char* block;
  const char* record;
};

const Endless kEndless[] = {
    {"InterimResponses", "", "HTTP/1.1 100 Continue\r\n\r\n", "Response head too large"},
    {"ChunkSizeLine", "HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n", "0000000000000000",
     "Chunk-size line too long"},
    {"ChunkExtension", "HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n5;", "ext=value;",
     "Chunk-size line too long"},
    {"Trailer", "HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n3\r\nabc\r\n0\r\n",
     "X-Trailer: value\r\n", "Chunk trailer too large"},
};

class EndlessTest : public HostileServerTest,
                    public ::testing::WithParamInterface<std::tuple<Endless, bool>> {};

TEST_P(EndlessTest, IsRefusedInBoundedMemory) {
  auto [endless, stream] = GetParam();
  server_.Script([endless = endless](HostileConnection& connection, const std::string&) {
    std::string block;
    while (block.size() < 64 * 1024) block += endless.block;
    connection.Send(endless.prefix) && connection.SendRepeated(block, std::size_t{10} << 20);
    connection.WaitForClose();
    return false;
  });
  Error error;
  std::size_t growth = PeakGrowth([&, stream = stream] { error = Fail(stream); });
  ExpectError(error, kParseError, "Response parse error", false);
  EXPECT_EQ(log_.Count("ERRO", endless.record), 1u);
  EXPECT_LT(growth, kMemoryBound);
  ExpectNextRequestWorks();
}

INSTANTIATE_TEST_SUITE_P(Hostile, EndlessTest,
                         ::testing::Combine(::testing::ValuesIn(kEndless), ::testing::Bool()),
                         CaseAndStreamName());

// A million header fields of a few bytes each, all with the same name or all with
// different names (the head limit must stop them before they are all stored).
class TinyFieldsTest : public HostileServerTest, public ::testing::WithParamInterface<bool> {};

TEST_P(TinyFieldsTest, AMillionAreRefusedInBoundedMemory) {
  bool distinct = GetParam();
  server_.Script([distinct](HostileConnection& connection, const std::string&) {
    if (!connection.Send("HTTP/1.1 200 OK\r\n")) return false;
    const int kFields = 1000000;
    std::string block;
    for (int i = 0; i < kFields; ++i) {
      block += distinct ? "f" + std::to_string(i) + ":v\r\n" : "f:v\r\n";
      if (block.size() >= 64 * 1024 || i + 1 == kFields) {
        if (!connection.Send(block)) break;
        block.clear();
      }
    }
    connection.Send("\r\n");
    connection.WaitForClose();
    return false;
  });
  Error error;
  std::size_t growth = PeakGrowth([&] { error = Fail(); });
  ExpectError(error, kParseError, "Response parse error", false);
  EXPECT_EQ(log_.Count("ERRO", "Response head too large"), 1u);
  EXPECT_LT(growth, kMemoryBound);
  ExpectNextRequestWorks();
}

INSTANTIATE_TEST_SUITE_P(Hostile, TinyFieldsTest, ::testing::Bool(),
                         [](const auto& info) { return info.param ? "DistinctNames" : "SameName"; });

// A chunk size or length that fits the bound but announces far more than will ever
// come: nothing may be reserved up front for it.
class HugeAnnouncementTest : public HostileServerTest,
                             public ::testing::WithParamInterface<std::tuple<const char*, bool>> {};

TEST_P(HugeAnnouncementTest, CostsNoMemoryUpFront) {
  auto [head, stream] = GetParam();
  server_.Script(SendThenEnd(std::string(head) + "abc", false));
  Error error;
  std::size_t growth = PeakGrowth([&] { error = Fail(stream); });
  ExpectError(error, kReadError, "Socket read error", false);
  EXPECT_LT(growth, kMemoryBound);
  ExpectNextRequestWorks();
}

INSTANTIATE_TEST_SUITE_P(
    Hostile, HugeAnnouncementTest,
    ::testing::Combine(
        ::testing::Values("HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n7fffffffffffffff\r\n",
                          "HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\nffffffff\r\n",
                          "HTTP/1.1 200 OK\r\nContent-Length: 9223372036854775807\r\n\r\n",
                          "HTTP/1.1 200 OK\r\nContent-Length: 4294967295\r\n\r\n"),
        ::testing::Bool()),
    [](const auto& info) { return "Case" + std::to_string(info.index); });

// --- Latency ------------------------------------------------------------------------

// The request head goes out as a gather write of many small ranges, which the socket
// layer may split into several sends. With Nagle's algorithm on, every send after the
// first waits for the server's delayed acknowledgement (40 ms on Linux) on a reused
// connection, so the client must switch it off, as HTTP clients do.
TEST_F(HostileServerTest, ConnectionsSendWithoutNagleDelay) {
  std::atomic<unsigned short> client_port{0};
  server_.Script([&client_port](HostileConnection& connection, const std::string& request) {
    client_port = connection.PeerPort();
    return HostileServer::Fine(connection, request);
  });
  ExpectNextRequestWorks();
  ASSERT_EQ(session_.GetPoolSize(), 1u);
  int fd = test::FindLocalSocket(client_port);
  ASSERT_GE(fd, 0);
  int no_delay = 0;
  socklen_t length = sizeof(no_delay);
  ASSERT_EQ(getsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &no_delay, &length), 0);
  EXPECT_NE(no_delay, 0) << "TCP_NODELAY is off on the client's socket";
}

// --- Lying framing -------------------------------------------------------------------

TEST_F(HostileServerTest, BodyLongerThanAnnouncedIsCutAndTheConnectionDropped) {
  server_.Script(SendAndKeep("HTTP/1.1 200 OK\r\nContent-Length: 5\r\n\r\nhelloEXTRA BYTES"));
  auto response = session_.Send(Get(server_.Url("/long")));
  EXPECT_EQ(response->GetStatus(), 200);
  EXPECT_EQ(response->GetData(), "hello");
  // The surplus must not be read as the start of the next response.
  EXPECT_EQ(session_.GetPoolSize(), 0u);
  ExpectNextRequestWorks();
  EXPECT_EQ(server_.Accepted(), 2u);
}

TEST_F(HostileServerTest, ChunkedWithContentLengthIsReadAsChunkedAndNotReused) {
  server_.Script(SendAndKeep(
      "HTTP/1.1 200 OK\r\nContent-Length: 3\r\nTransfer-Encoding: chunked\r\n\r\n5\r\nhello\r\n0\r\n\r\n"));
  auto response = session_.Send(Get(server_.Url("/both")));
  EXPECT_EQ(response->GetData(), "hello");
  EXPECT_EQ(session_.GetPoolSize(), 0u);
  ExpectNextRequestWorks();
  EXPECT_EQ(server_.Accepted(), 2u);
}

TEST_F(HostileServerTest, NotModifiedWithContentLengthDoesNotWaitForABody) {
  server_.Script(SendAndKeep("HTTP/1.1 304 Not Modified\r\nContent-Length: 100\r\n\r\n"));
  auto response = session_.Send(Get(server_.Url("/304")));
  EXPECT_EQ(response->GetStatus(), 304);
  EXPECT_EQ(response->GetData(), "");
  ExpectNextRequestWorks();
}

// --- TLS ------------------------------------------------------------------------------

// Servers that break the handshake itself. The session only trusts the system roots, so
// it reaches these through an https URL to a raw server that never speaks TLS properly.
struct BrokenHandshake {
  const char* name;
  HostileServer::Behaviour behaviour;
  bool timeout;
};

// Reads the client's hello, then lets `then` break the handshake.
HostileServer::Behaviour AfterHello(std::function<void(HostileConnection&)> then) {
  return [then](HostileConnection& connection, const std::string&) {
    std::string hello;
    connection.ReadSome(&hello);
    then(connection);
    return false;
  };
}

std::vector<BrokenHandshake> BrokenHandshakes() {
  return {
      {"CloseBeforeHello",
       [](HostileConnection& connection, const std::string&) {
         connection.Close();
         return false;
       },
       false},
      {"CloseAfterHello", AfterHello([](HostileConnection& c) { c.Close(); }), false},
      {"ResetAfterHello", AfterHello([](HostileConnection& c) { c.Reset(); }), false},
      {"PlainHttpAnswer",
       AfterHello([](HostileConnection& c) {
         c.Send("HTTP/1.1 400 Bad Request\r\nContent-Length: 0\r\n\r\n");
         c.WaitForClose();
       }),
       false},
      {"GarbageRecord",
       AfterHello([](HostileConnection& c) {
         // A whole handshake record of 4 KiB of junk.
         c.Send(std::string("\x16\x03\x03\x10\x00", 5) + std::string(4096, '\xee'));
         c.WaitForClose();
       }),
       false},
      {"StallAfterHello", AfterHello([](HostileConnection& c) { c.WaitForClose(); }), true},
  };
}

class BrokenHandshakeTest : public HostileServerTest,
                            public ::testing::WithParamInterface<BrokenHandshake> {};

TEST_P(BrokenHandshakeTest, FailsAsConnectErrorAndTheSessionGoesOn) {
  const BrokenHandshake& broken = GetParam();
  HostileServer raw(false);
  raw.Script(broken.behaviour);
  // Only the stalling server is left to the limit; the others must fail by themselves.
  if (broken.timeout) session_.SetConnectTimeout(kStallLimit);
  std::string url = "https://127.0.0.1:" + std::to_string(raw.GetPort()) + "/";
  try {
    session_.Send(Get(url));
    ADD_FAILURE() << "no error";
  } catch (const Error& error) {
    ExpectError(error, kConnectError, "Socket connect error", broken.timeout);
  }
  session_.SetConnectTimeout(kConnectLimit);
  // Failed or cut short by the time limit, the handshake is logged once.
  EXPECT_EQ(CountStartingWith("ERRO", "Handshake error ("), 1u);
  EXPECT_EQ(log_.Count("WARN", "Timeout"), broken.timeout ? 1u : 0u);
  EXPECT_EQ(session_.GetPoolSize(), 0u);
  ExpectNextRequestWorks();
}

INSTANTIATE_TEST_SUITE_P(Hostile, BrokenHandshakeTest, ::testing::ValuesIn(BrokenHandshakes()),
                         [](const auto& info) { return std::string(info.param.name); });

TEST_F(HostileServerTest, CertificateOutsideTheSystemRootsIsRefused) {
  test::ScriptedServer::Options options;
  options.certificate = &test::TestPki::Get().good();
  test::ScriptedServer tls(options);
  try {
    session_.Send(Get(tls.Url("/")));
    ADD_FAILURE() << "no error";
  } catch (const Error& error) {
    ExpectError(error, kConnectError, "Socket connect error", false);
  }
  EXPECT_EQ(CountStartingWith("ERRO", "Handshake error ("), 1u);
  EXPECT_EQ(tls.Requests().size(), 0u);
  EXPECT_EQ(session_.GetPoolSize(), 0u);
  ExpectNextRequestWorks();
}

// Certificate faults need a trusted CA to be told apart from an untrusted one, so they
// go through a TLS driver whose context trusts the test CA: after each refusal the same
// driver must complete an exchange with a good server.
class BadCertificateTest : public ::testing::TestWithParam<std::tuple<const char*, const test::TestCertificate*>> {
 protected:
  Error SendTo(const std::string& url) {
    auto request = RequestBuilder().Method("GET").Url(url)();
    request->Prepare();
    return test::RunExchange(loop_.context(), client_, request);
  }

  test::LogCapture log_;
  std::shared_ptr<TlsContext> context_ = test::MakeTestTlsContext();
  test::LoopThread loop_;
  std::shared_ptr<SslClient> client_ = std::make_shared<SslClient>(loop_.context(), context_);
};

TEST_P(BadCertificateTest, IsRefusedAndTheDriverGoesOn) {
  test::ScriptedServer::Options bad_options;
  bad_options.certificate = std::get<1>(GetParam());
  test::ScriptedServer bad(bad_options);
  Error error = SendTo(bad.Url("/"));
  ExpectError(error, kConnectError, "Socket connect error", false);
  std::size_t handshake_errors = 0;
  for (const std::string& record : log_.Records()) {
    test::LogRecord parsed;
    if (test::ParseLogRecord(record, parsed) && parsed.level == "ERRO" &&
        parsed.message.rfind("Handshake error (", 0) == 0) {
      ++handshake_errors;
    }
  }
  EXPECT_EQ(handshake_errors, 1u);
  EXPECT_FALSE(client_->IsConnected());
  EXPECT_EQ(bad.Requests().size(), 0u);

  test::ScriptedServer::Options good_options;
  good_options.certificate = &test::TestPki::Get().good();
  test::ScriptedServer good(good_options);
  error = SendTo(good.Url("/"));
  EXPECT_EQ(error.code(), kNoError) << error;
  std::shared_ptr<Response> response = client_->TakeResponse();
  ASSERT_NE(response, nullptr);
  EXPECT_EQ(response->GetStatus(), 200);
}

INSTANTIATE_TEST_SUITE_P(
    Hostile, BadCertificateTest,
    ::testing::Values(std::make_tuple("WrongHost", &test::TestPki::Get().wrong_host()),
                      std::make_tuple("Untrusted", &test::TestPki::Get().untrusted()),
                      std::make_tuple("Expired", &test::TestPki::Get().expired()),
                      std::make_tuple("SelfSigned", &test::TestPki::Get().self_signed())),
    [](const auto& info) { return std::string(std::get<0>(info.param)); });

// A keep-alive response followed, in the same TCP write, by a record nobody asked for.
// Over TLS the record is taken off the socket with the response and waits inside the
// TLS layer, where neither the parser nor a look at the socket sees it; the next
// request must still go out on a new connection and get the server's answer to it.
struct Trailing {
  const char* name;
  std::vector<std::string> records;
  const char* first_body;
};

const Trailing kTrailing[] = {
    {"InjectedResponse", {test::HttpResponse(200, "fine"), test::HttpResponse(200, "injected")},
     "fine"},
    // The record boundary falls where the undercounting length ends.
    {"UndercountedLength", {"HTTP/1.1 200 OK\r\nContent-Length: 5\r\n\r\nhello", " world"},
     "hello"},
};

void PrintTo(const Trailing& trailing, std::ostream* out) { *out << trailing.name; }

class TrailingRecordTest : public ::testing::TestWithParam<std::tuple<Trailing, bool>> {
 protected:
  test::LogCapture log_;
  std::shared_ptr<TlsContext> context_ = test::MakeTestTlsContext();
  test::LoopThread loop_;
};

TEST_P(TrailingRecordTest, IsNeverTakenAsTheNextResponse) {
  auto [trailing, tls] = GetParam();
  test::ScriptedServer::Options options;
  if (tls) options.certificate = &test::TestPki::Get().good();
  auto real = test::ScriptedServer::Respond(test::HttpResponse(200, "real"));
  test::ScriptedServer server(options, real);
  server.Script([records = trailing.records, real](test::ScriptedConnection& connection) {
    if (connection.ReadRequest() && connection.SendRecords(records)) real(connection);
  });
  std::shared_ptr<ClientBase> client;
  if (tls) {
    client = std::make_shared<SslClient>(loop_.context(), context_);
  } else {
    client = std::make_shared<Client>(loop_.context());
  }
  auto send = [&](const char* path) {
    auto request = RequestBuilder().Method("GET").Url(server.Url(path))();
    request->Prepare();
    Error error = test::RunExchange(loop_.context(), client, request);
    EXPECT_EQ(error.code(), kNoError) << error;
    std::shared_ptr<Response> response = client->TakeResponse();
    return response ? response->GetData() : std::string("no response");
  };
  EXPECT_EQ(send("/first"), trailing.first_body);
  EXPECT_EQ(send("/second"), "real");
  EXPECT_EQ(server.Accepted(), 2u);
  EXPECT_EQ(server.Requests().size(), 2u);
}

INSTANTIATE_TEST_SUITE_P(Hostile, TrailingRecordTest,
                         ::testing::Combine(::testing::ValuesIn(kTrailing), ::testing::Bool()),
                         [](const auto& info) {
                           return std::string(std::get<0>(info.param).name) +
                                  (std::get<1>(info.param) ? "Tls" : "Plain");
                         });

}  // namespace
}  // namespace korvo
