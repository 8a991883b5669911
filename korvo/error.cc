#include "korvo/error.h"

namespace korvo {

std::ostream& operator<<(std::ostream& os, const Error& error) {
  os << "ERROR(" << static_cast<std::int32_t>(error.code()) << "): " << error.message();
  if (error.timeout()) os << " (timeout)";
  return os;
}

}  // namespace korvo
