// What a hostile HTTP/2 server can hand the client's connection: any bytes, after three
// requests are open (a GET, a POST with a body, another GET), fed in pieces, with the
// client's own output taken now and then. Whatever the input, nothing crashes or leaks;
// a stream hears its head before data or trailers, nothing after its end, and never
// holds more than its window unconsumed; a complete stream had a head; an ended stream
// that is not complete carries an error that says why; a failed connection says why and
// has ended every stream.
//
// Input: one options byte, then the server's bytes. The seeds in
// fuzz/corpus/http2_session_fuzzer are real exchanges with the tests' nghttp2 peer,
// written by `KORVO_H2_FUZZ_SEEDS=<dir> http2_session_test --gtest_filter=*FuzzSeed*`
// (the requests here are that test's, in the same order, so the stream ids match).
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "fuzz_check.h"
#include "korvo/body.h"
#include "korvo/internal/http2_session.h"
#include "korvo/request.h"

namespace {

using korvo::Http2EndKind;
using korvo::Http2Session;
using korvo::Http2StreamEnd;

struct Observer : korvo::Http2StreamObserver {
  Http2Session* session = nullptr;
  std::int32_t id = 0;
  bool hold = false;         // consumes nothing on arrival
  bool cancel_on_head = false;
  int heads = 0;
  int ends = 0;
  std::uint64_t held = 0;

  void OnHead(int status, const korvo::Headers&) override {
    FUZZ_CHECK(ends == 0);
    FUZZ_CHECK(heads == 0);
    FUZZ_CHECK(status >= 0 && status <= 999 && status / 100 != 1);
    ++heads;
    if (cancel_on_head) session->CancelStream(id);
  }
  std::size_t OnData(const char*, std::size_t size) override {
    FUZZ_CHECK(ends == 0);
    FUZZ_CHECK(heads == 1);
    if (!hold) return size;
    held += size;
    FUZZ_CHECK(held <= static_cast<std::uint64_t>(Http2Session::kStreamWindow));
    return 0;
  }
  void OnTrailers(const korvo::Headers&) override {
    FUZZ_CHECK(ends == 0);
    FUZZ_CHECK(heads == 1);
  }
  void OnEnd(const Http2StreamEnd& end) override {
    FUZZ_CHECK(ends == 0);
    ++ends;
    if (end.kind == Http2EndKind::kComplete) {
      FUZZ_CHECK(heads == 1);
      FUZZ_CHECK(end.error.code() == korvo::kNoError);
    } else {
      FUZZ_CHECK(end.error.code() != korvo::kNoError);
      FUZZ_CHECK(!end.error.message().empty());
    }
  }
  void Consume(std::uint64_t bytes) {
    bytes = std::min(bytes, held);
    held -= bytes;
    session->Consume(id, static_cast<std::size_t>(bytes));
  }
};

std::shared_ptr<korvo::Request> MakeRequest(const char* method, const char* url) {
  auto request = std::make_shared<korvo::Request>();
  request->SetMethod(method).SetUrl(korvo::Url(url));
  request->Prepare();
  return request;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size == 0) return 0;
  const std::uint8_t options = data[0];
  const std::string input(reinterpret_cast<const char*>(data + 1), size - 1);
  static constexpr std::size_t kPieces[] = {1, 3, 16, 100, 1000, 4096, 65536, 1 << 30};
  const std::size_t piece = kPieces[options & 7];
  const bool hold = (options & 0x08) != 0;
  const bool cancel = (options & 0x10) != 0;
  const bool answer_each_piece = (options & 0x20) != 0;
  const bool defer_body = (options & 0x40) != 0;

  Http2Session session;
  std::vector<std::shared_ptr<Observer>> observers(3);
  for (auto& observer : observers) {
    observer = std::make_shared<Observer>();
    observer->session = &session;
  }
  observers[0]->hold = hold;
  observers[2]->cancel_on_head = cancel;
  bool deferred = false;
  std::size_t pulls = 0;
  observers[0]->id = session.SubmitRequest(*MakeRequest("GET", "https://example.org/"), observers[0]);
  observers[1]->id = session.SubmitRequest(
      *MakeRequest("POST", "https://example.org/upload"), observers[1],
      [&](char* buffer, std::size_t capacity, std::size_t& length) {
        length = 0;
        if (defer_body && pulls++ == 0) {
          deferred = true;
          return korvo::Http2BodyRead::kDeferred;
        }
        length = std::min<std::size_t>(capacity, 5);
        std::copy_n("hello", length, buffer);
        return korvo::Http2BodyRead::kEnd;
      });
  observers[2]->id =
      session.SubmitRequest(*MakeRequest("GET", "https://example.org/big"), observers[2]);
  if ((options & 0x80) != 0) session.SubmitPing();
  session.TakeOutput();

  std::size_t round = 0;
  for (std::size_t at = 0; at < input.size(); at += piece) {
    const std::size_t length = std::min(piece, input.size() - at);
    bool ok = session.Feed(input.data() + at, length);
    if (!ok) {
      FUZZ_CHECK(session.IsFailed());
      break;
    }
    if (hold) observers[0]->Consume(observers[0]->held / 2 + 1);
    if (deferred) {
      deferred = false;
      session.ResumeBody(observers[1]->id);
    }
    if (answer_each_piece || ++round % 8 == 0) session.TakeOutput();
  }
  session.TakeOutput();

  if (session.IsFailed()) {
    FUZZ_CHECK(!session.GetFailure().empty());
    FUZZ_CHECK(session.GetOpenStreams() == 0);
    FUZZ_CHECK(session.GetAvailableStreams() == 0);
    FUZZ_CHECK(!session.WantsRead());
  }
  for (std::size_t i = 0; i < observers.size(); ++i) {
    // A cancelled stream hears nothing more; every other open one is still counted.
    FUZZ_CHECK(observers[i]->ends <= 1);
  }
  std::size_t open = 0;
  for (const auto& observer : observers) {
    if (observer->ends == 0 && !(observer->cancel_on_head && observer->heads == 1)) ++open;
  }
  FUZZ_CHECK(open == session.GetOpenStreams());
  return 0;
}
