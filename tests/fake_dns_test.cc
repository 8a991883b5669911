// The test executables' name service, through the getaddrinfo everybody calls: what is
// answered here, what fails at once, and blocked names that wait for their release.
#include "support/fake_dns.h"

#include <netdb.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <future>
#include <string>
#include <thread>
#include <vector>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

namespace korvo {
namespace test {
namespace {

using ::testing::ElementsAre;

struct Answer {
  int status = 0;
  std::vector<std::string> addresses;  // "address port", in the order given
};

Answer Resolve(const char* host, int family = AF_UNSPEC) {
  addrinfo hints{};
  hints.ai_family = family;
  hints.ai_socktype = SOCK_STREAM;
  addrinfo* list = nullptr;
  Answer answer;
  answer.status = ::getaddrinfo(host, "80", &hints, &list);
  for (addrinfo* entry = list; entry != nullptr; entry = entry->ai_next) {
    char address[NI_MAXHOST] = "";
    char port[NI_MAXSERV] = "";
    getnameinfo(entry->ai_addr, entry->ai_addrlen, address, sizeof(address), port, sizeof(port),
                NI_NUMERICHOST | NI_NUMERICSERV);
    answer.addresses.push_back(std::string(address) + " " + port);
  }
  // The results must be the C library's own: its freeaddrinfo frees them.
  if (list != nullptr) ::freeaddrinfo(list);
  return answer;
}

class FakeDnsTest : public ::testing::Test {
 protected:
  void SetUp() override { FakeDns::Reset(); }
  void TearDown() override { FakeDns::Reset(); }
};

TEST_F(FakeDnsTest, NamesNobodyMappedFailWithoutALookup) {
  // example.org resolves wherever a name server answers: only a forwarded lookup of it
  // could succeed.
  const std::vector<std::string> names = {"no-such-host.invalid", "example.org", "EXAMPLE.ORG.",
                                          "localhost.invalid", "api.test"};
  for (const std::string& name : names) {
    EXPECT_EQ(Resolve(name.c_str()).status, EAI_NONAME) << name;
  }
  EXPECT_EQ(FakeDns::Lookups(), names);
}

TEST_F(FakeDnsTest, LiteralsLocalhostAndMappedNamesAnswerHere) {
  FakeDns::Map("api.test", "127.0.0.2");
  FakeDns::Map("six.test", "::1");
  struct Case {
    const char* host;
    int family;
    std::vector<std::string> addresses;
  };
  const Case cases[] = {
      {"127.0.0.1", AF_UNSPEC, {"127.0.0.1 80"}},
      {"::1", AF_UNSPEC, {"::1 80"}},
      {nullptr, AF_INET, {"127.0.0.1 80"}},
      {"localhost", AF_UNSPEC, {"::1 80", "127.0.0.1 80"}},
      {"LocalHost.", AF_INET, {"127.0.0.1 80"}},
      {"localhost", AF_INET6, {"::1 80"}},
      {"API.test.", AF_UNSPEC, {"127.0.0.2 80"}},
      {"six.test", AF_UNSPEC, {"::1 80"}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.host != nullptr ? c.host : "(no host)");
    Answer answer = Resolve(c.host, c.family);
    EXPECT_EQ(answer.status, 0) << gai_strerror(answer.status);
    EXPECT_EQ(answer.addresses, c.addresses);
  }
  EXPECT_THAT(FakeDns::Lookups(),
              ElementsAre("localhost", "LocalHost.", "localhost", "API.test.", "six.test"));
}

TEST_F(FakeDnsTest, BlockedNamesWaitForTheirRelease) {
  FakeDns::Map("slow.test", "127.0.0.3");
  FakeDns::Block("slow.test");
  FakeDns::Block("gone.test");
  auto slow = std::async(std::launch::async, [] { return Resolve("slow.test"); });
  auto gone = std::async(std::launch::async, [] { return Resolve("gone.test"); });
  // Destroyed before the futures, whose destructors wait for the lookups.
  struct ReleaseAtEnd {
    ~ReleaseAtEnd() { FakeDns::ReleaseAll(); }
  } release_at_end;
  ASSERT_TRUE(FakeDns::WaitForLookup("slow.test"));
  ASSERT_TRUE(FakeDns::WaitForLookup("GONE.test."));

  EXPECT_EQ(Resolve("localhost", AF_INET).status, 0);  // others are not held up
  EXPECT_EQ(slow.wait_for(std::chrono::seconds(0)), std::future_status::timeout);
  FakeDns::Release("slow.test");
  Answer answer = slow.get();
  EXPECT_EQ(answer.status, 0);
  EXPECT_THAT(answer.addresses, ElementsAre("127.0.0.3 80"));

  EXPECT_EQ(gone.wait_for(std::chrono::seconds(0)), std::future_status::timeout);
  FakeDns::ReleaseAll();
  EXPECT_EQ(gone.get().status, EAI_NONAME);
  EXPECT_EQ(Resolve("slow.test").status, 0);  // released names no longer wait
}

// A thread blocked in a lookup and joined by a static destructor, as a loop thread
// owned by a static would be: exit must release it before that destructor runs.
struct JoinAtExit {
  ~JoinAtExit() {
    if (thread.joinable()) thread.join();
  }
  std::thread thread;
};

TEST(FakeDnsDeathTest, ExitReleasesBlockedLookups) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_EXIT(
      {
        // A broken release would hang the child: end it instead.
        alarm(static_cast<unsigned>(FakeDns::kWaitBound.count()));
        static JoinAtExit lookup;
        FakeDns::Block("stuck.test");
        lookup.thread = std::thread([] { Resolve("stuck.test"); });
        if (!FakeDns::WaitForLookup("stuck.test")) std::_Exit(2);
        std::exit(0);
      },
      ::testing::ExitedWithCode(0), "");
}

}  // namespace
}  // namespace test
}  // namespace korvo
