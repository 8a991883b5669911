// Tests of the client's HTTP/2 connection as bytes, against an in-memory nghttp2 server
// (tests/support/h2_peer.h): what a request puts on the wire, responses kept apart per
// stream, flow control that follows the consumer, refusals a caller may retry, resets,
// and what a hostile server's frames do to one stream or to the connection.
#include "korvo/internal/http2_session.h"

#include <nghttp2/nghttp2.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <limits>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "korvo/body.h"
#include "korvo/internal/parser.h"
#include "korvo/request.h"
#include "support/h2_peer.h"
#include "support/temp_dir.h"

namespace korvo {
namespace {

using test::H2Fields;
using test::H2Peer;

// Records what one stream delivers, and that nothing comes after its end.
struct Recorder : Http2StreamObserver {
  int status = 0;
  int heads = 0;
  Headers head;
  std::string body;
  Headers trailers;
  bool has_trailers = false;
  std::uint64_t uploaded = 0;
  int ends = 0;
  Http2StreamEnd end;
  bool called_after_end = false;
  // Of each piece, how much is consumed at once.
  std::size_t take = std::numeric_limits<std::size_t>::max();
  // Runs inside OnHead (a cancel, say).
  std::function<void()> on_head;
  // Where OnData records which stream spoke, to see streams interleave.
  std::vector<int>* order = nullptr;
  int tag = 0;

  void OnHead(int code, const Headers& fields) override {
    called_after_end |= ends > 0;
    ++heads;
    status = code;
    head = fields;
    if (on_head) on_head();
  }
  std::size_t OnData(const char* data, std::size_t size) override {
    called_after_end |= ends > 0;
    body.append(data, size);
    if (order != nullptr && (order->empty() || order->back() != tag)) order->push_back(tag);
    return std::min(size, take);
  }
  void OnTrailers(const Headers& fields) override {
    called_after_end |= ends > 0;
    has_trailers = true;
    trailers = fields;
  }
  void OnUploadProgress(std::uint64_t sent) override { uploaded = sent; }
  void OnEnd(const Http2StreamEnd& e) override {
    ++ends;
    end = e;
  }
  bool Complete() const { return ends == 1 && end.kind == Http2EndKind::kComplete; }
};

// Requests are neither copied nor moved: they live in shared pointers, as senders keep them.
std::shared_ptr<Request> MakeRequest(const std::string& method, const std::string& url,
                                     const H2Fields& fields = {}) {
  auto request = std::make_shared<Request>();
  request->SetMethod(method).SetUrl(Url(url));
  for (const auto& [name, value] : fields) request->AddHeader(name, value);
  request->Prepare();
  return request;
}

// Moves bytes both ways, the server's in pieces of `piece` bytes, until both are quiet.
void Pump(Http2Session& client, H2Peer& peer, std::size_t piece = 0) {
  for (int round = 0; round < 10000; ++round) {
    std::string up = client.TakeOutput();
    if (!up.empty()) peer.Feed(up);
    std::string down = peer.TakeOutput();
    std::size_t step = piece == 0 ? down.size() : piece;
    for (std::size_t at = 0; at < down.size(); at += step) {
      client.Feed(down.data() + at, std::min(step, down.size() - at));
    }
    if (up.empty() && down.empty()) return;
  }
  ADD_FAILURE() << "the exchange never went quiet";
}

std::string Pattern(std::size_t size, char seed) {
  std::string text(size, ' ');
  for (std::size_t i = 0; i < size; ++i) text[i] = static_cast<char>(seed + i % 23);
  return text;
}

TEST(Http2SessionTest, OpensWithItsSettingsAndWindow) {
  Http2Session client;
  H2Peer peer;
  std::string preface = client.TakeOutput();
  EXPECT_EQ(preface.rfind("PRI * HTTP/2.0\r\n\r\nSM\r\n\r\n", 0), 0u);
  peer.Feed(preface);
  EXPECT_EQ(peer.ClientSetting(NGHTTP2_SETTINGS_ENABLE_PUSH), 0u);
  EXPECT_EQ(peer.ClientSetting(NGHTTP2_SETTINGS_INITIAL_WINDOW_SIZE),
            static_cast<std::uint32_t>(Http2Session::kStreamWindow));
  EXPECT_EQ(peer.ClientSetting(NGHTTP2_SETTINGS_MAX_HEADER_LIST_SIZE), kMaxHeadLength);
  EXPECT_EQ(peer.ClientSetting(NGHTTP2_SETTINGS_MAX_CONCURRENT_STREAMS), Http2Session::kMaxStreams);
  EXPECT_EQ(peer.ClientConnectionWindow(), Http2Session::kConnectionWindow);
}

TEST(Http2SessionTest, RequestFieldsOnTheWire) {
  struct Case {
    const char* name;
    std::shared_ptr<Request> request;
    H2Fields expected;  // pseudo-fields and fields, in order
  } cases[] = {
      {"connection-specific fields stay home, names go lower-case",
       MakeRequest("GET", "https://example.org/a/b?q=1&r=%20",
                   {{"Accept", "text/plain"}, {"Connection", "keep-alive"}, {"Keep-Alive", "5"},
                    {"Proxy-Connection", "x"}, {"Upgrade", "h2c"}, {"TE", "gzip"},
                    {"X-Mixed-Case", "v"}, {"X-Twice", "1"}, {"x-twice", "2"}}),
       {{":method", "GET"}, {":scheme", "https"}, {":authority", "example.org"},
        {":path", "/a/b?q=1&r=%20"}, {"accept", "text/plain"}, {"x-mixed-case", "v"},
        {"x-twice", "1"}, {"x-twice", "2"}}},
      {"TE: trailers passes, the port is in the authority", 
       MakeRequest("DELETE", "http://127.0.0.1:8080", {{"TE", " Trailers "}}),
       {{":method", "DELETE"}, {":scheme", "http"}, {":authority", "127.0.0.1:8080"},
        {":path", "/"}, {"te", "trailers"}}},
  };
  Http2Session client;
  H2Peer peer;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    auto recorder = std::make_shared<Recorder>();
    std::int32_t id = client.SubmitRequest(*c.request, recorder);
    Pump(client, peer);
    const H2Peer::Stream* stream = peer.Find(id);
    ASSERT_NE(stream, nullptr);
    EXPECT_EQ(stream->fields, c.expected);
    EXPECT_TRUE(stream->ended);
  }

