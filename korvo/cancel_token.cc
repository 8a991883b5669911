#include "korvo/cancel_token.h"

#include <utility>

#include "korvo/internal/cancel_state.h"

namespace korvo {

std::uint64_t detail::CancelState::Add(std::function<void()> handler) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (cancelled_) {
    handler();
    return 0;
  }
  std::uint64_t id = next_id_++;
  handlers_.emplace(id, std::move(handler));
  return id;
}

void detail::CancelState::Remove(std::uint64_t id) {
  std::lock_guard<std::mutex> lock(mutex_);
  handlers_.erase(id);
}

void detail::CancelState::Cancel() {
  std::lock_guard<std::mutex> lock(mutex_);
  if (cancelled_) return;
  cancelled_ = true;
  for (auto& entry : handlers_) entry.second();
  handlers_.clear();
}

bool detail::CancelState::IsCancelled() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return cancelled_;
}

CancelToken::CancelToken() : state_(std::make_shared<detail::CancelState>()) {}

void CancelToken::Cancel() { state_->Cancel(); }

bool CancelToken::IsCancelled() const { return state_->IsCancelled(); }

}  // namespace korvo
