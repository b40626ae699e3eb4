// Starts a program (normally the stand-in game) as a child of the calling
// process, so that the caller may read its memory under any ptrace
// restriction, and waits for its "ready" line.  Stops it when destroyed.
#ifndef GREVOLT_TESTS_CHILD_GAME_H
#define GREVOLT_TESTS_CHILD_GAME_H

#include <sys/types.h>

#include <string>
#include <vector>

namespace grevolt_test {

struct Pose {
  float position[3];
  float front[3];
  float top[3];
};

class ChildGame {
 public:
  // Runs `program` with `args` (argv[0] is `program` itself).  With
  // `waitReady`, returns once the "ready" line was read (or throws after a
  // few seconds); the pose it announced is then in pose().  With
  // `processId`, the child gets that identifier or the constructor throws
  // std::system_error (EPERM: this process may not choose identifiers;
  // EEXIST: the identifier is taken).
  ChildGame(const std::string &program, const std::vector<std::string> &args,
            bool waitReady = true, pid_t processId = 0);
  ~ChildGame();
  ChildGame(const ChildGame &) = delete;
  ChildGame &operator=(const ChildGame &) = delete;

  pid_t pid() const { return pid_; }
  const Pose &pose() const { return pose_; }
  // Waits up to ten seconds for a line of the child's output that contains
  // `text`, after the lines already consumed; false when none came.
  bool waitForLine(const std::string &text);
  // Sends SIGKILL and reaps the child.
  void stop();

 private:
  // The next line of output (without its newline), or false after ten
  // seconds or at the end of the output.
  bool nextLine(std::string *line);

  pid_t pid_ = -1;
  int output_ = -1;
  std::string pending_;  // output read but not yet consumed as lines
  Pose pose_{};
};

}  // namespace grevolt_test

#endif  // GREVOLT_TESTS_CHILD_GAME_H