  struct Refused {
    const char* name;
    std::shared_ptr<Request> request;
    ErrorCode code;
    const char* message;
  } refused[] = {
      {"scheme", MakeRequest("GET", "ftp://example.org/"), kRequestError, "Invalid URL scheme"},
      {"CONNECT", MakeRequest("CONNECT", "https://example.org/"), kRequestError,
       "Invalid request line"},
      {"control byte in the path", MakeRequest("GET", "https://example.org/a\x01"), kRequestError,
       "Invalid request line"},
      {"value with a tab at its end",
       MakeRequest("GET", "https://example.org/", {{"X-Tail", "v\t"}}), kRequestError,
       "Invalid header field"},
  };
  for (Refused& r : refused) {
    SCOPED_TRACE(r.name);
    try {
      client.SubmitRequest(*r.request, std::make_shared<Recorder>());
      ADD_FAILURE() << "sent";
    } catch (const Error& error) {
      EXPECT_EQ(error.code(), r.code);
      EXPECT_EQ(error.message(), r.message);
    }
  }
  EXPECT_EQ(client.GetOpenStreams(), 2u);
}

TEST(Http2SessionTest, GetSkipsInterimHeadsAndKeepsRepeatedFieldsAndTrailers) {
  Http2Session client;
  H2Peer peer;
  auto recorder = std::make_shared<Recorder>();
  std::int32_t id = client.SubmitRequest(*MakeRequest("GET", "https://example.org/"), recorder);
  Pump(client, peer);
  peer.SendHeaders(id, {{":status", "103"}, {"link", "</style.css>"}}, false);
  peer.Respond(id, 200,
               {{"set-cookie", "a=1"}, {"content-type", "text/plain"}, {"set-cookie", "b=2"}},
               "hello", false, {{"x-checksum", "abc"}});
  Pump(client, peer);
  EXPECT_TRUE(recorder->Complete());
  EXPECT_EQ(recorder->heads, 1);
  EXPECT_EQ(recorder->status, 200);
  EXPECT_EQ(recorder->head.GetAll("set-cookie"), (std::vector<std::string>{"a=1", "b=2"}));
  EXPECT_EQ(recorder->head.begin()->first, "set-cookie");
  EXPECT_FALSE(recorder->head.Has("link"));
  EXPECT_EQ(recorder->body, "hello");
  EXPECT_TRUE(recorder->has_trailers);
  EXPECT_EQ(recorder->trailers.Get("x-checksum"), "abc");
  EXPECT_FALSE(recorder->called_after_end);
  EXPECT_EQ(client.GetOpenStreams(), 0u);
  EXPECT_FALSE(client.IsFailed());
}

TEST(Http2SessionTest, EveryStatusBut1xxIsFinal) {
  // As nghttp2 reads a head: one that is not interim is the response's, whatever its
  // number, and the stream may end on it.
  for (const char* status : {"099", "200", "599", "999"}) {
    SCOPED_TRACE(status);
    Http2Session client;
    H2Peer peer;
    auto recorder = std::make_shared<Recorder>();
    std::int32_t id = client.SubmitRequest(*MakeRequest("GET", "https://example.org/"), recorder);
    Pump(client, peer);
    peer.SendHeaders(id, {{":status", "100"}}, false);
    peer.SendHeaders(id, {{":status", status}}, true);
    Pump(client, peer);
    EXPECT_TRUE(recorder->Complete());
    EXPECT_EQ(recorder->heads, 1);
    EXPECT_EQ(recorder->status, std::stoi(status));
  }
}

TEST(Http2SessionTest, PostBodyDeferredResumedAndHeldByTheServersWindow) {
  Http2Session client;
  H2Peer peer(H2Peer::Options{{}, /*hold_window=*/true});
  std::string pending = "part one, ";
  bool finished = false;
  auto recorder = std::make_shared<Recorder>();
  std::int32_t id = client.SubmitRequest(
      *MakeRequest("POST", "https://example.org/upload"), recorder,
      [&](char* buffer, std::size_t capacity, std::size_t& length) {
        length = std::min(capacity, pending.size());
        pending.copy(buffer, length);
        pending.erase(0, length);
        if (!pending.empty()) return Http2BodyRead::kData;
        if (finished) return Http2BodyRead::kEnd;
        return length > 0 ? Http2BodyRead::kData : Http2BodyRead::kDeferred;
      });
  Pump(client, peer);
  ASSERT_NE(peer.Find(id), nullptr);
  EXPECT_EQ(peer.Find(id)->body, "part one, ");
  EXPECT_FALSE(peer.Find(id)->ended);

  // More than the peer's window (65,535 bytes, its default): the rest waits for it.
  const std::string big = Pattern(200000, 'a');
  pending = big;
  finished = true;
  client.ResumeBody(id);
  Pump(client, peer);
  EXPECT_EQ(peer.Find(id)->body.size(), 65535u);
  EXPECT_EQ(recorder->uploaded, 65535u);
  EXPECT_FALSE(client.WantsWrite());
  for (int i = 0; i < 10 && !peer.Find(id)->ended; ++i) {
    peer.ReleaseWindow(id, peer.Find(id)->held);
    Pump(client, peer);
  }
  EXPECT_EQ(peer.Find(id)->body, "part one, " + big);
  EXPECT_TRUE(peer.Find(id)->ended);
  EXPECT_EQ(recorder->uploaded, 10 + big.size());

  peer.Respond(id, 201, {}, "made");
  Pump(client, peer);
  EXPECT_TRUE(recorder->Complete());
  EXPECT_EQ(recorder->status, 201);
}

TEST(Http2SessionTest, BodyFromARequestsBodyAndABodyThatCannotBeRead) {
  test::ScratchDir dir;
  Http2Session client;
  H2Peer peer;
  const std::string text = Pattern(100000, 'k');
  auto sent = std::make_shared<Recorder>();
  std::int32_t ok = client.SubmitRequest(*MakeRequest("PUT", "https://example.org/s"), sent,
                                         MakeBodyProvider(std::make_shared<StringBody>(text)));
  // A file that is gone by the time its first piece is wanted.
  const std::filesystem::path path = dir.Write("gone.txt", "soon gone");
  auto file = std::make_shared<FileBody>(path, std::size_t{4});
  std::filesystem::remove(path);
  auto failed = std::make_shared<Recorder>();
  std::int32_t bad = client.SubmitRequest(*MakeRequest("PUT", "https://example.org/f"), failed,
                                          MakeBodyProvider(file));
  Pump(client, peer);
  EXPECT_EQ(peer.Find(ok)->body, text);
  EXPECT_TRUE(peer.Find(ok)->ended);
  EXPECT_EQ(failed->ends, 1);
  EXPECT_EQ(failed->end.kind, Http2EndKind::kFailed);
  EXPECT_EQ(failed->end.error.code(), kFileError);
  EXPECT_TRUE(peer.Find(bad) == nullptr || peer.Find(bad)->reset);
  EXPECT_FALSE(client.IsFailed());
}

TEST(Http2SessionTest, ConcurrentStreamsKeepTheirInterleavedDataApart) {
  for (std::size_t piece : {std::size_t{0}, std::size_t{4096}, std::size_t{5}}) {
    SCOPED_TRACE(piece);
    Http2Session client;
    H2Peer peer;
    std::vector<int> order;
    std::vector<std::shared_ptr<Recorder>> recorders;
    std::vector<std::int32_t> ids;
    for (int i = 0; i < 3; ++i) {
      auto recorder = std::make_shared<Recorder>();
      recorder->order = &order;
      recorder->tag = i;
      recorders.push_back(recorder);
      ids.push_back(client.SubmitRequest(
          *MakeRequest("GET", "https://example.org/" + std::to_string(i)), recorder));
    }
    Pump(client, peer);
    for (int i = 0; i < 3; ++i) peer.Respond(ids[i], 200, {}, Pattern(100000, 'a' + i * 5));
    Pump(client, peer, piece);
    for (int i = 0; i < 3; ++i) {
      EXPECT_TRUE(recorders[i]->Complete()) << i;
      EXPECT_EQ(recorders[i]->body, Pattern(100000, 'a' + i * 5)) << i;
    }
    EXPECT_GT(order.size(), 3u) << "the streams' DATA did not interleave";
  }
}

TEST(Http2SessionTest, AStreamThatIsNotConsumedStopsAtItsWindowAndTheOthersGoOn) {
  Http2Session client;
  H2Peer peer;
  auto slow = std::make_shared<Recorder>();
  slow->take = 0;
  auto fast = std::make_shared<Recorder>();
  std::int32_t slow_id = client.SubmitRequest(*MakeRequest("GET", "https://example.org/slow"), slow);
  std::int32_t fast_id = client.SubmitRequest(*MakeRequest("GET", "https://example.org/fast"), fast);
  Pump(client, peer);
  const std::string slow_body = Pattern(Http2Session::kStreamWindow + 500000, 's');
  const std::string fast_body = Pattern(3 << 20, 'f');
  peer.Respond(slow_id, 200, {}, slow_body);
  peer.Respond(fast_id, 200, {}, fast_body);
  Pump(client, peer);
  EXPECT_TRUE(fast->Complete());
  EXPECT_EQ(fast->body.size(), fast_body.size());
  EXPECT_EQ(slow->body.size(), static_cast<std::size_t>(Http2Session::kStreamWindow));
  EXPECT_EQ(slow->ends, 0);

  // Consumed in two steps: a little reopens little; all of it lets the rest through.
  client.Consume(slow_id, 1000);
  Pump(client, peer);
  EXPECT_EQ(slow->body.size(), static_cast<std::size_t>(Http2Session::kStreamWindow));
  client.Consume(slow_id, Http2Session::kStreamWindow);
  Pump(client, peer);
  EXPECT_EQ(slow->body, slow_body);
  EXPECT_TRUE(slow->Complete());
}

TEST(Http2SessionTest, WhatAnEndedStreamHeldGoesBackToTheConnection) {
  // One stream after another holds a full window it never consumes, then ends: more
  // streams than the connection's window holds, so the later ones get their data only
  // if each ended one gave its bytes back.
  enum class Way { kComplete, kResetByServer, kCancelled };
  const int streams = Http2Session::kConnectionWindow / Http2Session::kStreamWindow + 2;
  for (Way way : {Way::kComplete, Way::kResetByServer, Way::kCancelled}) {
    SCOPED_TRACE(static_cast<int>(way));
    Http2Session client;
    H2Peer peer;
    for (int i = 0; i < streams; ++i) {
      auto recorder = std::make_shared<Recorder>();
      recorder->take = 0;
      std::int32_t id =
          client.SubmitRequest(*MakeRequest("GET", "https://example.org/"), recorder);
      Pump(client, peer);
      bool whole = way == Way::kComplete;
      peer.Respond(id, 200, {}, std::string(Http2Session::kStreamWindow, 'w'), !whole);
      Pump(client, peer);
      ASSERT_EQ(recorder->body.size(), static_cast<std::size_t>(Http2Session::kStreamWindow)) << i;
      if (way == Way::kResetByServer) peer.Reset(id, NGHTTP2_CANCEL);
      if (way == Way::kCancelled) client.CancelStream(id);
      Pump(client, peer);
      EXPECT_EQ(recorder->ends, way == Way::kCancelled ? 0 : 1);
    }
    EXPECT_EQ(client.GetOpenStreams(), 0u);
  }
}

TEST(Http2SessionTest, RefusedStreamsMayBeSentAgain) {
  Http2Session client;
  H2Peer peer;
  std::vector<std::shared_ptr<Recorder>> recorders;
  std::vector<std::int32_t> ids;
  for (int i = 0; i < 4; ++i) {
    recorders.push_back(std::make_shared<Recorder>());
    ids.push_back(client.SubmitRequest(*MakeRequest("POST", "https://example.org/"), recorders[i]));
  }
  Pump(client, peer);
  // The first is refused outright; a GOAWAY after the second refuses the rest that went
  // out, and a request still queued when it comes is never sent at all.
  peer.Reset(ids[0], NGHTTP2_REFUSED_STREAM);
  peer.Goaway(ids[1], NGHTTP2_NO_ERROR, "maintenance");
  auto queued = std::make_shared<Recorder>();
  client.SubmitRequest(*MakeRequest("GET", "https://example.org/late"), queued);
  std::string down = peer.TakeOutput();
  EXPECT_TRUE(client.Feed(down.data(), down.size()));
  for (const auto& recorder : {recorders[0], recorders[2], recorders[3], queued}) {
    EXPECT_EQ(recorder->ends, 1);
    EXPECT_EQ(recorder->end.kind, Http2EndKind::kRefused);
    EXPECT_EQ(recorder->end.error.code(), kReadError);
  }
  EXPECT_EQ(recorders[0]->end.code, static_cast<std::uint32_t>(NGHTTP2_REFUSED_STREAM));
  EXPECT_TRUE(client.HasGoaway());
  EXPECT_EQ(client.GetAvailableStreams(), 0u);
  EXPECT_THROW(client.SubmitRequest(*MakeRequest("GET", "https://example.org/"),
                                    std::make_shared<Recorder>()),
               Error);

  // The stream the server kept goes on; then the connection may close.
  EXPECT_EQ(recorders[1]->ends, 0);
  EXPECT_TRUE(client.WantsRead());
  peer.Respond(ids[1], 200, {}, "kept");
  Pump(client, peer);
  EXPECT_TRUE(recorders[1]->Complete());
  EXPECT_FALSE(client.WantsRead());
  EXPECT_FALSE(client.IsFailed());

  // A connection that drops: what never left is refused, what did has failed.
  Http2Session lost;
  auto out = std::make_shared<Recorder>();
  auto unsent = std::make_shared<Recorder>();
  lost.SubmitRequest(*MakeRequest("GET", "https://example.org/"), out);
  lost.TakeOutput();
  lost.SubmitRequest(*MakeRequest("GET", "https://example.org/"), unsent);
  lost.ConnectionLost("end of stream");
  EXPECT_EQ(out->end.kind, Http2EndKind::kConnectionFailed);
  EXPECT_EQ(unsent->end.kind, Http2EndKind::kRefused);
  EXPECT_FALSE(lost.Feed("x", 1));
  EXPECT_EQ(lost.GetFailure(), "end of stream");
}

TEST(Http2SessionTest, AResetOrCancelledStreamLeavesTheOthers) {
  Http2Session client;
  H2Peer peer;
  auto reset = std::make_shared<Recorder>();
  auto cancelled = std::make_shared<Recorder>();
  auto cancelled_in_head = std::make_shared<Recorder>();
  auto other = std::make_shared<Recorder>();
  std::int32_t reset_id = client.SubmitRequest(*MakeRequest("GET", "https://example.org/r"), reset);
  std::int32_t cancel_id =
      client.SubmitRequest(*MakeRequest("GET", "https://example.org/c"), cancelled);
  std::int32_t head_id =
      client.SubmitRequest(*MakeRequest("GET", "https://example.org/h"), cancelled_in_head);
  cancelled_in_head->on_head = [&] { client.CancelStream(head_id); };
  std::int32_t other_id = client.SubmitRequest(*MakeRequest("GET", "https://example.org/o"), other);
  // Never sent: cancelled while still queued.
  auto never = std::make_shared<Recorder>();
  std::int32_t never_id = client.SubmitRequest(*MakeRequest("GET", "https://example.org/n"), never);
  client.CancelStream(never_id);
  Pump(client, peer);
  EXPECT_EQ(peer.Find(never_id), nullptr);

  peer.Respond(reset_id, 200, {}, "partial", true);
  peer.Respond(cancel_id, 200, {}, "partial", true);
  peer.Respond(head_id, 200, {}, Pattern(300000, 'h'));
  peer.Respond(other_id, 200, {}, "start ", true);
  Pump(client, peer);
  peer.Reset(reset_id, NGHTTP2_INTERNAL_ERROR);
  client.CancelStream(cancel_id);
  Pump(client, peer);
  peer.AppendBody(cancel_id, Pattern(200000, 'c'), true);  // already on its way, say
  peer.AppendBody(other_id, "and end", true);
  Pump(client, peer);

  EXPECT_EQ(reset->end.kind, Http2EndKind::kReset);
  EXPECT_EQ(reset->end.code, static_cast<std::uint32_t>(NGHTTP2_INTERNAL_ERROR));
  EXPECT_EQ(reset->body, "partial");
  for (const auto& recorder : {cancelled, cancelled_in_head, never}) EXPECT_EQ(recorder->ends, 0);
  EXPECT_EQ(cancelled->body, "partial");
  EXPECT_EQ(cancelled_in_head->body, "");
  EXPECT_EQ(peer.Find(cancel_id)->reset_code, static_cast<std::uint32_t>(NGHTTP2_CANCEL));
  EXPECT_EQ(peer.Find(head_id)->reset_code, static_cast<std::uint32_t>(NGHTTP2_CANCEL));
  EXPECT_TRUE(other->Complete());
  EXPECT_EQ(other->body, "start and end");
  EXPECT_EQ(client.GetOpenStreams(), 0u);
}

TEST(Http2SessionTest, ServerSettingsBoundTheStreamsOpenAtOnce) {
  Http2Session client;
  H2Peer peer(H2Peer::Options{{{NGHTTP2_SETTINGS_MAX_CONCURRENT_STREAMS, 1000}}, false});
  Pump(client, peer);
  EXPECT_EQ(client.GetAvailableStreams(), Http2Session::kMaxStreams);
  peer.Settings({{NGHTTP2_SETTINGS_MAX_CONCURRENT_STREAMS, 2}});
  Pump(client, peer);
  EXPECT_EQ(client.GetAvailableStreams(), 2u);
  std::vector<std::shared_ptr<Recorder>> recorders;
  for (int i = 0; i < 3; ++i) {
    recorders.push_back(std::make_shared<Recorder>());
    client.SubmitRequest(*MakeRequest("GET", "https://example.org/"), recorders.back());
  }
  EXPECT_EQ(client.GetAvailableStreams(), 0u);
  Pump(client, peer);
  // The third waits in the queue until a stream ends.
  EXPECT_EQ(peer.Streams().size(), 2u);
  peer.Respond(peer.Streams().begin()->first, 204);
  Pump(client, peer);
  EXPECT_EQ(peer.Streams().size(), 3u);
  EXPECT_TRUE(recorders[0]->Complete());

  EXPECT_TRUE(client.SubmitPing());
  EXPECT_TRUE(client.IsPingOutstanding());
  Pump(client, peer);
  EXPECT_FALSE(client.IsPingOutstanding());
}

// A header block whose one 4000-byte field enters the compression table once and is
// then repeated by its index, a byte each: small on the wire, huge as a header list.
std::string IndexedBomb(std::size_t repeats) {
  std::string block = H2Peer::LiteralBlock({{":status", "200"}});
  block += '\x40';  // literal with incremental indexing, new name
  block += H2Peer::HpackInteger(5, 7, 0) + "x-big";
  block += H2Peer::HpackInteger(4000, 7, 0) + std::string(4000, 'b');
  for (std::size_t i = 0; i < repeats; ++i) block += '\xbe';  // index 62: that field
  return block;
}

TEST(Http2SessionTest, HostileFramesFailTheirStreamOrTheConnection) {
  // kConnection: the client tells the server why in a GOAWAY; kFatal: nghttp2 gives up
  // on the connection and nothing more is sent.
  enum Scope { kStream, kConnection, kFatal };
  struct Case {
    const char* name;
    std::function<void(H2Peer&, std::int32_t)> send;
    Scope scope;
    const char* reason;  // a part of the failure's detail
  } cases[] = {
      {"connection-specific field",
       [](H2Peer& p, std::int32_t s) {
         p.SendHeaders(s, {{":status", "200"}, {"connection", "close"}}, true);
       },
       kStream, "name: [connection]"},
      {"upper-case field name",
       [](H2Peer& p, std::int32_t s) { p.SendHeaders(s, {{":status", "200"}, {"X-Up", "1"}}, true); },
       kStream, "name: [X-Up]"},
      {"no status", [](H2Peer& p, std::int32_t s) { p.SendHeaders(s, {{"server", "x"}}, true); },
       kStream, "HTTP messaging"},
      {"status not a number",
       [](H2Peer& p, std::int32_t s) { p.SendHeaders(s, {{":status", "2x0"}}, true); }, kStream,
       "name: [:status]"},
      {"pseudo-field after a field",
       [](H2Peer& p, std::int32_t s) { p.SendHeaders(s, {{"server", "x"}, {":status", "200"}}, true); },
       kStream, "name: [:status]"},
      {"request pseudo-field in a response",
       [](H2Peer& p, std::int32_t s) { p.SendHeaders(s, {{":status", "200"}, {":path", "/"}}, true); },
       kStream, "name: [:path]"},
      {"DATA beyond the content-length",
       [](H2Peer& p, std::int32_t s) {
         p.SendHeaders(s, {{":status", "200"}, {"content-length", "5"}}, false);
         p.SendFrame(NGHTTP2_DATA, NGHTTP2_FLAG_END_STREAM, s, "0123456789");
       },
       kStream, "does not match its content-length (5"},
      {"DATA before any head",
       [](H2Peer& p, std::int32_t s) { p.SendFrame(NGHTTP2_DATA, NGHTTP2_FLAG_END_STREAM, s, "x"); },
       kConnection, "DATA: stream not opened"},
      {"head over the limit in CONTINUATION frames",
       [](H2Peer& p, std::int32_t s) {
         H2Fields fields{{":status", "200"}};
         for (int i = 0; i < 300; ++i) fields.emplace_back("x-fill-" + std::to_string(i), std::string(4000, 'f'));
         p.SendHeaders(s, fields, true);
       },
       kStream, "Response head too large"},
      {"indexed field repeated past the limit",
       [](H2Peer& p, std::int32_t s) { p.SendBlock(s, IndexedBomb(300), true); }, kStream,
       "Response head too large"},
      {"too many fields",
       [](H2Peer& p, std::int32_t s) {
         p.SendHeaders(s, H2Fields(kMaxHeaderFields + 1, {"a", "1"}), true);
       },
       kStream, "Response head too large"},
      {"PUSH_PROMISE although push is off",
       [](H2Peer& p, std::int32_t s) {
         std::string payload("\0\0\0\x02", 4);
         payload += H2Peer::LiteralBlock({{":method", "GET"}, {":scheme", "https"},
                                          {":authority", "example.org"}, {":path", "/pushed"}});
         p.SendFrame(NGHTTP2_PUSH_PROMISE, NGHTTP2_FLAG_END_HEADERS, s, payload);
       },
       kConnection, "PUSH_PROMISE: push disabled"},
      {"CONTINUATION without end",
       [](H2Peer& p, std::int32_t s) {
         p.SendFrame(NGHTTP2_HEADERS, 0, s, H2Peer::LiteralBlock({{":status", "200"}}));
         for (std::size_t i = 0; i <= Http2Session::kMaxContinuations; ++i) {
           p.SendFrame(NGHTTP2_CONTINUATION, 0, s, "");
         }
       },
       kFatal, "CONTINUATION"},
      {"PING flood",
       [](H2Peer& p, std::int32_t) {
         for (std::size_t i = 0; i <= Http2Session::kMaxQueuedAcks; ++i) {
           p.SendFrame(NGHTTP2_PING, 0, 0, std::string(8, 'p'));
         }
       },
       kFatal, "faster than it reads"},
      {"SETTINGS flood",
       [](H2Peer& p, std::int32_t) {
         for (std::size_t i = 0; i <= Http2Session::kMaxQueuedAcks; ++i) {
           p.SendFrame(NGHTTP2_SETTINGS, 0, 0, "");
         }
       },
       kFatal, "faster than it reads"},
      {"GOAWAY with an error",
       [](H2Peer& p, std::int32_t s) { p.Goaway(s + 2, NGHTTP2_INTERNAL_ERROR, "over\x01loaded"); },
       kConnection, "GOAWAY INTERNAL_ERROR (overloaded)"},
      {"a stream the server opened",
       [](H2Peer& p, std::int32_t) { p.SendHeaders(2, {{":status", "200"}}, true); },
       kConnection, "client received request"},
      {"window beyond 2^31-1",
       [](H2Peer& p, std::int32_t) {
         p.SendFrame(NGHTTP2_WINDOW_UPDATE, 0, 0, std::string("\x7f\xff\xff\xff", 4));
       },
       kConnection, "Flow control error in a WINDOW_UPDATE frame"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Http2Session client;
    H2Peer peer;
    auto victim = std::make_shared<Recorder>();
    auto bystander = std::make_shared<Recorder>();
    std::int32_t victim_id = client.SubmitRequest(*MakeRequest("GET", "https://example.org/v"), victim);
    std::int32_t bystander_id =
        client.SubmitRequest(*MakeRequest("GET", "https://example.org/b"), bystander);
    Pump(client, peer);
    c.send(peer, victim_id);
    Pump(client, peer);
    EXPECT_EQ(victim->ends, 1);
    EXPECT_FALSE(victim->called_after_end);
    const std::string& detail = c.scope == kStream ? victim->end.error.detail() : client.GetFailure();
    EXPECT_NE(detail.find(c.reason), std::string::npos) << detail;
    if (c.scope == kStream) {
      EXPECT_EQ(victim->end.kind, Http2EndKind::kFailed);
      EXPECT_EQ(victim->end.error.code(), kParseError);
      EXPECT_FALSE(client.IsFailed()) << client.GetFailure();
      peer.SendHeaders(bystander_id, {{":status", "200"}}, true);
      Pump(client, peer);
      EXPECT_TRUE(bystander->Complete());
    } else {
      EXPECT_EQ(peer.ClientGoaway().has_value(), c.scope == kConnection);
      EXPECT_TRUE(client.IsFailed());
      EXPECT_FALSE(client.WantsRead());
      for (const auto& recorder : {victim, bystander}) {
        EXPECT_EQ(recorder->end.kind, Http2EndKind::kConnectionFailed);
        EXPECT_EQ(recorder->end.error.detail(), client.GetFailure());
      }
      EXPECT_FALSE(client.Feed("", 0));
    }
  }
}

// The exchange the fuzz target replays: its requests, and the server's bytes as seeds.
// With KORVO_H2_FUZZ_SEEDS naming a directory, the seeds are written there (a zero
// options byte, then the server's bytes).
TEST(Http2SessionTest, FuzzSeedExchange) {
  struct Seed {
    const char* name;
    std::function<void(H2Peer&)> answer;
  } seeds[] = {
      {"three_answers",
       [](H2Peer& p) {
         p.Respond(1, 200, {{"content-type", "text/plain"}}, "hi", false, {{"x-sum", "1"}});
         p.Respond(3, 201, {{"location", "/upload/1"}});
         p.Respond(5, 200, {{"content-length", "3000"}}, std::string(3000, 'z'));
       }},
      {"reset_and_goaway",
       [](H2Peer& p) {
         p.Respond(1, 200, {}, "partial", true);
         p.Reset(3, NGHTTP2_REFUSED_STREAM);
         p.Goaway(1, NGHTTP2_NO_ERROR, "bye");
         p.AppendBody(1, " and the rest", true);
       }},
  };
  const char* dir = std::getenv("KORVO_H2_FUZZ_SEEDS");
  for (const Seed& seed : seeds) {
    SCOPED_TRACE(seed.name);
    Http2Session client;
    H2Peer peer;
    std::vector<std::shared_ptr<Recorder>> recorders(3);
    for (auto& recorder : recorders) recorder = std::make_shared<Recorder>();
    client.SubmitRequest(*MakeRequest("GET", "https://example.org/"), recorders[0]);
    client.SubmitRequest(*MakeRequest("POST", "https://example.org/upload"), recorders[1],
                         MakeBodyProvider(std::make_shared<StringBody>("hello")));
    client.SubmitRequest(*MakeRequest("GET", "https://example.org/big"), recorders[2]);
    peer.Feed(client.TakeOutput());
    seed.answer(peer);
    std::string server;
    for (std::string down = peer.TakeOutput(); !down.empty(); down = peer.TakeOutput()) {
      server += down;
      client.Feed(down.data(), down.size());
      peer.Feed(client.TakeOutput());
    }
    for (const auto& recorder : recorders) EXPECT_EQ(recorder->ends, 1);
    EXPECT_FALSE(client.IsFailed());
    if (dir != nullptr) std::ofstream(std::filesystem::path(dir) / seed.name) << '\0' << server;
  }
}

}  // namespace
}  // namespace korvo
