// Plain TCP sockets against scripted loopback servers.
#include "korvo/internal/socket.h"

#include <chrono>
#include <future>
#include <memory>
#include <string>
#include <vector>

#include <boost/asio/error.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/post.hpp>
#include <gtest/gtest.h>

#include "support/hostile_server.h"
#include "support/log_capture.h"
#include "support/scripted_server.h"

namespace korvo {
namespace {

using boost::asio::ip::tcp;
using test::FullBacklogListener;
using test::ScriptedConnection;
using test::ScriptedServer;

class SocketTest : public ::testing::Test {
 protected:
  // Runs `function` on the loop thread and waits for it.
  template <typename Function>
  auto OnLoop(Function function) {
    return loop_.Run(std::move(function));
  }

  tcp::resolver::results_type Resolve(unsigned short port) {
    tcp::resolver resolver(loop_.context());
    return resolver.resolve("127.0.0.1", std::to_string(port));
  }

  boost::system::error_code Connect(Socket& socket, unsigned short port) {
    auto endpoints = Resolve(port);
    std::promise<boost::system::error_code> done;
    OnLoop([&] {
      socket.AsyncConnect("127.0.0.1", endpoints,
                          [&](boost::system::error_code error, tcp::endpoint) {
                            done.set_value(error);
                          });
      return 0;
    });
    return done.get_future().get();
  }

