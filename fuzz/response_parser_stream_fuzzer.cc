// The response parser streaming bodies to temporary files: fed in pieces cut where the
// fuzzer chooses, it must give what the in-memory parse of the whole input gives, and
// no temporary file may outlive the response, whether the parse succeeded or not.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <system_error>

#include "response_parser_harness.h"

namespace {

std::filesystem::path temp_dir;

void RemoveTempDir() {
  std::error_code ignored;
  std::filesystem::remove_all(temp_dir, ignored);
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  // A private temporary directory, so that a file left behind is seen at once.
  std::string pattern = (std::filesystem::temp_directory_path() / "korvo-fuzz-XXXXXX").string();
  if (mkdtemp(pattern.data()) == nullptr) std::abort();
  temp_dir = pattern;
  setenv("TMPDIR", temp_dir.c_str(), 1);
  std::atexit(RemoveTempDir);
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using namespace korvo::fuzz;
  Input input = TakeInput(data, size);
  Outcome whole = Run(input.bytes, {}, false, input.ignore_body);
  Outcome streamed = Run(input.bytes, input.cuts, true, input.ignore_body);
  CheckAlone(streamed, input);
  CheckSame(streamed, whole);
  if (streamed.ok && streamed.finished) FUZZ_CHECK(streamed.has_body);
  FUZZ_CHECK(std::filesystem::is_empty(temp_dir));
  return 0;
}
