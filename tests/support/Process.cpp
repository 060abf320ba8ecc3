#include "tests/support/Process.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <sstream>
#include <stdexcept>
#include <thread>

#include "tests/support/Files.h"

namespace tvr::test {

std::string findExecutable(const std::string& name) {
  const char* path = ::getenv("PATH");
  std::stringstream dirs(path ? path : "");
  std::string dir;
  while (std::getline(dirs, dir, ':')) {
    std::filesystem::path candidate = std::filesystem::path(dir) / name;
    if (::access(candidate.c_str(), X_OK) == 0) return candidate.string();
  }
  return {};
}

std::string python3() {
  std::string python = findExecutable("python3");
  if (python.empty()) throw std::runtime_error("python3 is not on PATH (scripts/bootstrap installs it)");
  return python;
}

int freeLoopbackPort() {
  int fd = ::socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  address.sin_port = 0;
  socklen_t length = sizeof address;
  if (::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
      ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
    ::close(fd);
    throw std::runtime_error("no free loopback port");
  }
  ::close(fd);
  return ntohs(address.sin_port);
}

bool portAnswers(int port) {
  int fd = ::socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  address.sin_port = htons(static_cast<uint16_t>(port));
  bool ok = ::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
  ::close(fd);
  return ok;
}

namespace {

// In a forked child: sends output to the log and becomes `argv`; never returns.
[[noreturn]] void execWithLog(std::vector<char*>& args, const std::filesystem::path& log) {
  int fd = ::open(log.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
  if (fd >= 0) {
    ::dup2(fd, 1);
    ::dup2(fd, 2);
  }
  ::execv(args[0], args.data());
  ::_exit(127);
}

}  // namespace

std::string shellQuoted(const std::string& text) {
  std::string out = "'";
  for (char c : text) out += c == '\'' ? std::string("'\\''") : std::string(1, c);
  return out + "'";
}

std::string runCommand(const std::vector<std::string>& argv) {
  std::string command;
  for (const auto& arg : argv) command += shellQuoted(arg) + " ";
  command += "2>&1";
  FILE* pipe = ::popen(command.c_str(), "r");
  if (!pipe) throw std::runtime_error("cannot run " + argv.front());
  std::string output;
  char buffer[4096];
  size_t n;
  while ((n = fread(buffer, 1, sizeof buffer, pipe)) > 0) output.append(buffer, n);
  int status = ::pclose(pipe);
  if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) {
    throw std::runtime_error("command failed: " + command + "\n" + output);
  }
  return output;
}

ChildProcess::ChildProcess(const std::vector<std::string>& argv, const std::filesystem::path& log, Parent parent)
    : parent_(parent), log_(log) {
  std::vector<char*> args;
  for (const auto& arg : argv) args.push_back(const_cast<char*>(arg.c_str()));
  args.push_back(nullptr);
  if (parent == Parent::thisProcess) {
    pid_t self = ::getpid();
    pid_ = ::fork();
    if (pid_ < 0) throw std::runtime_error("cannot start " + argv[0]);
    if (pid_ == 0) {
      ::prctl(PR_SET_PDEATHSIG, SIGTERM);
      if (::getppid() != self) ::_exit(1);
      execWithLog(args, log);
    }
    return;
  }
  // Detached: an intermediate process starts the server in its own session and exits at
  // once, handing the server's pid back through a pipe.
  int pipeFds[2];
  if (::pipe(pipeFds) != 0) throw std::runtime_error("pipe failed");
  pid_t middle = ::fork();
  if (middle < 0) throw std::runtime_error("cannot start " + argv[0]);
  if (middle == 0) {
    pid_t server = ::fork();
    if (server == 0) {
      ::setsid();
      execWithLog(args, log);
    }
    ssize_t ignored = ::write(pipeFds[1], &server, sizeof server);
    (void)ignored;
    ::_exit(0);
  }
  ::close(pipeFds[1]);
  pid_t server = -1;
  bool received = ::read(pipeFds[0], &server, sizeof server) == sizeof server;
  ::close(pipeFds[0]);
  int status = 0;
  ::waitpid(middle, &status, 0);
  if (!received || server <= 0) throw std::runtime_error("cannot start " + argv[0]);
  pid_ = server;
}

ChildProcess::~ChildProcess() { stop(); }

bool ChildProcess::hasExited() {
  if (pid_ <= 0) return true;
  if (parent_ == Parent::detached) {
    // Not our child: it can only be probed, and a zombie of its new parent counts as alive
    // until that parent reaps it.
    if (::kill(pid_, 0) != 0) {
      pid_ = -1;
      return true;
    }
    return false;
  }
  int status = 0;
  if (::waitpid(pid_, &status, WNOHANG) == pid_) {
    pid_ = -1;
    return true;
  }
  return false;
}

void ChildProcess::stop() {
  if (pid_ <= 0) return;
  ::kill(pid_, SIGTERM);
  if (parent_ == Parent::detached) {
    for (int i = 0; i < 100 && ::kill(pid_, 0) == 0; ++i) std::this_thread::sleep_for(std::chrono::milliseconds(50));
  } else {
    int status = 0;
    ::waitpid(pid_, &status, 0);
  }
  pid_ = -1;
}

std::string ChildProcess::output() const { return readText(log_); }

void waitUntilListening(ChildProcess& child, int port, const std::string& what) {
  auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
  while (!portAnswers(port)) {
    if (child.hasExited()) throw std::runtime_error(what + " exited at start: " + child.output());
    if (std::chrono::steady_clock::now() > deadline) {
      throw std::runtime_error(what + " did not start listening: " + child.output());
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
}

}  // namespace tvr::test
