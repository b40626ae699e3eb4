/* Preloaded into a test's client (LD_PRELOAD) to make its IPv4 connections
 * come from the loopback address in $BIND_SOURCE (for example 127.0.0.2;
 * anything outside 127.0.0.0/8 fails the connect),
 * so that a test can play a second client address against a server on
 * 127.0.0.1 with a program that cannot choose its source address.  A socket
 * that is already bound, or that is not IPv4 TCP, is left alone; a failed
 * bind fails the connect, so that a test never silently attacks from its
 * own address. */
#define _GNU_SOURCE
#include <arpa/inet.h>
#include <dlfcn.h>
#include <errno.h>
#include <netinet/in.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>

typedef int (*connect_fn)(int, const struct sockaddr *, socklen_t);

int connect(int fd, const struct sockaddr *addr, socklen_t len) {
  static connect_fn real_connect;
  if (!real_connect) real_connect = (connect_fn)dlsym(RTLD_NEXT, "connect");
  const char *source = getenv("BIND_SOURCE");
  if (source && *source && addr && addr->sa_family == AF_INET) {
    struct sockaddr_in bound;
    socklen_t bound_len = sizeof bound;
    memset(&bound, 0, sizeof bound);
    /* Port 0: not bound yet (a bind always ends with a port). */
    if (getsockname(fd, (struct sockaddr *)&bound, &bound_len) == 0 && bound.sin_port == 0) {
      struct sockaddr_in from;
      memset(&from, 0, sizeof from);
      from.sin_family = AF_INET;
      /* Only a loopback source: the tests never reach beyond this host. */
      if (inet_pton(AF_INET, source, &from.sin_addr) != 1 ||
          (ntohl(from.sin_addr.s_addr) >> 24) != 127) {
        errno = EINVAL;
        return -1;
      }
      if (bind(fd, (struct sockaddr *)&from, sizeof from) != 0) return -1;
    }
  }
  return real_connect(fd, addr, len);
}
