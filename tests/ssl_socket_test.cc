// TLS sockets against scripted loopback TLS servers with run-time test certificates.
#include "korvo/internal/ssl_socket.h"

#include "korvo/internal/connection_pool.h"
#include "korvo/internal/tls_context.h"

#include <future>
#include <memory>
#include <string>
#include <vector>

#include <boost/asio/error.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/post.hpp>
#include <gtest/gtest.h>

#include "support/log_capture.h"
#include "support/scripted_server.h"
#include "support/test_tls.h"

namespace korvo {
namespace {

using boost::asio::ip::tcp;
using test::ScriptedConnection;
using test::ScriptedServer;
using test::TestCertificate;
using test::TestPki;

std::size_t CountStartingWith(const test::LogCapture& log, const std::string& level,
                              const std::string& prefix) {
  std::size_t count = 0;
  for (const std::string& record : log.Records()) {
    test::LogRecord parsed;
    if (test::ParseLogRecord(record, parsed) && parsed.level == level &&
        parsed.message.rfind(prefix, 0) == 0) {
      ++count;
    }
  }
  return count;
}

class SslSocketTest : public ::testing::Test {
 protected:
  template <typename Function>
  auto OnLoop(Function function) {
    return loop_.Run(std::move(function));
  }

  std::unique_ptr<ScriptedServer> StartServer(const TestCertificate& certificate,
                                              ScriptedServer::Behaviour behaviour = {}) {
    ScriptedServer::Options options;
    options.certificate = &certificate;
    return std::make_unique<ScriptedServer>(options, std::move(behaviour));
  }

  boost::system::error_code Connect(SslSocket& socket, const std::string& host,
                                    unsigned short port) {
    tcp::resolver resolver(loop_.context());
    auto endpoints = resolver.resolve("127.0.0.1", std::to_string(port));
    std::promise<boost::system::error_code> done;
    OnLoop([&] {
      socket.AsyncConnect(host, endpoints, [&](boost::system::error_code error, tcp::endpoint) {
        done.set_value(error);
      });
      return 0;
    });
    return done.get_future().get();
  }

