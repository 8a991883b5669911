#include "korvo/error.h"

#include <memory>
#include <sstream>
#include <string>
#include <utility>

#include <gtest/gtest.h>

namespace korvo {
namespace {

std::string Print(const Error& error) {
  std::ostringstream stream;
  stream << error;
  return stream.str();
}

TEST(ErrorTest, PrintsCodeMessageAndTimeoutFlag) {
  EXPECT_EQ(Print(Error()), "ERROR(0): ");
  EXPECT_EQ(Print(Error(kParseError, "Response parse error")), "ERROR(7): Response parse error");

  Error error(kConnectError, "Socket connect error");
  error.SetTimeout(true);
  error.Set(kReadError, "Socket read error");  // must not clear the flag
  EXPECT_TRUE(error.timeout());
  EXPECT_EQ(Print(error), "ERROR(5): Socket read error (timeout)");

  // Codes outside the table come from casts; they print as signed numbers.
  EXPECT_EQ(Print(Error(static_cast<ErrorCode>(-3), "odd")), "ERROR(-3): odd");
}

TEST(ErrorTest, OutputOperatorAddsNoLineEndAndChains) {
  std::ostringstream stream;
  stream << Error(kLoopError, "Loop is not running") << '|' << 42;
  EXPECT_EQ(stream.str(), "ERROR(1): Loop is not running|42");
}

TEST(ErrorTest, CopiesAreIndependent) {
  auto source = std::make_unique<Error>(kFileError, "Cannot read the file");
  source->SetTimeout(true);
  Error copy(*source);
  const char* what = copy.what();
  source.reset();
  EXPECT_STREQ(what, "Cannot read the file");
  EXPECT_EQ(copy.code(), kFileError);
  EXPECT_TRUE(copy.timeout());

  Error assigned;
  assigned = copy;
  assigned.Set(kFormError, "Not a form body");
  EXPECT_EQ(copy.message(), "Cannot read the file");
}

TEST(ErrorTest, MovedFromKeepsCodeAndFlag) {
  Error source(kWriteError, "Socket write error");
  source.SetTimeout(true);
  Error target(std::move(source));
  EXPECT_EQ(target.message(), "Socket write error");
  EXPECT_TRUE(target.timeout());
  EXPECT_EQ(source.code(), kWriteError);  // NOLINT(bugprone-use-after-move)
  EXPECT_TRUE(source.timeout());
}

// The cause and the cancel flag travel with every copy and move, and never change what
// programs print.
TEST(ErrorTest, DetailAndCancelledTravelButAreNotPrinted) {
  Error error(kConnectError, "Socket connect error");
  error.SetDetail("Connection refused (127.0.0.1:1)");
  error.SetCancelled(true);
  EXPECT_EQ(Print(error), "ERROR(4): Socket connect error");

  Error copy(error);
  Error assigned;
  assigned = error;
  Error moved(std::move(copy));
  for (const Error* e : {&error, &assigned, &moved}) {
    EXPECT_EQ(e->detail(), "Connection refused (127.0.0.1:1)");
    EXPECT_TRUE(e->cancelled());
  }
  error.Set(kReadError, "Socket read error");  // a new code keeps what else is known
  EXPECT_TRUE(error.cancelled());
  EXPECT_FALSE(Error().cancelled());
  EXPECT_EQ(Error().detail(), "");
}

TEST(ErrorTest, DescribeAddsTheDetailToThePrintedLine) {
  Error refused(kConnectError, "Socket connect error");
  refused.SetDetail("Connection refused (127.0.0.1:9)");
  EXPECT_EQ(refused.Describe(), "ERROR(4): Socket connect error - Connection refused (127.0.0.1:9)");
  refused.SetTimeout(true);
  EXPECT_EQ(refused.Describe(),
            "ERROR(4): Socket connect error (timeout) - Connection refused (127.0.0.1:9)");
  EXPECT_EQ(Error(kLoopError, "Loop is not running").Describe(), "ERROR(1): Loop is not running");
}

TEST(ErrorTest, CaughtAsStandardException) {
  try {
    throw Error(kRequestError, "Host is missing");
  } catch (const std::exception& e) {
    EXPECT_STREQ(e.what(), "Host is missing");
    const auto* error = dynamic_cast<const Error*>(&e);
    ASSERT_NE(error, nullptr);
    EXPECT_EQ(error->code(), kRequestError);
    EXPECT_FALSE(error->timeout());
  }
}

}  // namespace
}  // namespace korvo
