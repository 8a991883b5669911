// The getaddrinfo of the test executables; fake_dns.h says what it answers.
//
// This file is linked into every test executable as an object file of its own (see
// tests/CMakeLists.txt): from a static archive the linker would take it only if
// something referred to FakeDns, and a test that does not would go to the C library.
#include "support/fake_dns.h"

#include <dlfcn.h>
#include <netdb.h>
#include <sys/socket.h>

#include <cerrno>
#include <condition_variable>
#include <cstdint>
#include <cstdlib>
#include <map>
#include <mutex>
#include <optional>

namespace korvo {
namespace test {
namespace {

using GetAddrInfoFunction = int (*)(const char*, const char*, const addrinfo*, addrinfo**);

// The definition this file hides: the C library's, or a sanitizer runtime's that calls
// it in turn.
GetAddrInfoFunction NextGetAddrInfo() {
  static const auto next =
      reinterpret_cast<GetAddrInfoFunction>(dlsym(RTLD_NEXT, "getaddrinfo"));
  return next;
}

struct State {
  std::mutex mutex;
  std::condition_variable changed;
  std::map<std::string, std::vector<std::string>> addresses;  // by normalised name
  // Blocked names, each with the number of its block: a waiting lookup goes on once
  // its block has gone, even if the name has been blocked again since.
  std::map<std::string, std::uint64_t> blocks;
  std::uint64_t last_block = 0;
  std::vector<std::string> lookups;
  bool exiting = false;
};

State& GetState() {
  // Never destroyed: a lookup may still be waiting on it, on a thread nobody joins,
  // while the process exits.
  static State* const state = new State;
  return *state;
}

std::string Normalise(const std::string& name) {
  std::string normal = name;
  for (char& c : normal) {
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  }
  if (!normal.empty() && normal.back() == '.') normal.pop_back();
  return normal;
}

void ReleaseForExit() {
  State& state = GetState();
  std::lock_guard<std::mutex> lock(state.mutex);
  state.exiting = true;
  state.blocks.clear();
  state.changed.notify_all();
}

// Exit handlers and static destructors run in the reverse order of their registration,
// so each blocked lookup registers ReleaseForExit again, to run before the destructor
// of anything made earlier that might join its thread. This object covers the rest:
// lookups that begin during exit.
struct ExitRelease {
  ~ExitRelease() { ReleaseForExit(); }
} exit_release;

// `host` (a literal, or null) parsed as the C library would, without a lookup.
int Parse(const char* host, const char* service, const addrinfo* hints, addrinfo** result) {
  addrinfo numeric{};
  if (hints != nullptr) {
    numeric = *hints;
  } else {
    // What the C library assumes when given no hints.
    numeric.ai_family = AF_UNSPEC;
    numeric.ai_flags = AI_V4MAPPED | AI_ADDRCONFIG;
  }
  numeric.ai_flags |= AI_NUMERICHOST;
  return NextGetAddrInfo()(host, service, &numeric, result);
}

// Every one of `addresses` parsed, the lists chained in order: each entry is allocated
// on its own, so freeaddrinfo frees the chain as one list. Addresses that the hints
// rule out are left out; if all are, the first one's error is the answer.
int ParseAll(const std::vector<std::string>& addresses, const char* service,
             const addrinfo* hints, addrinfo** result) {
  addrinfo* head = nullptr;
  addrinfo** tail = &head;
  int first_error = 0;
  for (const std::string& address : addresses) {
    addrinfo* list = nullptr;
    int status = Parse(address.c_str(), service, hints, &list);
    if (status != 0) {
      if (first_error == 0) first_error = status;
      continue;
    }
    *tail = list;
    while (*tail != nullptr) tail = &(*tail)->ai_next;
  }
  if (head == nullptr) return first_error != 0 ? first_error : EAI_NONAME;
  *result = head;
  return 0;
}

bool IsLiteral(const char* host) {
  addrinfo hints{};
  hints.ai_flags = AI_NUMERICHOST;
  addrinfo* list = nullptr;
  if (NextGetAddrInfo()(host, nullptr, &hints, &list) != 0) return false;
  freeaddrinfo(list);
  return true;
}

// The C library's answer for no host and no AI_PASSIVE: the loopback addresses of the
// families the hints allow, ::1 first. (No canonical name: that needs a host.)
int Loopback(const char* service, const addrinfo* hints, addrinfo** result) {
  // Without a host, a service is required; port 0 is what no service means.
  if (service == nullptr) service = "0";
  if (hints == nullptr) return NextGetAddrInfo()(nullptr, service, nullptr, result);
  addrinfo loopback = *hints;
  loopback.ai_flags &= ~(AI_PASSIVE | AI_CANONNAME);
  return NextGetAddrInfo()(nullptr, service, &loopback, result);
}

int Lookup(const char* host, const char* service, const addrinfo* hints, addrinfo** result) {
  if (NextGetAddrInfo() == nullptr) {
    errno = ENOSYS;
    return EAI_SYSTEM;
  }
  // A caller that allows only literals gets the C library's verdict on them.
  bool literals_only = hints != nullptr && (hints->ai_flags & AI_NUMERICHOST) != 0;
  if (host == nullptr || literals_only || IsLiteral(host)) {
    return Parse(host, service, hints, result);
  }

  std::string name = Normalise(host);
  std::optional<std::vector<std::string>> addresses;
  State& state = GetState();
  {
    std::unique_lock<std::mutex> lock(state.mutex);
    if (state.blocks.count(name) != 0) {
      // Before the lookup shows: a test that has seen it may exit at once.
      lock.unlock();
      std::atexit(ReleaseForExit);  // fails only once exit is done with its handlers
      lock.lock();
    }
    state.lookups.emplace_back(host);
    state.changed.notify_all();
    auto block = state.blocks.find(name);
    if (block != state.blocks.end()) {
      std::uint64_t number = block->second;
      state.changed.wait(lock, [&] {
        auto now = state.blocks.find(name);
        return now == state.blocks.end() || now->second != number;
      });
    }
    auto mapped = state.addresses.find(name);
    if (mapped != state.addresses.end()) addresses = mapped->second;
  }
  if (addresses) return ParseAll(*addresses, service, hints, result);
  if (name == "localhost") return Loopback(service, hints, result);
  return EAI_NONAME;
}

}  // namespace

void FakeDns::Map(const std::string& name, const std::string& address) {
  Map(name, std::vector<std::string>{address});
}

void FakeDns::Map(const std::string& name, const std::vector<std::string>& addresses) {
  State& state = GetState();
  std::lock_guard<std::mutex> lock(state.mutex);
  state.addresses[Normalise(name)] = addresses;
}

void FakeDns::Block(const std::string& name) {
  State& state = GetState();
  std::lock_guard<std::mutex> lock(state.mutex);
  if (state.exiting) return;
  // Blocking a blocked name again keeps its block, and so its waiting lookups.
  state.blocks.emplace(Normalise(name), ++state.last_block);
}

void FakeDns::Release(const std::string& name) {
  State& state = GetState();
  std::lock_guard<std::mutex> lock(state.mutex);
  state.blocks.erase(Normalise(name));
  state.changed.notify_all();
}

void FakeDns::ReleaseAll() {
  State& state = GetState();
  std::lock_guard<std::mutex> lock(state.mutex);
  state.blocks.clear();
  state.changed.notify_all();
}

bool FakeDns::WaitForLookup(const std::string& name, std::size_t count) {
  std::string normal = Normalise(name);
  State& state = GetState();
  std::unique_lock<std::mutex> lock(state.mutex);
  return state.changed.wait_for(lock, kWaitBound, [&] {
    std::size_t seen = 0;
    for (const std::string& lookup : state.lookups) {
      if (Normalise(lookup) == normal) ++seen;
    }
    return seen >= count;
  });
}

std::vector<std::string> FakeDns::Lookups() {
  State& state = GetState();
  std::lock_guard<std::mutex> lock(state.mutex);
  return state.lookups;
}

void FakeDns::Reset() {
  State& state = GetState();
  std::lock_guard<std::mutex> lock(state.mutex);
  state.addresses.clear();
  state.blocks.clear();
  state.lookups.clear();
  state.changed.notify_all();
}

}  // namespace test
}  // namespace korvo

// Defined in the executable, this comes before the C library's definition for every
// caller in the process. It is C: nothing may be thrown through it.
extern "C" int getaddrinfo(const char* host, const char* service, const addrinfo* hints,
                           addrinfo** result) {
  try {
    return korvo::test::Lookup(host, service, hints, result);
  } catch (...) {  // std::bad_alloc: nothing else here throws
    return EAI_MEMORY;
  }
}
