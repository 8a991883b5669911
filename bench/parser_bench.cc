// Throughput of the response parser: heads per second, and body bytes per second for
// Content-Length and chunked bodies fed in pieces of 1 KiB and 64 KiB, next to a plain
// memcpy of the same pieces as the yardstick.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <string>

#include "korvo/response.h"
#include "korvo/internal/response_parser.h"

namespace {

constexpr std::size_t kBodySize = std::size_t{8} << 20;
constexpr std::size_t kChunkSize = 16 * 1024;

const std::string& TypicalHead() {
  static const std::string head =
      "HTTP/1.1 200 OK\r\n"
      "Date: Mon, 27 Jul 2009 12:28:53 GMT\r\n"
      "Server: Apache/2.4.57 (Debian)\r\n"
      "Last-Modified: Wed, 22 Jul 2009 19:15:56 GMT\r\n"
      "ETag: \"34aa387-d-1568eb00\"\r\n"
      "Accept-Ranges: bytes\r\n"
      "Cache-Control: max-age=3600, public\r\n"
      "Vary: Accept-Encoding\r\n"
      "Content-Type: text/html; charset=UTF-8\r\n"
      "Connection: keep-alive\r\n"
      "Content-Length: 0\r\n"
      "\r\n";
  return head;
}

std::string BodyBytes(std::size_t size) {
  std::string body(size, '\0');
  for (std::size_t i = 0; i < size; ++i) body[i] = static_cast<char>('a' + i % 26);
  return body;
}

std::string ContentLengthMessage() {
  return "HTTP/1.1 200 OK\r\nContent-Type: application/octet-stream\r\nContent-Length: " +
         std::to_string(kBodySize) + "\r\n\r\n" + BodyBytes(kBodySize);
}

std::string ChunkedMessage() {
  std::string message =
      "HTTP/1.1 200 OK\r\nContent-Type: application/octet-stream\r\n"
      "Transfer-Encoding: chunked\r\n\r\n";
  const std::string body = BodyBytes(kBodySize);
  char size_line[32];
  for (std::size_t pos = 0; pos < body.size(); pos += kChunkSize) {
    std::size_t n = std::min(kChunkSize, body.size() - pos);
    std::snprintf(size_line, sizeof(size_line), "%zx\r\n", n);
    message += size_line;
    message.append(body, pos, n);
    message += "\r\n";
  }
  message += "0\r\n\r\n";
  return message;
}

void Feed(benchmark::State& state, const std::string& message) {
  const std::size_t piece = static_cast<std::size_t>(state.range(0));
  for (auto _ : state) {
    korvo::Response response;
    korvo::ResponseParser parser;
    parser.Init(&response, false);
    parser.SetIgnoreBody(false);
    for (std::size_t pos = 0; pos < message.size(); pos += piece) {
      if (!parser.Parse(message.data() + pos, std::min(piece, message.size() - pos))) {
        state.SkipWithError("parse failed");
        return;
      }
    }
    if (!parser.IsFinished() || response.GetData().size() != kBodySize) {
      state.SkipWithError("body incomplete");
      return;
    }
    benchmark::DoNotOptimize(response.GetData().data());
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * kBodySize));
}

void BM_Head(benchmark::State& state) {
  const std::string& head = TypicalHead();
  for (auto _ : state) {
    korvo::Response response;
    korvo::ResponseParser parser;
    parser.Init(&response, false);
    if (!parser.Parse(head.data(), head.size()) || !parser.IsFinished()) {
      state.SkipWithError("parse failed");
      return;
    }
    benchmark::DoNotOptimize(response.GetStatus());
  }
  state.SetItemsProcessed(state.iterations());
}

// A parser reused across responses, as a kept-alive connection does.
void BM_HeadReusedParser(benchmark::State& state) {
  const std::string& head = TypicalHead();
  korvo::ResponseParser parser;
  for (auto _ : state) {
    korvo::Response response;
    parser.Init(&response, false);
    if (!parser.Parse(head.data(), head.size()) || !parser.IsFinished()) {
      state.SkipWithError("parse failed");
      return;
    }
    benchmark::DoNotOptimize(response.GetStatus());
  }
  state.SetItemsProcessed(state.iterations());
}

// The inputs are built before any benchmark runs, so that every benchmark meets the
// same heap (the allocator's state otherwise depends on which benchmark ran first).
const std::string* content_length_message = nullptr;
const std::string* chunked_message = nullptr;
const std::string* body_bytes = nullptr;

void BM_ContentLengthBody(benchmark::State& state) { Feed(state, *content_length_message); }

void BM_ChunkedBody(benchmark::State& state) { Feed(state, *chunked_message); }

// The yardstick: the same pieces copied into a buffer of the body's size, allocated
// per round like the parser's body.
void BM_Memcpy(benchmark::State& state) {
  const std::string& source = *body_bytes;
  const std::size_t piece = static_cast<std::size_t>(state.range(0));
  for (auto _ : state) {
    std::string target;
    target.reserve(kBodySize);
    for (std::size_t pos = 0; pos < source.size(); pos += piece) {
      target.append(source.data() + pos, std::min(piece, source.size() - pos));
    }
    benchmark::DoNotOptimize(target.data());
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * kBodySize));
}

// The yardstick for bodies of unknown length (chunked): the same pieces appended to a
// string that grows as they come, as any container of unknown final size must.
void BM_MemcpyGrowing(benchmark::State& state) {
  const std::string& source = *body_bytes;
  const std::size_t piece = static_cast<std::size_t>(state.range(0));
  for (auto _ : state) {
    std::string target;
    for (std::size_t pos = 0; pos < source.size(); pos += piece) {
      target.append(source.data() + pos, std::min(piece, source.size() - pos));
    }
    benchmark::DoNotOptimize(target.data());
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * kBodySize));
}

}  // namespace

BENCHMARK(BM_Head);
BENCHMARK(BM_HeadReusedParser);
BENCHMARK(BM_ContentLengthBody)->Arg(1024)->Arg(64 * 1024);
BENCHMARK(BM_ChunkedBody)->Arg(1024)->Arg(64 * 1024);
BENCHMARK(BM_Memcpy)->Arg(1024)->Arg(64 * 1024);
BENCHMARK(BM_MemcpyGrowing)->Arg(1024)->Arg(64 * 1024);

int main(int argc, char** argv) {
  // A long-running client has long since freed a large block, after which glibc raises
  // its thresholds and keeps freed memory instead of handing it back to the kernel at
  // once. Without this, the benchmarks measure page faults of fresh memory rather than
  // the parser, and the figures depend on the order in which they run. (glibc adjusts
  // only for blocks of at most 32 MiB.)
  {
    std::string warm(std::size_t{16} << 20, 'w');
    benchmark::DoNotOptimize(warm.data());
  }
  const std::string content_length = ContentLengthMessage();
  const std::string chunked = ChunkedMessage();
  const std::string body = BodyBytes(kBodySize);
  content_length_message = &content_length;
  chunked_message = &chunked;
  body_bytes = &body;
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  return 0;
}
