#pragma once

// Child processes for tests and benchmarks: servers on loopback (s3rver, the fault server)
// and helper commands (the boto3 client). Every failure is a std::runtime_error with a clear
// message.

#include <sys/types.h>

#include <filesystem>
#include <string>
#include <vector>

namespace tvr::test {

// The full path of an executable on PATH, or "" when there is none.
std::string findExecutable(const std::string& name);
// python3 on PATH; throws when there is none.
std::string python3();

// A TCP port on 127.0.0.1 that nothing listens on now.
int freeLoopbackPort();
// Whether something accepts connections on 127.0.0.1:port.
bool portAnswers(int port);

// `text` in single quotes for a POSIX shell.
std::string shellQuoted(const std::string& text);

// Runs a command to completion and returns its output (standard output and error);
// throws with the output when it fails.
std::string runCommand(const std::vector<std::string>& argv);

// A started child process with its output in a log file; terminated (SIGTERM) and reaped
// when dropped. Not copyable; not thread-safe.
class ChildProcess {
 public:
  enum class Parent {
    // The child dies with this process, even when a test crashes.
    thisProcess,
    // The child is re-parented away at once (its memory never counts as this process's,
    // for /usr/bin/time -v); it is still stopped when the object goes.
    detached,
  };

  ChildProcess(const std::vector<std::string>& argv, const std::filesystem::path& log,
               Parent parent = Parent::thisProcess);
  ~ChildProcess();
  ChildProcess(const ChildProcess&) = delete;
  ChildProcess& operator=(const ChildProcess&) = delete;

  bool hasExited();
  void stop();
  // Everything the child wrote so far.
  std::string output() const;

 private:
  pid_t pid_ = -1;
  Parent parent_;
  std::filesystem::path log_;
};

// Waits (up to 30 s) until the child accepts connections on the port; throws with its
// output when it exits or does not start listening in time.
void waitUntilListening(ChildProcess& child, int port, const std::string& what);

}  // namespace tvr::test
