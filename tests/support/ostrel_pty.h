// Runs code with a pseudo-terminal as its controlling terminal, answering
// its prompts, for tests of what a user sees and types at a terminal.
#ifndef OSTREL_PTY_H
#define OSTREL_PTY_H

#include <poll.h>
#include <pty.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <functional>
#include <string>
#include <utility>
#include <vector>

namespace ostrel_test {

struct PtyResult {
  std::string output;    // everything the terminal showed (with the echo, if any)
  int exit_status = -1;  // -1 when the child did not exit normally
  int signal = 0;        // the signal that ended the child, if one did
  bool timed_out = false;
  bool echo_at_end = false;  // the terminal echoed input when the child ended
};

// Forks; the child gets a new terminal as controlling terminal and standard
// input, output and error, runs CHILD and exits with its result.  For each
// (EXPECT, SEND) of SCRIPT in turn, waits until the output since the last
// answer holds EXPECT and then types SEND.  Every wait is bounded by
// TIMEOUT; on a timeout the child is killed.
inline PtyResult run_in_pty(const std::function<int()> &child,
                            const std::vector<std::pair<std::string, std::string>> &script,
                            std::chrono::milliseconds timeout = std::chrono::seconds(20)) {
  PtyResult result;
  int master = -1;
  pid_t pid = forkpty(&master, nullptr, nullptr, nullptr);
  if (pid < 0) return result;
  if (pid == 0) {
    int status = child();
    std::fflush(nullptr);
    _exit(status);
  }

  auto deadline = std::chrono::steady_clock::now() + timeout;
  std::size_t seen_from = 0;
  std::size_t step = 0;
  bool open = true;
  while (open) {
    if (step < script.size() &&
        result.output.find(script[step].first, seen_from) != std::string::npos) {
      const std::string &send = script[step].second;
      if (write(master, send.data(), send.size()) != static_cast<ssize_t>(send.size())) break;
      seen_from = result.output.size();
      ++step;
      continue;
    }
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        deadline - std::chrono::steady_clock::now());
    if (left.count() <= 0) {
      result.timed_out = true;
      kill(pid, SIGKILL);
      break;
    }
    struct pollfd pfd = {master, POLLIN, 0};
    int ready = poll(&pfd, 1, static_cast<int>(left.count()));
    if (ready <= 0) continue;
    char buf[1024];
    ssize_t n = read(master, buf, sizeof buf);
    if (n <= 0)
      open = false;  // EIO once the child has closed its side
    else
      result.output.append(buf, static_cast<std::size_t>(n));
  }
  int status = 0;
  waitpid(pid, &status, 0);
  struct termios settings {};
  if (tcgetattr(master, &settings) == 0) result.echo_at_end = (settings.c_lflag & ECHO) != 0;
  close(master);
  if (WIFEXITED(status)) result.exit_status = WEXITSTATUS(status);
  if (WIFSIGNALED(status)) result.signal = WTERMSIG(status);
  return result;
}

}  // namespace ostrel_test

#endif  // OSTREL_PTY_H
