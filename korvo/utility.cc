#include "korvo/internal/utility.h"

#include <algorithm>
#include <chrono>
#include <ctime>
#include <fstream>
#include <iomanip>
#include <locale>
#include <random>
#include <sstream>

#include "korvo/version.h"

namespace korvo {

namespace {

constexpr std::string_view kRandomAlphabet =
    "0123456789abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ";
constexpr std::string_view kBase64Alphabet =
    "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
constexpr std::size_t kPrintLimit = 2048;

// -1 for bytes outside the alphabet ("=" included).
int Base64Value(unsigned char c) {
  if (c >= 'A' && c <= 'Z') return c - 'A';
  if (c >= 'a' && c <= 'z') return c - 'a' + 26;
  if (c >= '0' && c <= '9') return c - '0' + 52;
  if (c == '+') return 62;
  if (c == '/') return 63;
  return -1;
}

int DigitValue(unsigned char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'z') return c - 'a' + 10;
  if (c >= 'A' && c <= 'Z') return c - 'A' + 10;
  return 99;
}

bool IsCSpace(char c) {
  return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}

}  // namespace

std::string RandomString(std::size_t length) {
  // One engine per thread: no locking, and threads never share a sequence.
  thread_local std::mt19937 engine(std::random_device{}());
  thread_local std::uniform_int_distribution<std::size_t> pick(0, kRandomAlphabet.size() - 1);
  std::string result;
  result.reserve(length);
  for (std::size_t i = 0; i < length; ++i) result.push_back(kRandomAlphabet[pick(engine)]);
  return result;
}

std::string Base64Encode(std::string_view data) {
  return Base64Encode(data.data(), data.size());
}

std::string Base64Encode(const void* data, std::size_t size) {
  const auto* bytes = static_cast<const unsigned char*>(data);
  std::string result;
  result.reserve((size + 2) / 3 * 4);
  std::size_t i = 0;
  for (; i + 3 <= size; i += 3) {
    std::uint32_t n = (bytes[i] << 16) | (bytes[i + 1] << 8) | bytes[i + 2];
    result.push_back(kBase64Alphabet[(n >> 18) & 0x3F]);
    result.push_back(kBase64Alphabet[(n >> 12) & 0x3F]);
    result.push_back(kBase64Alphabet[(n >> 6) & 0x3F]);
    result.push_back(kBase64Alphabet[n & 0x3F]);
  }
  if (size - i == 1) {
    std::uint32_t n = bytes[i] << 16;
    result.push_back(kBase64Alphabet[(n >> 18) & 0x3F]);
    result.push_back(kBase64Alphabet[(n >> 12) & 0x3F]);
    result.append("==");
  } else if (size - i == 2) {
    std::uint32_t n = (bytes[i] << 16) | (bytes[i + 1] << 8);
    result.push_back(kBase64Alphabet[(n >> 18) & 0x3F]);
    result.push_back(kBase64Alphabet[(n >> 12) & 0x3F]);
    result.push_back(kBase64Alphabet[(n >> 6) & 0x3F]);
    result.push_back('=');
  }
  return result;
}

std::string Base64Decode(std::string_view text) {
  std::string result;
  result.reserve(text.size() / 4 * 3 + 2);
  std::uint32_t bits = 0;
  int count = 0;
  for (char c : text) {
    int value = Base64Value(static_cast<unsigned char>(c));
    if (value < 0) break;
    bits = (bits << 6) | static_cast<std::uint32_t>(value);
    if (++count == 4) {
      result.push_back(static_cast<char>((bits >> 16) & 0xFF));
      result.push_back(static_cast<char>((bits >> 8) & 0xFF));
      result.push_back(static_cast<char>(bits & 0xFF));
      bits = 0;
      count = 0;
    }
  }
  // A lone trailing character carries fewer than 8 bits and yields nothing.
  if (count == 2) {
    result.push_back(static_cast<char>((bits >> 4) & 0xFF));
  } else if (count == 3) {
    result.push_back(static_cast<char>((bits >> 10) & 0xFF));
    result.push_back(static_cast<char>((bits >> 2) & 0xFF));
  }
  return result;
}

std::string GetHttpDate() {
  std::time_t now = std::chrono::system_clock::to_time_t(std::chrono::system_clock::now());
  std::tm utc{};
  gmtime_r(&now, &utc);
  // The classic locale keeps day and month names English, as HTTP requires.
  std::ostringstream stream;
  stream.imbue(std::locale::classic());
  stream << std::put_time(&utc, "%a, %d %b %Y %H:%M:%S GMT");
  return stream.str();
}

void Split(std::string_view text, char delimiter, bool compress_token,
           std::vector<std::string_view>& parts) {
  std::size_t pos = 0;
  for (std::size_t found = text.find(delimiter, pos); found != std::string_view::npos;
       found = text.find(delimiter, pos)) {
    parts.push_back(text.substr(pos, found - pos));
    pos = found + 1;
    if (compress_token) {
      while (pos < text.size() && text[pos] == delimiter) ++pos;
    }
  }
  parts.push_back(text.substr(pos));
}

