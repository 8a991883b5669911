// End to end: the built tourfetch, partpost and fieldpost, unchanged and with their
// default URLs, inside private namespaces (scripts/netns-run.sh) where httpbin.org is
// Debian's httpbin on loopback with a certificate from a demo CA, or where nothing
// listens at all. scripts/demo-programs.sh runs the programs and records what each
// wrote and how it exited; the assertions are here.
#include <sys/types.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <optional>
#include <sstream>
#include <string>

#include <boost/property_tree/json_parser.hpp>
#include <boost/property_tree/ptree.hpp>
#include <gtest/gtest.h>

#include "support/temp_dir.h"

namespace {

namespace fs = std::filesystem;

const fs::path kSourceDir = KORVO_SOURCE_DIR;
const fs::path kProgramDir = fs::path(KORVO_BINARY_DIR) / "examples";

std::string ReadText(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

std::string Quote(const std::string& text) {
  std::string quoted = "'";
  for (char c : text) {
    quoted += c == '\'' ? std::string("'\\''") : std::string(1, c);
  }
  return quoted + "'";
}

int RunShell(const std::string& command) {
  int status = std::system(command.c_str());
  return status != -1 && WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

// What one program run left behind.
struct ProgramRun {
  std::string out;
  std::string err;
  int status = -1;
};

// The last line of a text, without its line end.
std::string LastLine(const std::string& text) {
  std::string trimmed = text;
  while (!trimmed.empty() && trimmed.back() == '\n') {
    trimmed.pop_back();
  }
  std::size_t start = trimmed.rfind('\n');
  return start == std::string::npos ? trimmed : trimmed.substr(start + 1);
}

const char kUsage[] =
    "Usage: partpost <upload_dir> [url]\n"
    "\n"
    "Default url: http://httpbin.org/post\n"
    "\n"
    "Examples:\n"
    "(Post to httpbin.org)\n"
    "  $ ./partpost path/to/korvo/data/upload\n"
    "  $ ./partpost path/to/korvo/data/upload http://httpbin.org/post\n"
    "(Post to the example 'partsink')\n"
    "  $ ./partpost path/to/korvo/data/upload http://localhost:8080/upload\n";

class ProgramsE2eTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (geteuid() != 0) {
      GTEST_SKIP() << "needs root: the programs run in private network namespaces (unshare)";
    }
    if (RunShell(Script("netns-run.sh") + " --probe > /dev/null 2>&1") != 0) {
      GTEST_SKIP() << "unshare --net --mount --pid is not permitted on this machine";
    }
    for (const char* program : {"tourfetch", "partpost", "fieldpost"}) {
      ASSERT_TRUE(fs::exists(kProgramDir / program))
          << (kProgramDir / program) << " is missing: build the examples";
    }
    out_.emplace("korvo-programs.");
    out_dir_ = out_->path();
  }

  static std::string Script(const char* name) {
    return Quote((kSourceDir / "scripts" / name).string());
  }

  // Runs demo-programs.sh `mode` inside netns-run.sh with `options`; its records land
  // in a directory of their own, and its whole output in `log`, shown on failure.
  // Returns the exit status of the run.
  int RunPrograms(const std::string& options, const std::string& mode, const std::string& name,
                  std::string& log) {
    const fs::path dir = out_dir_ / name;
    fs::create_directories(dir);
    runs_ = dir;
    const fs::path log_file = out_dir_ / (name + ".log");
    int status = RunShell(Script("netns-run.sh") + " " + options + " -- " +
                          Script("demo-programs.sh") + " " + mode + " " +
                          Quote(kProgramDir.string()) + " " + Quote(dir.string()) + " > " +
                          Quote(log_file.string()) + " 2>&1");
    log = ReadText(log_file);
    return status;
  }

  ProgramRun Result(const std::string& name) const {
    ProgramRun run;
    run.out = ReadText(runs_ / (name + ".stdout"));
    run.err = ReadText(runs_ / (name + ".stderr"));
    std::istringstream(ReadText(runs_ / (name + ".status"))) >> run.status;
    return run;
  }

  std::optional<korvo::test::ScratchDir> out_;  // made once the test is sure to run
  fs::path out_dir_;
  fs::path runs_;
};

TEST_F(ProgramsE2eTest, AllThreeSucceedAgainstTheEchoServiceHttpsIncluded) {
  std::string log;
  int status = RunPrograms("", "served", "served", log);
  ASSERT_NE(status, 125) << "the namespace or httpbin could not be set up:\n" << log;
  SCOPED_TRACE(log);

  // Three requests, the last over HTTPS verified against the demo CA.
  ProgramRun tourfetch = Result("tourfetch");
  EXPECT_EQ(tourfetch.status, 0);
  EXPECT_EQ(tourfetch.out, "");
  EXPECT_EQ(tourfetch.err.find("ERROR("), std::string::npos);

  ProgramRun partpost = Result("partpost");
  EXPECT_EQ(partpost.status, 0);
  EXPECT_EQ(partpost.out, "200\n");

  ProgramRun fieldpost = Result("fieldpost");
  EXPECT_EQ(fieldpost.status, 0);
  boost::property_tree::ptree echo;
  std::istringstream json(fieldpost.out);
  ASSERT_NO_THROW(boost::property_tree::read_json(json, echo)) << fieldpost.out;
  EXPECT_EQ(echo.get_child("form").size(), 2u);
  EXPECT_EQ(echo.get("form.key1", ""), "value1");
  EXPECT_EQ(echo.get("form.key2", ""), "value2");
  EXPECT_EQ(echo.get("headers.Content-Type", ""),
            "application/x-www-form-urlencoded; charset=utf8");
  EXPECT_EQ(echo.get("headers.Content-Length", ""), "23");
  EXPECT_EQ(status, 0) << "demo-programs.sh judged a run as failed";
}

TEST_F(ProgramsE2eTest, FailuresWithNoServerAndBadArguments) {
  std::string log;
  ASSERT_NE(RunPrograms("--no-server", "unserved", "unserved", log), 125) << log;
  SCOPED_TRACE(log);
  const std::string refused = "ERROR(4): Socket connect error";

  // The echo host resolves to 127.0.0.1, where nothing listens.
  ProgramRun tourfetch = Result("tourfetch");
  EXPECT_EQ(tourfetch.status, 1);
  EXPECT_EQ(tourfetch.out, "");
  EXPECT_EQ(LastLine(tourfetch.err), refused);

  // partpost and fieldpost print the Error where the result would have gone, and do
  // not report the failure as success.
  ProgramRun partpost = Result("partpost");
  EXPECT_EQ(partpost.status, 1);
  EXPECT_EQ(partpost.out, refused + "\n");
  ProgramRun fieldpost = Result("fieldpost");
  EXPECT_EQ(fieldpost.status, 1);
  EXPECT_EQ(fieldpost.out, refused + "\n");

  ProgramRun regular_file = Result("partpost-file");
  EXPECT_EQ(regular_file.status, 1);
  EXPECT_EQ(regular_file.out, "");
  EXPECT_EQ(regular_file.err, "Invalid upload dir!\n");

  ProgramRun usage = Result("partpost-usage");
  EXPECT_EQ(usage.status, 1);
  EXPECT_EQ(usage.out, kUsage);
  EXPECT_EQ(usage.err, "");

  // A directory without remember.txt fails while the form is built, before sending.
  ProgramRun empty_dir = Result("partpost-empty");
  EXPECT_EQ(empty_dir.status, 1);
  EXPECT_EQ(empty_dir.out, "ERROR(8): Cannot read the file\n");

  // A URL followed by more arguments is refused, never replaced by the public default.
  ProgramRun extra = Result("partpost-extra");
  EXPECT_EQ(extra.status, 1);
  EXPECT_EQ(extra.out, kUsage);
  EXPECT_EQ(extra.err, "partpost: too many arguments\n");
}

// The HTTPS step fails unless the certificate is both issued by a trusted CA and made
// out to the echo host: tourfetch's success above is real verification.
TEST_F(ProgramsE2eTest, HttpsRefusesAnUntrustedOrMisnamedCertificate) {
  for (const char* options : {"--untrusted", "--cert-name other.example"}) {
    SCOPED_TRACE(options);
    std::string log;
    std::string name = options[2] == 'u' ? "untrusted" : "misnamed";
    ASSERT_NE(RunPrograms(options, "tourfetch", name, log), 125) << log;
    ProgramRun tourfetch = Result("tourfetch");
    EXPECT_EQ(tourfetch.status, 1) << log;
    EXPECT_EQ(LastLine(tourfetch.err), "ERROR(4): Socket connect error") << log;
    EXPECT_NE(tourfetch.err.find("certificate verify failed"), std::string::npos) << log;
  }
}

}  // namespace
