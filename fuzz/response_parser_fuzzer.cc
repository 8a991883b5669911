// The response parser in memory: an input fed in one piece, in pieces cut where the
// fuzzer chooses, and (for short inputs) one byte at a time must give the same result.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <numeric>
#include <vector>

#include "response_parser_harness.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using namespace korvo::fuzz;
  Input input = TakeInput(data, size);
  Outcome whole = Run(input.bytes, {}, false, input.ignore_body);
  CheckAlone(whole, input);
  Outcome split = Run(input.bytes, input.cuts, false, input.ignore_body);
  CheckSame(split, whole);
  if (input.byte_by_byte && input.bytes.size() <= 1024) {
    std::vector<std::size_t> every(input.bytes.size());
    std::iota(every.begin(), every.end(), 1);
    CheckSame(Run(input.bytes, every, false, input.ignore_body), whole);
  }
  return 0;
}