bool SplitKV(std::string_view text, char delimiter, bool trim, std::string_view& key,
             std::string_view& value) {
  std::size_t found = text.find(delimiter);
  if (found == std::string_view::npos) return false;
  key = text.substr(0, found);
  value = text.substr(found + 1);
  if (trim) {
    Trim(key);
    Trim(value);
  }
  return true;
}

bool SplitKV(std::string_view text, char delimiter, bool trim, std::string& key,
             std::string& value) {
  std::string_view key_view, value_view;
  if (!SplitKV(text, delimiter, trim, key_view, value_view)) return false;
  key.assign(key_view);
  value.assign(value_view);
  return true;
}

void Trim(std::string_view& text, std::string_view spaces) {
  std::size_t first = text.find_first_not_of(spaces);
  if (first == std::string_view::npos) {
    text = text.substr(text.size());
    return;
  }
  std::size_t last = text.find_last_not_of(spaces);
  text = text.substr(first, last - first + 1);
}

bool ToSizeT(std::string_view text, int base, std::size_t& value) {
  if (base < 2 || base > 36) return false;
  std::size_t i = 0;
  while (i < text.size() && IsCSpace(text[i])) ++i;
  bool negative = false;
  if (i < text.size() && (text[i] == '+' || text[i] == '-')) {
    negative = text[i] == '-';
    ++i;
  }
  // As with strtoul, "0x" counts as a prefix only when a hex digit follows it;
  // otherwise the "0" alone is the number.
  if (base == 16 && i + 2 < text.size() && text[i] == '0' &&
      (text[i + 1] == 'x' || text[i + 1] == 'X') &&
      DigitValue(static_cast<unsigned char>(text[i + 2])) < 16) {
    i += 2;
  }
  constexpr std::uint64_t kMax = 0xFFFFFFFFu;
  std::uint64_t result = 0;
  std::size_t digits = 0;
  for (; i < text.size(); ++i) {
    int digit = DigitValue(static_cast<unsigned char>(text[i]));
    if (digit >= base) break;
    result = result * static_cast<unsigned>(base) + static_cast<unsigned>(digit);
    if (result > kMax) return false;
    ++digits;
  }
  if (digits == 0) return false;
  if (negative) result = (kMax + 1 - result) & kMax;
  value = static_cast<std::size_t>(result);
  return true;
}

namespace {

// A directory opens like a file on Linux and reports a size of 2^63 - 1 at its end,
// which would make callers allocate without bound.
bool IsDirectory(const std::filesystem::path& path) {
  std::error_code ec;
  return std::filesystem::is_directory(path, ec);
}

}  // namespace

bool ReadFile(const std::filesystem::path& path, std::string& output) {
  if (IsDirectory(path)) return false;
  std::ifstream stream(path, std::ios::binary | std::ios::ate);
  if (!stream) return false;
  std::streamoff size = stream.tellg();
  if (size < 0) return false;
  output.resize(static_cast<std::size_t>(size));
  stream.seekg(0);
  stream.read(output.data(), size);
  return static_cast<bool>(stream);
}

std::int64_t GetFileSize(const std::filesystem::path& path) {
  if (IsDirectory(path)) return -1;
  std::ifstream stream(path, std::ios::binary | std::ios::ate);
  if (!stream) return -1;
  std::streamoff size = stream.tellg();
  return size < 0 ? -1 : static_cast<std::int64_t>(size);
}

void PrintLines(std::string_view text, std::ostream& stream, const std::string& prefix) {
  std::vector<std::string_view> lines;
  Split(text, '\n', false, lines);
  std::size_t printed = 0;
  for (std::string_view line : lines) {
    stream << prefix;
    if (printed + line.size() > kPrintLimit) {
      stream << line.substr(0, kPrintLimit - printed) << "..." << std::endl;
      return;
    }
    stream << line << std::endl;
    printed += line.size();
  }
}

const std::string& UserAgent() {
  static const std::string kUserAgent = "Korvo/" KORVO_VERSION_STRING;
  return kUserAgent;
}

std::string EndpointToString(const boost::asio::ip::tcp::endpoint& endpoint) {
  std::ostringstream stream;
  boost::asio::ip::operator<<(stream, endpoint);
  stream << (endpoint.address().is_v4() ? ", v4" : ", v6");
  return stream.str();
}

std::ostream& operator<<(std::ostream& os, const boost::asio::ip::tcp::endpoint& endpoint) {
  return os << EndpointToString(endpoint);
}

std::string AsciiLower(std::string_view text) {
  std::string lower(text);
  for (char& c : lower) {
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  }
  return lower;
}

std::string StripBrackets(const std::string& host) {
  if (host.size() >= 2 && host.front() == '[' && host.back() == ']') {
    return host.substr(1, host.size() - 2);
  }
  return host;
}

bool ParsePort(const std::string& text, std::uint16_t& port) {
  if (text.empty() || text.size() > 5) return false;
  unsigned value = 0;
  for (char c : text) {
    if (c < '0' || c > '9') return false;
    value = value * 10 + static_cast<unsigned>(c - '0');
  }
  if (value == 0 || value > 65535) return false;
  port = static_cast<std::uint16_t>(value);
  return true;
}

}  // namespace korvo
