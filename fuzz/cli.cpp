// The command line: `BackupCLI::run` with arbitrary arguments and environment, against a
// fresh copy of the sample repository (and its password file) in a scratch folder.
//
// Input: arguments separated by NUL bytes, then two NUL bytes, then NAME=VALUE environment
// entries separated by NUL bytes. To keep the run inside the scratch folder, an argument
// starting with "/" gets a "." in front and ".." becomes "._"; HOME is the scratch folder;
// with "hydrate-s3" on the line "--dry-run" is added (a real hydration would reach for the
// network, which goes to a closed local proxy port anyway). Standard input is /dev/null.
//
// Checked: run never throws, exits with a documented status (0 to 7), and when JSON output
// was asked for, a failure prints one JSON error document with that status.

#include <fcntl.h>
#include <pthread.h>
#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "BackupCLI/BackupCLI.h"
#include "fuzz/FuzzSupport.h"

namespace fs = std::filesystem;

namespace {

const fs::path& workFolder() {
  static const fs::path folder = tvr::fuzz::scratchFolder() / "work";
  return folder;
}

std::string confined(std::string argument) {
  for (std::size_t at = argument.find(".."); at != std::string::npos; at = argument.find("..", at)) {
    argument[at + 1] = '_';
  }
  if (!argument.empty() && argument[0] == '/') argument.insert(argument.begin(), '.');
  return argument;
}

// Each run starts from the same files: what one command restored or hydrated is gone.
// libFuzzer's timer signal (SIGALRM, no SA_RESTART) would interrupt std::filesystem's copy,
// which gives up on EINTR; it waits until the folder is ready.
void resetWorkFolder() {
  static const fs::path fixtures = TVR_FIXTURES_DIR;
  sigset_t timer;
  sigemptyset(&timer);
  sigaddset(&timer, SIGALRM);
  sigset_t previous;
  if (pthread_sigmask(SIG_BLOCK, &timer, &previous) != 0) std::abort();
  std::error_code ignored;
  fs::current_path(tvr::fuzz::scratchFolder());
  fs::remove_all(workFolder(), ignored);
  fs::create_directories(workFolder());
  fs::copy(fixtures / "sample-repository", workFolder() / "repo", fs::copy_options::recursive);
  fs::copy_file(fixtures / "sample-repository.password", workFolder() / "password");
  fs::current_path(workFolder());
  if (pthread_sigmask(SIG_SETMASK, &previous, nullptr) != 0) std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  int devNull = ::open("/dev/null", O_RDONLY);
  if (devNull < 0 || ::dup2(devNull, STDIN_FILENO) < 0) std::abort();
  ::close(devNull);
  ::setenv("HOME", tvr::fuzz::scratchFolder().c_str(), 1);
  for (const char* name : {"http_proxy", "https_proxy", "HTTPS_PROXY", "ALL_PROXY", "all_proxy"}) {
    ::setenv(name, "http://127.0.0.1:9", 1);
  }
  ::unsetenv("NO_PROXY");
  ::unsetenv("no_proxy");
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string input(reinterpret_cast<const char*>(data), size);
  const std::size_t split = input.find(std::string("\0\0", 2));
  const std::string argumentText = input.substr(0, split);
  const std::string environmentText = split == std::string::npos ? std::string() : input.substr(split + 2);

  std::vector<std::string> arguments;
  bool hydrateS3 = false;
  if (!argumentText.empty()) {
    std::size_t start = 0;
    for (;;) {
      std::size_t end = argumentText.find('\0', start);
      arguments.push_back(confined(argumentText.substr(start, end - start)));
      hydrateS3 = hydrateS3 || arguments.back() == "hydrate-s3";
      if (end == std::string::npos) break;
      start = end + 1;
    }
  }
  if (hydrateS3 && std::find(arguments.begin(), arguments.end(), "--dry-run") == arguments.end()) {
    arguments.push_back("--dry-run");
  }

  tvr::cli::Environment environment;
  std::size_t start = 0;
  while (start < environmentText.size()) {
    std::size_t end = environmentText.find('\0', start);
    std::string entry = environmentText.substr(start, end - start);
    std::size_t equals = entry.find('=');
    if (equals != std::string::npos) environment.emplace(entry.substr(0, equals), entry.substr(equals + 1));
    if (end == std::string::npos) break;
    start = end + 1;
  }
  environment["HOME"] = tvr::fuzz::scratchFolder().string();

  resetWorkFolder();
  std::vector<std::string> errors;
  const tvr::cli::BackupCLI cli(environment);
  const std::int32_t status = cli.run(
      arguments, [](const std::string&) {}, [&](const std::string& line) { errors.push_back(line); });

  if (status < 0 || status > 7) std::abort();
  if (status != 0 && tvr::cli::BackupCLI::errorOutputFormat(arguments) == tvr::cli::OutputFormat::json) {
    if (errors.size() != 1) std::abort();
    nlohmann::json document = nlohmann::json::parse(errors[0], nullptr, false);
    if (!document.is_object() || document.value("exitCode", -1) != status) std::abort();
  }
  return 0;
}
