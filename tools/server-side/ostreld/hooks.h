// The two places where ostreld decides who is asking and what they may do,
// both on the server's Gate.
// With a gate installed (every server but an --open one), the caller is the
// user who logged in with HTTP Basic (or anonymous) and the path rules decide
// (without a rules file: users read and write, anonymous callers nothing);
// without one the server is open: the caller is whoever the request claims to
// be, and everyone may read and write.  Everything else calls them at the
// right time:
//  - identify() runs once per request, after its headers and BEFORE any byte
//    of its body is read (for a commit, before "100 Continue" is sent), so a
//    refusal costs the client no upload;
//  - authorize() runs for every path a request reads, for every path a commit
//    changes (write) and for every copy source (read), each time BEFORE the
//    repository is asked or changed, and in any case before the commit is
//    finished: a refusal abandons the whole commit.
#ifndef OSTRELD_HOOKS_H
#define OSTRELD_HOOKS_H

#include <functional>
#include <string>

struct MHD_Connection;

namespace ostrel_server {
class Gatekeeper;
}

namespace ostreld {

// What identify() sees of a request.
struct RequestHead {
  const char *method;
  const char *client_address;  // numeric
  // Returns the value of header NAME, or nullptr.
  const char *(*header)(void *baton, const char *name);
  void *baton;
  MHD_Connection *connection;  // for the credentials of HTTP Basic
};

// Who is asking.
struct Identity {
  bool anonymous = true;
  std::string user;  // when not anonymous
};

// What the gate decides about a request, handed to its handler, which acts
// on it and on nothing else: go on (ALLOW), answer 401 asking for
// credentials of REALM (ASK_CREDENTIALS), answer 429 telling to wait
// RETRY_AFTER seconds (SLOW_DOWN), answer 403 (DENY), or answer 400 for a
// request the gate cannot even read (MALFORMED).  MESSAGE says why, for
// everything but ALLOW.
struct Decision {
  enum class Kind { allow, ask_credentials, slow_down, deny, malformed };
  Kind kind = Kind::allow;
  std::string message;
  std::string realm;
  long retry_after = 0;
  bool allowed() const { return kind == Kind::allow; }
};

// READ_TREE and WRITE_TREE: the path and everything below it (a copy
// source; a node deleted or replaced, or made as a copy).
enum class Access { read, write, read_tree, write_tree };

// Decides for every request of one server.  Without a Gatekeeper (an --open
// server) everyone may read and write.
class Gate {
 public:
  // GATEKEEPER (nullptr: none) must outlive the Gate.
  explicit Gate(ostrel_server::Gatekeeper *gatekeeper = nullptr) : gatekeeper_(gatekeeper) {}

  // Who is asking, into *IDENTITY.  On an open server (no gatekeeper), the
  // user name a client sends in the "Ostrel-Author" header (percent-escaped
  // UTF-8) stands for the author of its commits, as a local commit takes
  // the name it is given.  With a gatekeeper, a claimed name is never
  // taken: without a users file every caller is anonymous.
  Decision identify(const RequestHead &head, Identity *identity) const;

  // Whether IDENTITY may have ACCESS to PATH ("/" or "/dir/file") of
  // repository REPOS: ALLOW; ASK_CREDENTIALS for an anonymous caller when
  // logging in could help; DENY otherwise, in the same words whether or not
  // the path exists.
  Decision authorize(const Identity &identity, const std::string &repos, const std::string &path,
                     Access access) const;

  // The reason to refuse IDENTITY ACCESS to PATH, or "" when allowed (for
  // the commit replay, which refuses within the commit).
  std::string refusal(const Identity &identity, const std::string &repos, const std::string &path,
                      Access access) const;

 private:
  ostrel_server::Gatekeeper *gatekeeper_;
};

// How the commit replay asks whether a path may be changed or read: the
// reason to refuse, or "" (see Gate::refusal).
using AuthorizeFn = std::function<std::string(const Identity &, const std::string &,
                                              const std::string &, Access)>;

}  // namespace ostreld

#endif  // OSTRELD_HOOKS_H