  test::LogCapture log_;
  test::LoopThread loop_;
};

TEST_F(SocketTest, ShutdownOfNeverOpenedSocketFailsWithWarning) {
  Socket socket(loop_.context());
  EXPECT_FALSE(socket.Shutdown());
  boost::system::error_code bad = boost::asio::error::bad_descriptor;
  EXPECT_EQ(log_.Count("WARN", "Socket shutdown error (" + bad.message() + ")"), 1u);
  // Closing a socket that is not open is no failure.
  EXPECT_TRUE(socket.Close());
}

TEST_F(SocketTest, RefusedConnectReachesHandlerWithoutRecord) {
  unsigned short port;
  {
    ScriptedServer gone;  // a port that was just free and is closed again
    port = gone.port();
  }
  Socket socket(loop_.context());
  EXPECT_EQ(Connect(socket, port), boost::asio::error::connection_refused);
  EXPECT_TRUE(log_.Records().empty());
}

TEST_F(SocketTest, WritesWholeGatherPayloadAndReadsInBufferSizedPieces) {
  std::string received;
  std::string body(3000, 'b');
  for (std::size_t i = 0; i < body.size(); ++i) body[i] = static_cast<char>('a' + i % 26);
  ScriptedServer server([&](ScriptedConnection& connection) {
    connection.ReadHead(&received);
    connection.Send(body);
    connection.Close();
  });
  Socket socket(loop_.context());
  ASSERT_FALSE(Connect(socket, server.port()));

  std::string head = "GET / HTTP/1.1\r\nHost: x\r\n\r\n";
  detail::Payload payload;
  for (std::size_t i = 0; i < head.size(); i += 5) {
    payload.emplace_back(head.data() + i, std::min<std::size_t>(5, head.size() - i));
  }
  std::promise<std::pair<boost::system::error_code, std::size_t>> written;
  OnLoop([&] {
    socket.AsyncWrite(payload, [&](boost::system::error_code error, std::size_t length) {
      written.set_value({error, length});
    });
    return 0;
  });
  auto [write_error, write_length] = written.get_future().get();
  EXPECT_FALSE(write_error);
  EXPECT_EQ(write_length, head.size());

  std::vector<char> buffer(1024);
  std::string collected;
  std::vector<std::size_t> pieces;
  std::promise<boost::system::error_code> finished;
  std::function<void()> read_next = [&] {
    socket.AsyncReadSome(
        [&](boost::system::error_code error, std::size_t length) {
          if (error) {
            finished.set_value(error);
            return;
          }
          pieces.push_back(length);
          collected.append(buffer.data(), length);
          read_next();
        },
        &buffer);
  };
  OnLoop([&] {
    read_next();
    return 0;
  });
  EXPECT_EQ(finished.get_future().get(), boost::asio::error::eof);
  EXPECT_EQ(received, head);
  EXPECT_EQ(collected, body);
  ASSERT_GE(pieces.size(), 3u);
  for (std::size_t piece : pieces) EXPECT_LE(piece, 1024u);

  EXPECT_TRUE(OnLoop([&] { return socket.Close(); }));
}

TEST_F(SocketTest, ImmediateReadsAndWritesNeverWait) {
  std::string received;
  ScriptedServer server([&](ScriptedConnection& connection) {
    connection.ReadHead(&received);
    connection.Send("pong");
    connection.Close();
  });
  Socket socket(loop_.context());
  std::vector<char> buffer(1024);
  boost::system::error_code error;
  // Not connected yet: nothing can move, and nothing blocks.
  EXPECT_EQ(OnLoop([&] { return socket.ReadSomeNow(&buffer, error); }), 0u);
  EXPECT_EQ(error, boost::asio::error::would_block);
  ASSERT_FALSE(Connect(socket, server.port()));

  // Nothing has arrived: the read returns instead of waiting for the server.
  EXPECT_EQ(OnLoop([&] { return socket.ReadSomeNow(&buffer, error); }), 0u);
  EXPECT_EQ(error, boost::asio::error::would_block);

  std::string head = "GET / HTTP/1.1\r\nHost: x\r\n\r\n";
  detail::Payload payload{detail::ByteRange(head.data(), 16),
                  detail::ByteRange(head.data() + 16, head.size() - 16)};
  EXPECT_EQ(OnLoop([&] { return socket.WriteSomeNow(payload, error); }), head.size());
  EXPECT_FALSE(error);
  ASSERT_TRUE(server.WaitForFinished(1));
  EXPECT_EQ(received, head);

  // The answer and the end of the stream were both sent before the server finished.
  std::string collected;
  for (;;) {
    std::size_t read = OnLoop([&] { return socket.ReadSomeNow(&buffer, error); });
    if (error) break;
    collected.append(buffer.data(), read);
  }
  EXPECT_EQ(error, boost::asio::error::eof);
  EXPECT_EQ(collected, "pong");
}

TEST_F(SocketTest, CloseAbortsPendingRead) {
  ScriptedServer server([](ScriptedConnection& connection) { connection.WaitForClose(); });
  Socket socket(loop_.context());
  ASSERT_FALSE(Connect(socket, server.port()));
  ASSERT_TRUE(server.WaitForAccepted(1));

  std::vector<char> buffer(16);
  std::promise<boost::system::error_code> done;
  OnLoop([&] {
    socket.AsyncReadSome([&](boost::system::error_code error, std::size_t) { done.set_value(error); },
                         &buffer);
    EXPECT_TRUE(socket.Shutdown());
    return socket.Close();
  });
  EXPECT_EQ(done.get_future().get(), boost::asio::error::operation_aborted);
  EXPECT_TRUE(server.WaitForFinished(1));
}

// The driver ends a connect by closing the socket (and may destroy it): every attempt
// ends with it, and the handler runs once, aborted.
TEST_F(SocketTest, CloseOrDestructionEndsRacedAttemptsWithOneAbortedCompletion) {
  for (bool destroy : {false, true}) {
    SCOPED_TRACE(destroy ? "destroyed" : "closed");
    FullBacklogListener first("127.0.0.1");
    FullBacklogListener second("127.0.0.2");
    std::vector<tcp::endpoint> list = {
        tcp::endpoint(boost::asio::ip::make_address("127.0.0.1"), first.port()),
        tcp::endpoint(boost::asio::ip::make_address("127.0.0.2"), second.port())};
    auto endpoints = tcp::resolver::results_type::create(list.begin(), list.end(), "host", "");
    auto socket = std::make_unique<Socket>(loop_.context());
    const std::size_t fds_before = test::CountOpenFds();
    auto calls = std::make_shared<int>(0);
    auto done = std::make_shared<std::promise<boost::system::error_code>>();
    OnLoop([&] {
      socket->AsyncConnect("host", endpoints,
                           [calls, done](boost::system::error_code error, tcp::endpoint) {
                             if (++*calls == 1) done->set_value(error);
                           });
      if (destroy) {
        socket.reset();
      } else {
        EXPECT_TRUE(socket->Close());
      }
      // Never inside the close: the driver is in the middle of it.
      EXPECT_EQ(*calls, 0);
      return 0;
    });
    // The bound only keeps a socket that ignores the close from hanging the test.
    auto completion = done->get_future();
    ASSERT_EQ(completion.wait_for(std::chrono::seconds(60)), std::future_status::ready);
    EXPECT_EQ(completion.get(), boost::asio::error::operation_aborted);
    EXPECT_EQ(OnLoop([&] { return *calls; }), 1);
    EXPECT_EQ(test::CountOpenFds(), fds_before);
    OnLoop([&] {
      socket.reset();
      return 0;
    });
  }
}

}  // namespace
}  // namespace korvo