  test::LogCapture log_;
  std::unique_ptr<boost::asio::ssl::context> context_ = test::MakeTestClientContext();
  test::LoopThread loop_;
};

TEST_F(SslSocketTest, HandshakeSendsServerNameAndCarriesBytes) {
  std::string received;
  auto server = StartServer(TestPki::Get().good(), [&](ScriptedConnection& connection) {
    connection.ReadHead(&received);
    connection.Send("pong");
    connection.WaitForClose();
  });
  SslSocket socket(loop_.context(), *context_);
  ASSERT_FALSE(Connect(socket, "localhost", server->port()));

  std::string head = "PING\r\n\r\n";
  detail::Payload payload{detail::ByteRange(head.data(), 3), detail::ByteRange(head.data() + 3, 5)};
  std::promise<boost::system::error_code> written;
  OnLoop([&] {
    socket.AsyncWrite(payload, [&](boost::system::error_code error, std::size_t) {
      written.set_value(error);
    });
    return 0;
  });
  EXPECT_FALSE(written.get_future().get());

  std::vector<char> buffer(64);
  std::promise<std::string> read;
  OnLoop([&] {
    socket.AsyncReadSome(
        [&](boost::system::error_code error, std::size_t length) {
          read.set_value(error ? error.message() : std::string(buffer.data(), length));
        },
        &buffer);
    return 0;
  });
  EXPECT_EQ(read.get_future().get(), "pong");
  EXPECT_EQ(received, head);
  EXPECT_EQ(server->ServerNames(), std::vector<std::string>{"localhost"});

  // The server neither answers close_notify nor closes: shutting down must not wait.
  EXPECT_TRUE(OnLoop([&] { return socket.Shutdown(); }));
  EXPECT_TRUE(OnLoop([&] { return socket.Close(); }));
  EXPECT_TRUE(server->WaitForFinished(1));
  EXPECT_TRUE(log_.Records().empty());
}

TEST_F(SslSocketTest, AddressLiteralIsVerifiedWithoutServerName) {
  auto server = StartServer(TestPki::Get().good());
  SslSocket socket(loop_.context(), *context_);
  ASSERT_FALSE(Connect(socket, "127.0.0.1", server->port()));
  ASSERT_TRUE(server->WaitForAccepted(1));
  // The handshake is complete on both sides once the server recorded it.
  OnLoop([&] { return socket.Close(); });
  EXPECT_TRUE(server->WaitForFinished(1));
  EXPECT_EQ(server->ServerNames(), std::vector<std::string>{""});
}

TEST_F(SslSocketTest, BadCertificatesFailTheHandshakeWithOneRecord) {
  struct Case {
    const char* name;
    const TestCertificate& certificate;
  };
  const TestPki& pki = TestPki::Get();
  for (const Case& c : {Case{"wrong host", pki.wrong_host()}, Case{"untrusted", pki.untrusted()},
                        Case{"expired", pki.expired()}, Case{"self-signed", pki.self_signed()}}) {
    SCOPED_TRACE(c.name);
    test::LogCapture log;
    auto server = StartServer(c.certificate);
    SslSocket socket(loop_.context(), *context_);
    boost::system::error_code error = Connect(socket, "localhost", server->port());
    EXPECT_TRUE(error);
    EXPECT_EQ(CountStartingWith(log, "ERRO", "Handshake error ("), 1u);
    EXPECT_EQ(log.Records().size(), 1u);
    OnLoop([&] { return socket.Close(); });
    EXPECT_TRUE(server->WaitForFinished(1));
    EXPECT_EQ(server->FailedHandshakes(), 1u);
  }
}

TEST_F(SslSocketTest, HostNamesAreCheckedAsBrowsersDo) {
  struct Case {
    const char* name;
    const char* host;
    const TestCertificate& certificate;
    const char* server_name;  // null: the handshake is refused
  };
  const TestPki& pki = TestPki::Get();
  for (const Case& c : {
           Case{"trailing dot", "localhost.", pki.good(), "localhost"},
           Case{"two trailing dots", "localhost..", pki.good(), nullptr},
           // OpenSSL reads an empty name as "check none".
           Case{"only a dot", ".", pki.good(), nullptr},
           Case{"common name only", "localhost", pki.common_name_only(), nullptr},
           Case{"partial wildcard", "www.example.org", pki.partial_wildcard(), nullptr},
           Case{"full wildcard", "www.example.org", pki.wildcard(), "www.example.org"},
       }) {
    SCOPED_TRACE(c.name);
    test::LogCapture log;
    auto server = StartServer(c.certificate);
    SslSocket socket(loop_.context(), *context_);
    boost::system::error_code error = Connect(socket, c.host, server->port());
    EXPECT_EQ(!error, c.server_name != nullptr) << error.message();
    OnLoop([&] { return socket.Close(); });
    ASSERT_TRUE(server->WaitForFinished(1));
    if (c.server_name != nullptr) {
      EXPECT_EQ(server->ServerNames(), std::vector<std::string>{c.server_name});
    } else {
      EXPECT_EQ(server->FailedHandshakes(), 1u);
      EXPECT_EQ(CountStartingWith(log, "ERRO", "Handshake error ("), 1u);
    }
  }
}

TEST_F(SslSocketTest, SystemRootsDoNotTrustASelfSignedServer) {
  boost::asio::ssl::context system(boost::asio::ssl::context::tls_client);
  ASSERT_TRUE(AddSystemRootCertificates(system.native_handle()));
  auto server = StartServer(TestPki::Get().self_signed());
  SslSocket socket(loop_.context(), system);
  boost::system::error_code error = Connect(socket, "localhost", server->port());
  EXPECT_TRUE(error);
  EXPECT_EQ(CountStartingWith(log_, "ERRO", "Handshake error ("), 1u);
  OnLoop([&] { return socket.Close(); });
  EXPECT_TRUE(server->WaitForFinished(1));
}

TEST_F(SslSocketTest, ServerNameThatCannotBeSentIsLoggedAndConnectGoesOn) {
  auto server = StartServer(TestPki::Get().good());
  SslSocket socket(loop_.context(), *context_);
  std::string too_long(300, 'a');  // a server name has at most 255 bytes
  EXPECT_TRUE(Connect(socket, too_long, server->port()));  // it does not name the host
  EXPECT_EQ(log_.Count("ERRO", "Failed to set SNI host name for SSL"), 1u);
  EXPECT_EQ(CountStartingWith(log_, "ERRO", "Handshake error ("), 1u);
  EXPECT_EQ(server->Accepted(), 1u);
  OnLoop([&] { return socket.Close(); });
}

TEST_F(SslSocketTest, RefusedConnectSkipsHandshakeAndRecord) {
  unsigned short port;
  {
    ScriptedServer gone;
    port = gone.port();
  }
  SslSocket socket(loop_.context(), *context_);
  EXPECT_EQ(Connect(socket, "localhost", port), boost::asio::error::connection_refused);
  EXPECT_TRUE(log_.Records().empty());
}

TEST_F(SslSocketTest, ShutdownAfterPeerClosedCountsAsSuccess) {
  auto server = StartServer(TestPki::Get().good(), [](ScriptedConnection& connection) {
    connection.Close();  // close_notify and FIN before the client says anything
  });
  SslSocket socket(loop_.context(), *context_);
  ASSERT_FALSE(Connect(socket, "localhost", server->port()));
  ASSERT_TRUE(server->WaitForFinished(1));
  // Wait for the peer's closing bytes to arrive: the idle check sees them.
  std::vector<char> buffer(16);
  std::promise<boost::system::error_code> read;
  OnLoop([&] {
    socket.AsyncReadSome([&](boost::system::error_code error, std::size_t) { read.set_value(error); },
                         &buffer);
    return 0;
  });
  EXPECT_EQ(read.get_future().get(), boost::asio::error::eof);
  OnLoop([&] { return socket.Shutdown(); });
  EXPECT_EQ(CountStartingWith(log_, "WARN", "SSL shutdown error"), 0u);
  EXPECT_TRUE(OnLoop([&] { return socket.Close(); }));
}

TEST_F(SslSocketTest, IdleConnectionClosedByPeerIsNotAlive) {
  std::promise<void> release;
  auto released = release.get_future().share();
  auto server = StartServer(TestPki::Get().good(), [released](ScriptedConnection& connection) {
    connection.ReadHead();
    connection.Send("pong");
    released.wait();
    connection.Close();
  });
  SslSocket socket(loop_.context(), *context_);
  ASSERT_FALSE(Connect(socket, "localhost", server->port()));
  // One exchange, so that what the server sends after its handshake (TLS 1.3 session
  // tickets) has been read, as it is after any response.
  std::string head = "PING\r\n\r\n";
  std::vector<char> buffer(64);
  std::promise<std::string> answer;
  OnLoop([&] {
    socket.AsyncWrite(detail::Payload{detail::ByteRange(head.data(), head.size())},
                      [&](boost::system::error_code, std::size_t) {
                        socket.AsyncReadSome(
                            [&](boost::system::error_code error, std::size_t length) {
                              answer.set_value(error ? error.message()
                                                     : std::string(buffer.data(), length));
                            },
                            &buffer);
                      });
    return 0;
  });
  ASSERT_EQ(answer.get_future().get(), "pong");
  EXPECT_TRUE(OnLoop([&] { return socket.IsAlive(); }));
  release.set_value();
  ASSERT_TRUE(server->WaitForFinished(1));
  // Loopback has delivered the closing bytes before the server's thread finished.
  EXPECT_FALSE(OnLoop([&] { return socket.IsAlive(); }));
  OnLoop([&] { return socket.Close(); });
}

}  // namespace
}  // namespace korvo
