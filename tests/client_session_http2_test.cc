// Sessions over HTTP/2: exchanges to one origin share a connection, each on a stream of
// its own; what one stream suffers (a reset, a refusal, a broken response, a cancel, an
// upload the server never takes) stays with it, and a refused request goes again.
#include <atomic>
#include <cstdint>
#include <fstream>
#include <functional>
#include <future>
#include <iterator>
#include <string>
#include <thread>
#include <vector>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "korvo/client_session.h"
#include "korvo/error.h"
#include "korvo/request_builder.h"
#include "support/h2_server.h"
#include "support/temp_dir.h"

namespace korvo {
namespace {

using ::testing::HasSubstr;
using test::H2Peer;
using test::H2Server;

constexpr std::uint32_t kInternalError = 0x2;
constexpr std::uint32_t kRefusedStream = 0x7;
constexpr std::uint8_t kPushPromise = 0x5;

std::shared_ptr<Request> Get(const std::string& url) { return RequestBuilder().Url(url)(); }

void UseH2c(ClientSession& session) { session.SetHttpVersion(HttpVersion::kHttp2PriorKnowledge); }

// Echoes every request but "/hang", which is never answered.
void EchoButHang(H2Peer& peer, std::int32_t stream, const H2Peer::Stream& request,
                 std::size_t connection) {
  if (request.Field(":path") != "/hang") H2Server::Echo(peer, stream, request, connection);
}

TEST(SessionHttp2Test, ManyExchangesShareOneConnection) {
  H2Server server(H2Server::Echo);
  ClientSession session;
  UseH2c(session);
  std::vector<std::future<std::shared_ptr<Response>>> futures;
  for (int i = 0; i < 200; ++i) {
    futures.push_back(session.SendAsync(Get(server.Url("/" + std::to_string(i)))));
  }
  for (int i = 0; i < 200; ++i) {
    std::shared_ptr<Response> response = futures[i].get();
    EXPECT_EQ(response->GetVersion(), "HTTP/2");
    EXPECT_EQ(response->GetData(), "/" + std::to_string(i));
  }
  // The exchanges that came while the first connection was made waited for it; beyond
  // the 100 streams it carries at once, one more connection.
  EXPECT_LE(server.Accepted(), 2u);
  auto post = RequestBuilder().Url(server.Url("/post")).Method("POST").Body("payload")();
  SendOptions options;
  std::uint64_t sent = 0;
  std::uint64_t total = 0;
  options.upload_progress = [&](std::uint64_t current, std::uint64_t size) {
    sent = current;
    total = size;
    return true;
  };
  EXPECT_EQ(session.Send(post, options)->GetData(), "/postpayload");
  EXPECT_EQ(sent, 7u);
  EXPECT_EQ(total, 7u);
}

TEST(SessionHttp2Test, ServerThatAllowsOneStreamAtATime) {
  H2Server::Options options;
  options.peer.settings = {{0x3, 1}};  // SETTINGS_MAX_CONCURRENT_STREAMS
  H2Server server(H2Server::Echo, options);
  ClientSession session;
  UseH2c(session);
  session.SetMaxConnectionsPerHost(2);
  std::vector<std::future<std::shared_ptr<Response>>> futures;
  for (int i = 0; i < 20; ++i) {
    futures.push_back(session.SendAsync(Get(server.Url("/" + std::to_string(i)))));
  }
  for (int i = 0; i < 20; ++i) EXPECT_EQ(futures[i].get()->GetData(), "/" + std::to_string(i));
  EXPECT_LE(server.Accepted(), 2u);
}

TEST(SessionHttp2Test, TlsSpeaksWhatTheServerPicks) {
  test::ScratchDir dir("korvo_h2_");
  const test::TestCertificate& certificate = test::TestPki::Get().good();
  H2Server::Options options;
  options.certificate = &certificate;
  H2Server h2(H2Server::Echo, options);
  test::ScriptedServer::Options tls;
  tls.certificate = &certificate;
  test::ScriptedServer http1(tls);  // picks no protocol through ALPN
  test::ScriptedServer cleartext;

  ClientSession session;
  session.SetCaFile(dir.Write("ca.pem", test::TestPki::Get().ca_pem()).string());
  session.SetHttpVersion(HttpVersion::kHttp2);
  EXPECT_EQ(session.Send(Get(h2.Url("/a")))->GetVersion(), "HTTP/2");
  EXPECT_EQ(session.Send(Get(http1.Url("/a")))->GetVersion(), "HTTP/1.1");
  EXPECT_EQ(session.Send(Get(cleartext.Url("/a")))->GetVersion(), "HTTP/1.1");

  // Once the first connection to an origin turns out to speak HTTP/1.1, the exchanges
  // that waited for it open their own: its response waits for a second connection.
  test::ScriptedServer held(tls);
  held.Script([&held](test::ScriptedConnection& connection) {
    if (connection.ReadRequest()) {
      connection.Send(test::HttpResponse(held.WaitForAccepted(2) ? 200 : 500, "first"));
    }
  });
  auto first = session.SendAsync(Get(held.Url("/1")));
  auto second = session.SendAsync(Get(held.Url("/2")));
  EXPECT_EQ(first.get()->GetStatus(), 200);
  EXPECT_EQ(second.get()->GetStatus(), 200);
}

// "/good" then "/bad" go out together on one connection; the server answers "/good"
// and does `fault` to the first "/bad" it sees (later ones are echoed).
struct StreamFault {
  const char* name;
  std::function<void(H2Peer& peer, std::int32_t stream)> fault;
  ErrorCode code;  // kNoError: "/bad" was sent again and answered
  const char* detail;
};

TEST(SessionHttp2Test, StreamFaultsStayWithTheirStream) {
  const StreamFault faults[] = {
      {"reset", [](H2Peer& peer, std::int32_t id) { peer.Reset(id, kInternalError); },
       kReadError, "the server reset the stream (INTERNAL_ERROR)"},
      {"refused", [](H2Peer& peer, std::int32_t id) { peer.Reset(id, kRefusedStream); },
       kNoError, ""},
      {"goaway", [](H2Peer& peer, std::int32_t id) { peer.Goaway(id - 2, 0); }, kNoError, ""},
      {"data beyond content-length",
       [](H2Peer& peer, std::int32_t id) {
         peer.Respond(id, 200, {{"content-length", "2"}}, "too long");
       },
       kParseError, "content-length"},
      {"connection-specific field",
       [](H2Peer& peer, std::int32_t id) { peer.Respond(id, 200, {{"connection", "close"}}, "x"); },
       kParseError, ""},
      {"head over the limit",
       [](H2Peer& peer, std::int32_t id) {
         test::H2Fields fields{{":status", "200"}};
         for (int i = 0; i < 300; ++i) {
           fields.emplace_back("x-fill-" + std::to_string(i), std::string(4000, 'f'));
         }
         peer.SendHeaders(id, fields, true);  // in CONTINUATION frames
       },
       kParseError, "Response head too large"},
      {"push promise",
       [](H2Peer& peer, std::int32_t id) {
         peer.SendFrame(kPushPromise, 0x4, id, std::string("\0\0\0\x02\x82", 5));
       },
       kReadError, ""},
  };
  for (const StreamFault& row : faults) {
    SCOPED_TRACE(row.name);
    std::atomic<int> bad_seen{0};
    H2Server server([&](H2Peer& peer, std::int32_t id, const H2Peer::Stream& request,
                        std::size_t connection) {
      if (request.Field(":path") == "/bad" && ++bad_seen == 1) {
        row.fault(peer, id);
      } else {
        H2Server::Echo(peer, id, request, connection);
      }
    });
    ClientSession session;
    UseH2c(session);
    auto good = session.SendAsync(Get(server.Url("/good")));
    auto bad = session.SendAsync(
        RequestBuilder().Url(server.Url("/bad")).Method("POST").Body("body")());
    EXPECT_EQ(good.get()->GetData(), "/good");
    try {
      EXPECT_EQ(bad.get()->GetData(), "/badbody");
      EXPECT_EQ(row.code, kNoError);
    } catch (const Error& error) {
      EXPECT_EQ(error.code(), row.code) << error.what() << " - " << error.detail();
      EXPECT_THAT(error.detail(), HasSubstr(row.detail));
    }
    EXPECT_EQ(session.Send(Get(server.Url("/after")))->GetData(), "/after");
  }
}

TEST(SessionHttp2Test, UploadWithoutWindowEndsAtTheReadLimit) {
  H2Server::Options options;
  options.peer.hold_window = true;
  H2Server server(H2Server::Echo, options);
  ClientSession session;
  UseH2c(session);
  session.SetReadTimeout(std::chrono::milliseconds(300));
  auto upload = RequestBuilder().Url(server.Url("/up")).Method("POST").Body(std::string(1 << 20, 'u'))();
  try {
    session.Send(upload);
    ADD_FAILURE() << "the upload completed";
  } catch (const Error& error) {
    EXPECT_EQ(error.code(), kWriteError);
    EXPECT_TRUE(error.timeout());
    EXPECT_THAT(error.detail(), HasSubstr("Timed out sending the request"));
  }
  // The stream went, the connection stays.
  EXPECT_EQ(session.Send(Get(server.Url("/next")))->GetData(), "/next");
  EXPECT_EQ(server.Accepted(), 1u);
}

TEST(SessionHttp2Test, BodiesGoWhereTheCallerSays) {
  // Larger than a stream's window, so that it only arrives as it is consumed.
  std::string big(3 << 20, '\0');
  for (std::size_t i = 0; i < big.size(); ++i) big[i] = static_cast<char>(i * 7 + i / 4096);
  H2Server server([&](H2Peer& peer, std::int32_t id, const H2Peer::Stream&, std::size_t) {
    peer.Respond(id, 200, {}, big);
  });
  ClientSession session;
  UseH2c(session);

  EXPECT_EQ(session.Send(Get(server.Url("/memory")))->GetData(), big);

  SendOptions streamed;
  streamed.stream = true;
  std::shared_ptr<Response> file = session.Send(Get(server.Url("/file")), streamed);
  ASSERT_NE(file->GetFileBody(), nullptr);
  std::ifstream in(file->GetFileBody()->GetPath(), std::ios::binary);
  EXPECT_EQ(std::string(std::istreambuf_iterator<char>(in), {}), big);

  std::string sunk;
  SendOptions sink;
  sink.sink = [&](const char* data, std::size_t size) {
    sunk.append(data, size);
    return true;
  };
  session.Send(Get(server.Url("/sink")), sink);
  EXPECT_EQ(sunk, big);

  SendOptions limited;
  limited.max_body_size = 1 << 20;
  SendOptions stopped;
  stopped.progress = [](std::uint64_t, std::uint64_t) { return false; };
  for (const SendOptions* options : {&limited, &stopped}) {
    try {
      session.Send(Get(server.Url("/refused")), *options);
      ADD_FAILURE() << "the body was taken";
    } catch (const Error& error) {
      EXPECT_EQ(error.code(), kReadError);
      EXPECT_EQ(error.cancelled(), options == &stopped) << error.detail();
    }
  }
  EXPECT_EQ(session.Send(Get(server.Url("/again")))->GetData(), big);
  EXPECT_EQ(server.Accepted(), 1u);
}

TEST(SessionHttp2Test, CancelEndsOneStreamOnly) {
  H2Server server(EchoButHang);
  ClientSession session;
  UseH2c(session);
  SendOptions options;
  auto hanging = session.SendAsync(Get(server.Url("/hang")), options);
  EXPECT_EQ(session.Send(Get(server.Url("/first")))->GetData(), "/first");
  options.cancel.Cancel();
  try {
    hanging.get();
    ADD_FAILURE() << "the hanging exchange completed";
  } catch (const Error& error) {
    EXPECT_TRUE(error.cancelled());
  }
  SendOptions limited;
  limited.timeout = std::chrono::milliseconds(300);
  try {
    session.Send(Get(server.Url("/hang")), limited);
    ADD_FAILURE() << "the hanging exchange completed";
  } catch (const Error& error) {
    EXPECT_TRUE(error.timeout());
    EXPECT_THAT(error.detail(), HasSubstr("the exchange's time limit"));
  }
  EXPECT_EQ(session.Send(Get(server.Url("/after")))->GetData(), "/after");
  EXPECT_EQ(server.Accepted(), 1u);

  // Destruction ends what is still in flight.
  std::future<std::shared_ptr<Response>> orphan;
  {
    ClientSession doomed;
    UseH2c(doomed);
    EXPECT_EQ(doomed.Send(Get(server.Url("/first")))->GetData(), "/first");
    orphan = doomed.SendAsync(Get(server.Url("/hang")));
  }
  try {
    orphan.get();
    ADD_FAILURE() << "the hanging exchange completed";
  } catch (const Error& error) {
    EXPECT_TRUE(error.cancelled());
  }
}

TEST(SessionHttp2Test, ThreadsSendAndCancelOnOneConnection) {
  H2Server server(EchoButHang);
  ClientSession session;
  UseH2c(session);
  std::atomic<int> failures{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < 8; ++t) {
    threads.emplace_back([&, t] {
      for (int i = 0; i < 25; ++i) {
        SendOptions options;
        auto hanging = session.SendAsync(Get(server.Url("/hang")), options);
        std::string path = "/" + std::to_string(t) + "-" + std::to_string(i);
        if (session.Send(Get(server.Url(path)))->GetData() != path) ++failures;
        options.cancel.Cancel();
        try {
          hanging.get();
          ++failures;
        } catch (const Error& error) {
          if (!error.cancelled()) ++failures;
        }
      }
    });
  }
  for (std::thread& thread : threads) thread.join();
  EXPECT_EQ(failures, 0);
  EXPECT_LE(server.Accepted(), 2u);
}

}  // namespace
}  // namespace korvo
