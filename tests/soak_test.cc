// Long runs through one session: thousands of sequential exchanges must leave the
// process as they found it (file descriptors, temporary files, memory), and sends
// cancelled from another thread at random moments must all return.
#include <atomic>
#include <condition_variable>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <mutex>
#include <random>
#include <string>
#include <thread>

#include <gtest/gtest.h>

#include "korvo/client_session.h"
#include "korvo/error.h"
#include "korvo/request_builder.h"
#include "korvo/internal/utility.h"
#include "support/hostile_server.h"
#include "support/temp_dir.h"

namespace korvo {
namespace {

using test::HostileConnection;
using test::HostileServer;

#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
// The sanitizers keep freed memory in quarantine on purpose; resident size says nothing.
constexpr bool kSanitized = true;
#else
constexpr bool kSanitized = false;
#endif

class SoakTest : public ::testing::Test {
 protected:
  // Streamed bodies land in a private TMPDIR, so that every file left behind is counted.
  static void SetUpTestSuite() { temp_dir_ = new test::PrivateTempDir(); }
  static void TearDownTestSuite() {
    delete temp_dir_;
    temp_dir_ = nullptr;
  }

  static test::PrivateTempDir* temp_dir_;
};
test::PrivateTempDir* SoakTest::temp_dir_ = nullptr;

// A response whose body comes in many small writes, so that a cancel can land in it.
bool Trickle(HostileConnection& connection, const std::string& request) {
  bool close = HostileServer::WantsClose(request);
  std::string head = "HTTP/1.1 200 OK\r\nContent-Length: 4096\r\n";
  if (close) head += "Connection: close\r\n";
  if (!connection.Send(head + "\r\n")) return false;
  std::string piece(256, 'x');
  for (int i = 0; i < 16; ++i) {
    if (!connection.Send(piece)) return false;
  }
  return !close;
}

TEST_F(SoakTest, TwentyThousandRequestsLeaveNoDescriptorFileOrMemoryBehind) {
  HostileServer server;
  const std::size_t fds_before = test::CountOpenFds();
  std::filesystem::path kept = temp_dir_->path().parent_path() /
                               ("korvo-soak-kept-" + RandomString(10));
  {
    ClientSession session;
    session.SetReadTimeout(30);
    // Counted after the first exchange that closed its connection: the loop's first
    // resolution opens the descriptors of the resolver's own thread once for good.
    std::size_t fds_with_session = 0;
    std::size_t rss_after_warm_up = 0;
    const char* requests = std::getenv("KORVO_SOAK_REQUESTS");  // for quick local runs
    const int kRequests = requests != nullptr ? std::atoi(requests) : 20000;
    for (int i = 0; i < kRequests; ++i) {
      // Alternate keep-alive and close; stream one in five, for both kinds.
      bool close = i % 2 == 1;
      bool stream = i % 5 == 2 || i % 5 == 3;
      RequestBuilder builder;
      builder.Method(i % 3 == 0 ? "POST" : "GET").Url(server.Url("/soak/" + std::to_string(i))).KeepAlive(!close);
      if (i % 3 == 0) builder.Body("payload " + std::to_string(i)).MediaType("text/plain");
      std::shared_ptr<Response> response;
      try {
        response = session.Send(builder(), stream);
      } catch (const Error& error) {
        FAIL() << "request " << i << ": " << error;
      }
      ASSERT_EQ(response->GetStatus(), 200) << "request " << i;
      if (stream) {
        std::shared_ptr<FileBody> body = response->GetFileBody();
        ASSERT_NE(body, nullptr) << "request " << i;
        std::string content;
        ASSERT_TRUE(ReadFile(body->GetPath(), content));
        EXPECT_EQ(content, "fine");
        // Now and then the caller keeps the file: moved away, it is no longer the body's.
        if (i % 100 == 2) {
          ASSERT_TRUE(body->Move(kept));
          std::filesystem::remove(kept);
        }
      } else {
        ASSERT_EQ(response->GetData(), "fine") << "request " << i;
      }
      if (i == 1) {
        ASSERT_TRUE(server.WaitForNoConnections());
        fds_with_session = test::CountOpenFds();
      }
      if (i == 1000) rss_after_warm_up = test::CurrentRss();
    }
    // The last response closed its connection, so the session holds nothing open.
    EXPECT_EQ(session.GetPoolSize(), 0u);
    ASSERT_TRUE(server.WaitForNoConnections()) << "the client keeps a connection open";
    EXPECT_EQ(test::CountOpenFds(), fds_with_session);
    if (!kSanitized && rss_after_warm_up > 0) {
      EXPECT_LT(test::CurrentRss(), rss_after_warm_up + (std::size_t{8} << 20));
    }
    EXPECT_EQ(server.Requests(), static_cast<std::size_t>(kRequests));
    // Every close costs one connection, every keep-alive is reused by the next request.
    EXPECT_EQ(server.Accepted(), static_cast<std::size_t>(kRequests / 2));
  }
  ASSERT_TRUE(server.WaitForNoConnections());
  EXPECT_EQ(test::CountOpenFds(), fds_before);
  EXPECT_EQ(temp_dir_->Files().size(), 0u);
}

TEST_F(SoakTest, AThousandSendsCancelledAtRandomMomentsAllReturn) {
  HostileServer server;
  const std::size_t fds_before = test::CountOpenFds();
  {
    ClientSession session;
    session.SetReadTimeout(30);
    // Not a script: a request cut short before it reached the server must not shift
    // the answers of the later ones.
    server.SetDefault(Trickle);

    const unsigned seed = std::random_device()();
    SCOPED_TRACE("seed " + std::to_string(seed));
    std::mt19937 random(seed);

    // The canceller waits for each send to be about to start, lets a random moment pass
    // and cancels; the moment may fall before, during or after the exchange.
    std::mutex mutex;
    std::condition_variable cv;
    int round = -1;         // set by the sender: round `round` is starting
    int cancelled = -1;     // set by the canceller: round `cancelled` was cancelled
    const int kRounds = 1000;
    std::vector<int> delays;
    for (int i = 0; i < kRounds; ++i) delays.push_back(std::uniform_int_distribution<int>(0, 3000)(random));
    std::thread canceller([&] {
      for (int i = 0; i < kRounds; ++i) {
        {
          std::unique_lock<std::mutex> lock(mutex);
          cv.wait(lock, [&] { return round >= i; });
        }
        std::this_thread::sleep_for(std::chrono::microseconds(delays[i]));
        session.Cancel();
        std::lock_guard<std::mutex> lock(mutex);
        cancelled = i;
        cv.notify_all();
      }
    });

    int completed = 0;
    int failed = 0;
    for (int i = 0; i < kRounds; ++i) {
      bool close = i % 3 == 1;
      bool stream = i % 4 == 3;
      auto request = RequestBuilder().Method("GET").Url(server.Url("/cancel")).KeepAlive(!close)();
      {
        std::lock_guard<std::mutex> lock(mutex);
        round = i;
        cv.notify_all();
      }
      try {
        auto response = session.Send(request, stream);
        // Not cut short: then it is complete.
        EXPECT_EQ(response->GetStatus(), 200);
        if (stream) {
          ASSERT_NE(response->GetFileBody(), nullptr);
          EXPECT_EQ(std::filesystem::file_size(response->GetFileBody()->GetPath()), 4096u);
        } else {
          EXPECT_EQ(response->GetData(), std::string(4096, 'x'));
        }
        ++completed;
      } catch (const Error& error) {
        // Cut short: the error of the step that was pending.
        switch (error.code()) {
          case kResolveError:
            EXPECT_EQ(error.message(), "Host resolve error");
            break;
          case kConnectError:
            EXPECT_EQ(error.message(), "Socket connect error");
            break;
          case kWriteError:
            EXPECT_EQ(error.message(), "Socket write error");
            break;
          case kReadError:
            EXPECT_EQ(error.message(), "Socket read error");
            break;
          default:
            ADD_FAILURE() << "round " << i << ": unexpected " << error;
        }
        EXPECT_FALSE(error.timeout()) << error;
        ++failed;
      }
      // One cancel per round: wait for it before the next send starts.
      std::unique_lock<std::mutex> lock(mutex);
      cv.wait(lock, [&] { return cancelled >= i; });
    }
    canceller.join();
    EXPECT_EQ(completed + failed, kRounds);
    RecordProperty("completed", completed);
    RecordProperty("cancelled", failed);

    // The session is as good as new.
    auto response = session.Send(RequestBuilder().Method("GET").Url(server.Url("/after"))());
    EXPECT_EQ(response->GetData(), std::string(4096, 'x'));
  }
  ASSERT_TRUE(server.WaitForNoConnections());
  EXPECT_EQ(test::CountOpenFds(), fds_before);
  EXPECT_EQ(temp_dir_->Files().size(), 0u);
}

}  // namespace
}  // namespace korvo
