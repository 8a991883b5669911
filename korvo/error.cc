#include "korvo/error.h"

#include <sstream>

namespace korvo {

std::ostream& operator<<(std::ostream& os, const Error& error) {
  os << "ERROR(" << static_cast<std::int32_t>(error.code()) << "): " << error.message();
  if (error.timeout()) os << " (timeout)";
  return os;
}

std::string Error::Describe() const {
  std::ostringstream line;
  line << *this;
  if (!detail_.empty()) line << " - " << detail_;
  return line.str();
}

}  // namespace korvo
