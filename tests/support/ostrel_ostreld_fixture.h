// A real ostreld for a unit test.  It is started by
// tests/support/ostreld_fixture.sh in its "serve" mode, the one place that
// knows how a test starts the server: a free loopback port picked by the
// kernel, the wait until it answers, the stop (SIGTERM, then SIGKILL after a
// minute) and its standard error kept for the failure message are the same
// for the shell tests and for these.
//
// The script holds the server until its standard input ends; this side keeps
// the only write end of that pipe, so a test process that dies stops its
// servers too.
//
//   ostrel_test::Ostreld server;
//   std::string why;
//   OSTREL_SETUP_ASSERT(server.start(root, {"--open"}, &why), why);
//   ... "http://" + server.address() ...
//   EXPECT_EQ(server.stop(&log), 0) << log;
#ifndef OSTREL_OSTRELD_FIXTURE_H
#define OSTREL_OSTRELD_FIXTURE_H

#include <fcntl.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "ostrel_setup_failed.h"

#ifndef OSTREL_OSTRELD_FIXTURE_SCRIPT
#error "OSTREL_OSTRELD_FIXTURE_SCRIPT must name tests/support/ostreld_fixture.sh (ostrel_test_uses_ostreld)"
#endif

namespace ostrel_test {

class Ostreld {
 public:
  Ostreld() = default;
  Ostreld(const Ostreld &) = delete;
  Ostreld &operator=(const Ostreld &) = delete;
  ~Ostreld() { stop(); }

  // Starts ostreld --root ROOT --listen 127.0.0.1:0 OPTIONS....  On failure
  // returns false with the reason (the script's message, with the server's
  // standard error) in *WHY; nothing is left running.
  bool start(const std::string &root, const std::vector<std::string> &options,
             std::string *why) {
    if (pid_ > 0) return fail(why, "start called on a running server");
    const char *build = std::getenv("OSTREL_BUILD_DIR");
    if (!build) return fail(why, "OSTREL_BUILD_DIR is not set");
    const std::string script = OSTREL_OSTRELD_FIXTURE_SCRIPT;
    // The client side of the test reaches the server without a proxy too.
    setenv("no_proxy", "127.0.0.1,localhost,::1", 1);
    setenv("NO_PROXY", "127.0.0.1,localhost,::1", 1);

    char err_name[] = "/tmp/ostreld-fixture-err.XXXXXX";
    int err_fd = mkstemp(err_name);
    if (err_fd < 0) return fail(why, std::string("mkstemp: ") + std::strerror(errno));
    err_file_ = err_name;
    int in[2], out[2];
    if (pipe2(in, O_CLOEXEC) != 0) return fail_closing(why, err_fd, "pipe");
    if (pipe2(out, O_CLOEXEC) != 0) {
      close(in[0]);
      close(in[1]);
      return fail_closing(why, err_fd, "pipe");
    }
    std::vector<std::string> args = {"bash", script, "serve", root};
    args.insert(args.end(), options.begin(), options.end());
    std::vector<char *> argv;
    for (std::string &a : args) argv.push_back(a.data());
    argv.push_back(nullptr);
    const ::testing::TestInfo *test = ::testing::UnitTest::GetInstance()->current_test_info();
    std::string name = test ? std::string(test->test_suite_name()) + "." + test->name() : "ostreld";

    // The script's environment, set here: the child only execs.
    setenv("BUILD_DIR", build, 1);
    setenv("OSTREL_TEST_NAME", name.c_str(), 1);
    pid_ = fork();
    if (pid_ == 0) {
      // dup2 leaves the copies open across exec; the originals close.
      dup2(in[0], 0);
      dup2(out[1], 1);
      dup2(err_fd, 2);
      execvp("bash", argv.data());
      _exit(127);
    }
    close(in[0]);
    close(out[1]);
    close(err_fd);
    if (pid_ < 0) {
      close(in[1]);
      close(out[0]);
      return fail(why, std::string("fork: ") + std::strerror(errno));
    }
    to_script_ = in[1];
    std::string line;
    char c;
    ssize_t n;
    while ((n = read(out[0], &c, 1)) == 1 && c != '\n') line += c;
    close(out[0]);
    if (n != 1 || line.rfind("127.0.0.1:", 0) != 0) {
      std::string text;
      int status = stop(&text);
      return fail(why, "ostreld_fixture.sh serve exited " + std::to_string(status) + ":\n" + text);
    }
    address_ = line;
    return true;
  }

  // HOST:PORT of the running server, and its port alone.
  const std::string &address() const { return address_; }
  std::string port() const { return address_.substr(address_.rfind(':') + 1); }

  // Stops the server; returns its exit status (0: it stopped cleanly after
  // SIGTERM; 0 too when none was started).  *LOG gets its standard error.
  int stop(std::string *log_out = nullptr) {
    if (pid_ <= 0) return 0;
    close(to_script_);
    to_script_ = -1;
    int status = 0;
    while (waitpid(pid_, &status, 0) < 0 && errno == EINTR) {
    }
    pid_ = -1;
    address_.clear();
    if (log_out) *log_out = log();
    unlink(err_file_.c_str());
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  }

 private:
  std::string log() const {
    std::ifstream in(err_file_);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
  }

  static bool fail(std::string *why, const std::string &reason) {
    if (why) *why = reason;
    return false;
  }

  bool fail_closing(std::string *why, int fd, const char *what) {
    const int error = errno;
    close(fd);
    unlink(err_file_.c_str());
    return fail(why, std::string(what) + ": " + std::strerror(error));
  }

  pid_t pid_ = -1;
  int to_script_ = -1;
  std::string address_;
  std::string err_file_;
};

}  // namespace ostrel_test

#endif  // OSTREL_OSTRELD_FIXTURE_H
