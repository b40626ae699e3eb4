#include "child_game.h"

#include <linux/sched.h>
#include <poll.h>
#include <signal.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <stdexcept>
#include <system_error>

namespace grevolt_test {

namespace {

// fork(), or a fork whose child gets the identifier `processId` (clone3 with
// set_tid, which needs the privilege to restore processes).
pid_t forkAs(pid_t processId) {
  if (processId == 0) return fork();
  pid_t wanted[1] = {processId};
  clone_args args{};
  args.exit_signal = SIGCHLD;
  args.set_tid = reinterpret_cast<std::uintptr_t>(wanted);
  args.set_tid_size = 1;
  return static_cast<pid_t>(syscall(SYS_clone3, &args, sizeof args));
}

}  // namespace

ChildGame::ChildGame(const std::string &program, const std::vector<std::string> &args,
                     bool waitReady, pid_t processId) {
  int pipeEnds[2];
  if (pipe(pipeEnds) != 0) throw std::runtime_error("pipe failed");
  std::vector<char *> argv;
  argv.push_back(const_cast<char *>(program.c_str()));
  for (const std::string &arg : args) argv.push_back(const_cast<char *>(arg.c_str()));
  argv.push_back(nullptr);
  pid_ = forkAs(processId);
  if (pid_ < 0) {
    const int error = errno;
    close(pipeEnds[0]);
    close(pipeEnds[1]);
    throw std::system_error(error, std::generic_category(),
                            "cannot start " + program +
                                (processId != 0 ? " as process " + std::to_string(processId) : ""));
  }
  if (pid_ == 0) {
    dup2(pipeEnds[1], STDOUT_FILENO);
    close(pipeEnds[0]);
    close(pipeEnds[1]);
    execv(program.c_str(), argv.data());
    _exit(127);
  }
  close(pipeEnds[1]);
  output_ = pipeEnds[0];
  if (!waitReady) return;

  std::string line;
  if (!nextLine(&line)) {
    stop();
    throw std::runtime_error("the game did not report ready: " + pending_);
  }
  Pose &p = pose_;
  long announcedPid = 0;
  int fields = std::sscanf(line.c_str(),
                           "GREVOLT.exe ready: pid %ld position %f %f %f front %f %f %f top %f %f %f",
                           &announcedPid, &p.position[0], &p.position[1], &p.position[2],
                           &p.front[0], &p.front[1], &p.front[2], &p.top[0], &p.top[1], &p.top[2]);
  if (fields != 10 || announcedPid != pid_) {
    stop();
    throw std::runtime_error("unexpected ready line: " + line);
  }
}

bool ChildGame::nextLine(std::string *line) {
  for (;;) {
    std::size_t end = pending_.find('\n');
    if (end != std::string::npos) {
      line->assign(pending_, 0, end);
      pending_.erase(0, end + 1);
      return true;
    }
    pollfd ready{output_, POLLIN, 0};
    char buffer[256];
    ssize_t n = 0;
    if (output_ < 0 || poll(&ready, 1, 10000) <= 0 ||
        (n = read(output_, buffer, sizeof buffer)) <= 0) {
      return false;
    }
    pending_.append(buffer, static_cast<std::size_t>(n));
  }
}

bool ChildGame::waitForLine(const std::string &text) {
  std::string line;
  while (nextLine(&line)) {
    if (line.find(text) != std::string::npos) return true;
  }
  return false;
}

void ChildGame::stop() {
  if (pid_ > 0) {
    kill(pid_, SIGKILL);
    waitpid(pid_, nullptr, 0);
    pid_ = -1;
  }
  if (output_ >= 0) {
    close(output_);
    output_ = -1;
  }
}

ChildGame::~ChildGame() { stop(); }

}  // namespace grevolt_test
