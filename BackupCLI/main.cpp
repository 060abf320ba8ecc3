// Process entry of `tvr`: captures the environment once, hands the arguments without the
// program name to the front end and exits with the status it returns.

#include <unistd.h>

#include <string>
#include <vector>

#include "BackupCLI/BackupCLI.h"

extern char** environ;

int main(int argc, char** argv) {
  tvr::cli::Environment environment;
  for (char** entry = environ; entry != nullptr && *entry != nullptr; ++entry) {
    std::string text(*entry);
    std::size_t equals = text.find('=');
    if (equals == std::string::npos) continue;
    // The first definition of a name is the one getenv would answer.
    environment.emplace(text.substr(0, equals), text.substr(equals + 1));
  }
  std::vector<std::string> arguments;
  for (int i = 1; i < argc; ++i) arguments.emplace_back(argv[i]);
  tvr::cli::Terminals terminals{::isatty(STDOUT_FILENO) == 1, ::isatty(STDERR_FILENO) == 1};
  return tvr::cli::BackupCLI(std::move(environment), terminals).run(arguments);
}
