// Runs the guide's snippets against a local httpbin, and checks that the code the guide
// quotes is still in them.
//
//   run_snippet --guide <guide.md> <snippet source dir> <snippet executable>...
//
// One server for all the snippets, started once: httpbin takes seconds to come up, the
// snippets milliseconds each. Every snippet runs even when one fails, so that a single
// run names all the broken ones.
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <sstream>
#include <string>
#include <vector>

#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include "support/httpbin_server.h"

extern char** environ;

namespace {

namespace fs = std::filesystem;

std::string Trim(const std::string& text) {
  const auto first = text.find_first_not_of(" \t\r");
  if (first == std::string::npos) return {};
  const auto last = text.find_last_not_of(" \t\r");
  return text.substr(first, last - first + 1);
}

std::vector<std::string> ReadLines(const fs::path& path) {
  std::vector<std::string> lines;
  std::ifstream in(path);
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  return lines;
}

// Every ```cpp block of the guide must appear, line for line (indentation aside), in
// the snippet the guide last linked to ("snippets/<name>.cc"), so that an edit to
// either shows up here instead of in a reader's compiler. Returns the number of
// blocks that do not.
int CheckGuide(const fs::path& guide, const fs::path& snippet_dir) {
  const std::vector<std::string> lines = ReadLines(guide);
  if (lines.empty()) {
    std::cerr << "guide: cannot read " << guide << "\n";
    return 1;
  }
  int mismatches = 0;
  std::string source;
  for (std::size_t i = 0; i < lines.size(); ++i) {
    const auto link = lines[i].find("snippets/");
    const auto suffix = lines[i].find(".cc", link == std::string::npos ? 0 : link);
    if (link != std::string::npos && suffix != std::string::npos &&
        lines[i].rfind("```", 0) != 0) {
      source = lines[i].substr(link + 9, suffix + 3 - link - 9);
    }
    if (lines[i] != "```cpp") continue;
    std::vector<std::string> block;
    const std::size_t start = i + 1;
    for (++i; i < lines.size() && lines[i] != "```"; ++i) block.push_back(Trim(lines[i]));
    if (source.empty()) {
      std::cerr << "guide:" << start << ": code block without a snippet link before it\n";
      ++mismatches;
      continue;
    }
    std::vector<std::string> code;
    for (const std::string& line : ReadLines(snippet_dir / source)) code.push_back(Trim(line));
    bool found = false;
    for (std::size_t at = 0; !found && at + block.size() <= code.size(); ++at) {
      found = true;
      for (std::size_t k = 0; found && k < block.size(); ++k) found = code[at + k] == block[k];
    }
    if (!found) {
      std::cerr << "guide:" << start << ": block not found verbatim in " << source << "\n";
      ++mismatches;
    }
  }
  return mismatches;
}

// The snippet's exit status, or -1 when it could not run or did not exit normally.
int RunSnippet(const std::string& program, const std::string& base_url) {
  std::vector<char*> args = {const_cast<char*>(program.c_str()),
                             const_cast<char*>(base_url.c_str()), nullptr};
  pid_t pid = -1;
  if (posix_spawn(&pid, program.c_str(), nullptr, nullptr, args.data(), environ) != 0) {
    return -1;
  }
  int status = 0;
  if (waitpid(pid, &status, 0) != pid || !WIFEXITED(status)) return -1;
  return WEXITSTATUS(status);
}

}  // namespace

int main(int argc, char** argv) {
  int first = 1;
  int failures = 0;
  if (argc > 3 && std::string(argv[1]) == "--guide") {
    failures += CheckGuide(argv[2], argv[3]);
    first = 4;
  }
  if (first >= argc) {
    std::cerr << "usage: run_snippet [--guide <guide.md> <snippet dir>] <snippet>...\n";
    return 2;
  }

  // Four workers: the timing snippets keep one busy for a while, the others must not
  // queue behind it.
  korvo::test::HttpbinServer server;
  std::string error;
  if (!server.Start(4, 60, &error)) {
    std::cerr << "httpbin did not start: " << error << "\n";
    return 1;
  }
  const std::string base_url = server.Url("");

  for (int i = first; i < argc; ++i) {
    const std::string name = fs::path(argv[i]).filename().string();
    std::cout << "=== " << name << std::endl;
    const int status = RunSnippet(argv[i], base_url);
    std::cout << "=== " << name << (status == 0 ? ": ok" : ": FAILED") << " (exit "
              << status << ")" << std::endl;
    if (status != 0) ++failures;
  }
  return failures == 0 ? 0 : 1;
}
