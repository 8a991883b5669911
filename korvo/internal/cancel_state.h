// The shared state behind CancelToken: the cancelled flag and the exchanges to tell.
//
// A session registers a handler per exchange while it runs and removes it when the
// exchange ends. Handlers run under the state's lock, so that once Remove has returned
// no handler of that exchange is running or will run: a session may go away right
// after. Handlers must therefore be short and must not touch the token.
//
// Thread rules: fully synchronised.
#ifndef KORVO_INTERNAL_CANCEL_STATE_H_
#define KORVO_INTERNAL_CANCEL_STATE_H_

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>

#include "korvo/cancel_token.h"

namespace korvo {
namespace detail {

class CancelState {
 public:
  // Runs `handler` at once (and returns 0) when the token is cancelled already;
  // otherwise keeps it for Cancel and returns its number for Remove.
  std::uint64_t Add(std::function<void()> handler);
  void Remove(std::uint64_t id);
  void Cancel();
  bool IsCancelled() const;

 private:
  mutable std::mutex mutex_;
  bool cancelled_ = false;
  std::uint64_t next_id_ = 1;
  std::map<std::uint64_t, std::function<void()>> handlers_;
};

}  // namespace detail

struct CancelTokenAccess {
  static const std::shared_ptr<detail::CancelState>& Get(const CancelToken& token) {
    return token.state_;
  }
};

}  // namespace korvo

#endif  // KORVO_INTERNAL_CANCEL_STATE_H_
