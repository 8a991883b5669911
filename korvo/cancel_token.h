// CancelToken: a handle that ends the exchanges it was given to, from any thread.
//
// Put a token into SendOptions::cancel; Cancel() then ends that exchange (blocking or
// asynchronous) wherever it stands (waiting for a connection, connecting, sending,
// receiving, between redirects), and the exchange fails with an Error whose
// cancelled() is true. A token cancelled before its exchange starts ends it at once.
// Copies share one state: cancelling any copy cancels them all, and a token given to
// several exchanges ends all of them.
//
// Thread rules: every operation may be called from any thread at any time, including
// after the session the exchange ran on is gone.
#ifndef KORVO_CANCEL_TOKEN_H_
#define KORVO_CANCEL_TOKEN_H_

#include <memory>

namespace korvo {

namespace detail {
class CancelState;  // korvo/internal/cancel_state.h
}  // namespace detail

class CancelToken {
 public:
  CancelToken();

  // Ends every exchange holding this token, now and later. Returns at once.
  void Cancel();
  bool IsCancelled() const;

 private:
  friend struct CancelTokenAccess;
  std::shared_ptr<detail::CancelState> state_;
};

}  // namespace korvo

#endif  // KORVO_CANCEL_TOKEN_H_
