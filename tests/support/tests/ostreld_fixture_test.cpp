// The C++ side of the ostreld fixture (ostrel_ostreld_fixture.h): a server
// that does not start is reported with its own standard error and leaves
// nothing running; a started one answers on loopback and stops cleanly.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdlib>
#include <string>

#include <gtest/gtest.h>

#include "ostrel_ostreld_fixture.h"
#include "ostrel_test_support.h"

namespace {

// True when something accepts a TCP connection at 127.0.0.1:PORT.
bool listening(const std::string &port) {
  int fd = socket(AF_INET, SOCK_STREAM, 0);
  if (fd < 0) return false;
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_port = htons(static_cast<uint16_t>(std::stoi(port)));
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  bool ok = connect(fd, reinterpret_cast<sockaddr *>(&addr), sizeof addr) == 0;
  close(fd);
  return ok;
}

TEST(OstreldFixture, AServerThatDoesNotStartIsReportedWithItsStandardError) {
  ostrel_test::TempDir dir{"ostreld-fixture-test"};
  ostrel_test::Ostreld server;
  std::string why;
  EXPECT_FALSE(server.start(dir.path(), {"--no-such-option"}, &why));
  EXPECT_NE(why.find("SETUP FAILED"), std::string::npos) << why;
  EXPECT_NE(why.find("ostreld: "), std::string::npos) << why;
  EXPECT_EQ(server.address(), "");
  EXPECT_EQ(server.stop(), 0) << "nothing is left to stop";
}

TEST(OstreldFixture, AStartedServerAnswersAndStopsCleanly) {
  ostrel_test::TempDir dir{"ostreld-fixture-test"};
  ostrel_test::Ostreld server;
  std::string why;
  ASSERT_TRUE(server.start(dir.path(), {"--open"}, &why)) << why;
  EXPECT_EQ(server.address().rfind("127.0.0.1:", 0), 0u) << server.address();
  const std::string port = server.port();
  EXPECT_TRUE(listening(port));
  std::string log;
  EXPECT_EQ(server.stop(&log), 0) << log;
  EXPECT_FALSE(listening(port)) << "the server still listens after stop";
}

}  // namespace
