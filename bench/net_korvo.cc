// korvo, used as a program would: one ClientSession, requests made by RequestBuilder.
#include <stdexcept>

#include "net_bench.h"

namespace bench {

std::unique_ptr<Contender> MakeKorvo(const Target&, std::size_t) {
  throw std::runtime_error("korvo: not built yet");
}

}  // namespace bench
