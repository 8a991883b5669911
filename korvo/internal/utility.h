// Small stateless helpers shared by the library: random strings, base64, HTTP dates,
// splitting and number conversion, file reading, bounded text printing, the product
// token and endpoint texts.
//
// Thread rules: every function may be called from any thread at the same time.
// RandomString keeps one generator per thread; the others keep no state.
#ifndef KORVO_INTERNAL_UTILITY_H_
#define KORVO_INTERNAL_UTILITY_H_

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <ostream>
#include <string>
#include <string_view>
#include <vector>

#include <boost/asio/ip/tcp.hpp>

#include "korvo/common.h"

namespace korvo {

// `length` characters drawn from digits and ASCII letters.
std::string RandomString(std::size_t length);

// Standard base64 with "=" padding and no line breaks.
std::string Base64Encode(std::string_view data);
std::string Base64Encode(const void* data, std::size_t size);

// Decodes up to the first "=" or the first byte outside the alphabet; never fails.
std::string Base64Decode(std::string_view text);

// The current time as an HTTP date, e.g. "Tue, 08 Dec 2026 00:11:29 GMT", with English
// names whatever the process locale.
std::string GetHttpDate();

// Appends the pieces between delimiters to `parts` (views into `text`). The piece after
// the last delimiter is always appended, even when empty. With `compress_token`, runs
// of delimiters count as one.
void Split(std::string_view text, char delimiter, bool compress_token,
           std::vector<std::string_view>& parts);

// Splits at the first `delimiter` into key and value, trimming blanks when `trim` is set.
// Returns false, leaving the outputs untouched, when the delimiter is absent.
bool SplitKV(std::string_view text, char delimiter, bool trim, std::string_view& key,
             std::string_view& value);
bool SplitKV(std::string_view text, char delimiter, bool trim, std::string& key,
             std::string& value);

// Removes from both ends every byte that occurs in `spaces`.
void Trim(std::string_view& text, std::string_view spaces = " ");

// strtoul-style conversion limited to 32 bits: leading white space, an optional sign
// ("-" negates modulo 2^32) and, in base 16, an optional "0x" are accepted; reading stops
// at the first non-digit. Fails when no digit was read or the value exceeds 4294967295;
// `value` is written only on success.
bool ToSizeT(std::string_view text, int base, std::size_t& value);

// `text` with ASCII letters in lower case; other bytes as they are, whatever the locale.
std::string AsciiLower(std::string_view text);

// A host as a URL writes it, without the brackets around an IPv6 address.
std::string StripBrackets(const std::string& host);

// A port of decimal digits only, 1 to 65535.
bool ParsePort(const std::string& text, std::uint16_t& port);

// Reads a whole file; false when it cannot be opened or read.
bool ReadFile(const std::filesystem::path& path, std::string& output);

// Size of a file in bytes, or -1 when it cannot be opened.
std::int64_t GetFileSize(const std::filesystem::path& path);

// Prints `text` as lines, each preceded by `prefix`, stopping after 2048 characters of
// text with "..." so that dumps of large bodies stay readable.
void PrintLines(std::string_view text, std::ostream& stream, const std::string& prefix);

// "1.2.3.4:80, v4" or "[::1]:80, v6", for log records.
std::string EndpointToString(const boost::asio::ip::tcp::endpoint& endpoint);
std::ostream& operator<<(std::ostream& os, const boost::asio::ip::tcp::endpoint& endpoint);

}  // namespace korvo

#endif  // KORVO_INTERNAL_UTILITY_H_
