// FakeDns: the name service of every test executable, so that no test ever sends a
// query to a name server, and tests can make a lookup fail or take as long as they like.
//
// Each test executable defines getaddrinfo itself (fake_dns.cc); a definition in the
// executable comes before the C library's and before a sanitizer runtime's, so korvo,
// Boost.Asio and the tests all end up here, whichever thread they call from:
//   - an address literal, or no host at all (or any host, when the caller allows only
//     literals), goes to the C library's getaddrinfo with AI_NUMERICHOST, which parses
//     it without looking anything up;
//   - a name mapped with Map answers its addresses, in the order given (through the
//     same numeric parse, so results are the C library's own and freeaddrinfo frees
//     them), as far as the caller's hints allow;
//   - "localhost" answers the loopback addresses, ::1 and 127.0.0.1, as far as the
//     caller's hints allow (in that order, as the C library lists them);
//   - any other name, ".invalid" ones included, fails at once with EAI_NONAME.
// A name that a test has blocked first keeps the looking-up thread waiting until the
// test releases it, the way a slow name server would; then it is answered as above.
// Names compare without regard to ASCII case and to a trailing dot.
//
// Thread rules: every member, and getaddrinfo, may be called from any thread at any
// time, before main and during exit included: the state is never destroyed, and at exit
// every blocked lookup is released (and no later one waits), so that nothing joining a
// looking-up thread hangs the process.
#ifndef KORVO_TESTS_SUPPORT_FAKE_DNS_H_
#define KORVO_TESTS_SUPPORT_FAKE_DNS_H_

#include <chrono>
#include <cstddef>
#include <string>
#include <vector>

namespace korvo {
namespace test {

class FakeDns {
 public:
  // How long WaitForLookup waits: a bound for a broken test, not a pace.
  static constexpr std::chrono::seconds kWaitBound{30};

  // From now on `name` answers `address` (an IPv4 or IPv6 literal), instead of an
  // earlier mapping.
  static void Map(const std::string& name, const std::string& address);
  // The same with several addresses, answered in this order (as a name server's list
  // of AAAA and A records would be, after sorting).
  static void Map(const std::string& name, const std::vector<std::string>& addresses);

  // Lookups of `name` that start from now on wait until it is released.
  static void Block(const std::string& name);
  // Lets the waiting lookups of `name` go on, and later ones not wait.
  static void Release(const std::string& name);
  static void ReleaseAll();

  // Waits until `count` lookups of `name` in all have started (a blocked lookup counts
  // as soon as it waits); false if that has not happened within kWaitBound.
  static bool WaitForLookup(const std::string& name, std::size_t count = 1);

  // Every name looked up so far, as it was asked, in order; literals are not names.
  static std::vector<std::string> Lookups();

  // Forgets the mappings and the lookups, and releases every blocked name.
  static void Reset();
};

}  // namespace test
}  // namespace korvo

#endif  // KORVO_TESTS_SUPPORT_FAKE_DNS_H_
