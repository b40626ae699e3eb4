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
  // few seconds); the pose it announced is then in pose().
  ChildGame(const std::string &program, const std::vector<std::string> &args,
            bool waitReady = true);
  ~ChildGame();
  ChildGame(const ChildGame &) = delete;
  ChildGame &operator=(const ChildGame &) = delete;

  pid_t pid() const { return pid_; }
  const Pose &pose() const { return pose_; }
  // Sends SIGKILL and reaps the child.
  void stop();

 private:
  pid_t pid_ = -1;
  int output_ = -1;
  Pose pose_{};
};

}  // namespace grevolt_test

#endif  // GREVOLT_TESTS_CHILD_GAME_H
