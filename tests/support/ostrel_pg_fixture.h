// A PostgreSQL cluster for unit tests, through tests/support/pg-cluster.sh
// (initdb + pg_ctl on a unix socket in a temporary directory, run by an
// unprivileged user).  One cluster per test process, started on first use
// and stopped and removed when the process ends; each test makes databases
// of its own in it.  PostgreSQL not installed: the test is skipped; a
// cluster that does not start: setup broke (ostrel_setup_failed.h), with the
// script's reason.
#ifndef OSTREL_PG_FIXTURE_H
#define OSTREL_PG_FIXTURE_H

#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <string>

#include <gtest/gtest.h>

#include "ostrel_setup_failed.h"

#ifndef OSTREL_PG_CLUSTER_SCRIPT
#error "OSTREL_PG_CLUSTER_SCRIPT must name tests/support/pg-cluster.sh"
#endif

namespace ostrel_test {

class PgCluster {
 public:
  // The process's cluster, started when first asked for.  *STATUS: 0 up,
  // 77 PostgreSQL missing, anything else broken (*WHY says why).
  static PgCluster &get(int *status, std::string *why) {
    static PgCluster cluster;
    *status = cluster.status_;
    *why = cluster.why_;
    return cluster;
  }

  // A new empty database; returns its connection info.
  std::string createdb(const std::string &name) {
    run("createdb " + quoted(dir_) + " " + name);
    return base_ + " dbname=" + name;
  }
  // Stops the server as a power cut would, and starts it again.
  int crash() { return run("crash " + quoted(dir_)); }
  int restart() { return run("restart " + quoted(dir_)); }
  std::string password() {
    std::string out;
    run("password " + quoted(dir_), &out);
    while (!out.empty() && out.back() == '\n') out.pop_back();
    return out;
  }
  const std::string &dir() const { return dir_; }

  ~PgCluster() {
    if (!dir_.empty()) run("remove " + quoted(dir_));
  }

 private:
  PgCluster() {
    char templ[] = "/tmp/ostrel-pg-unit.XXXXXX";
    if (!mkdtemp(templ)) {
      status_ = 99;
      why_ = "mkdtemp failed";
      return;
    }
    // The script makes the directory itself, for the cluster's owner.
    rmdir(templ);
    std::string out;
    status_ = run("start " + quoted(templ), &out);
    dir_ = templ;
    if (status_ != 0) {
      why_ = "pg-cluster.sh start exited " + std::to_string(status_);
      return;
    }
    while (!out.empty() && out.back() == '\n') out.pop_back();
    const std::string suffix = " dbname=postgres";
    base_ = out.size() > suffix.size() ? out.substr(0, out.size() - suffix.size()) : out;
    setenv("PGPASSFILE", (dir_ + "/passfile").c_str(), 1);
  }

  static std::string quoted(const std::string &s) { return "'" + s + "'"; }

  static int run(const std::string &args, std::string *out = nullptr) {
    std::string cmd = std::string("bash ") + OSTREL_PG_CLUSTER_SCRIPT + " " + args;
    FILE *p = popen(cmd.c_str(), "r");
    if (!p) return 99;
    char buf[512];
    size_t n;
    while ((n = fread(buf, 1, sizeof buf, p)) > 0)
      if (out) out->append(buf, n);
    int st = pclose(p);
    return WIFEXITED(st) ? WEXITSTATUS(st) : 99;
  }

  int status_ = 99;
  std::string why_;
  std::string dir_;
  std::string base_;
};

// Skips the test when PostgreSQL is missing, fails it when the cluster is
// broken; else CLUSTER names the process's cluster.
#define OSTREL_NEED_POSTGRES(cluster)                                            \
  int pg_status__;                                                                \
  std::string pg_why__;                                                           \
  ostrel_test::PgCluster &cluster = ostrel_test::PgCluster::get(&pg_status__, &pg_why__); \
  if (pg_status__ == 77) GTEST_SKIP() << "PostgreSQL is not installed";           \
  OSTREL_SETUP_ASSERT(pg_status__ == 0, "PostgreSQL: " + pg_why__)

}  // namespace ostrel_test

#endif  // OSTREL_PG_FIXTURE_H
