// The two places where ostreld decides who is asking and what they may do.
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

#include <string>

struct MHD_Connection;

namespace ostrel_server {
class Gatekeeper;
}

namespace ostreld {

// Makes GATE (nullptr: none, an --open server) decide from now on.  Called
// once, before serving; GATE must outlive the serving.
void install_gate(ostrel_server::Gatekeeper *gate);

// What identify() sees of a request.
struct RequestHead {
  const char *method;
  const char *client_address;  // numeric
  // Returns the value of header NAME, or nullptr.
  const char *(*header)(void *baton, const char *name);
  void *baton;
  MHD_Connection *connection;  // for the credentials of HTTP Basic
};

struct Identity {
  bool anonymous = true;
  std::string user;  // when not anonymous
  // When not 0: the HTTP status to refuse the request with (e.g. 401), and
  // the message of the error sent with it.
  unsigned refuse_status = 0;
  std::string refuse_message;
  // With refuse_status 401: the realm to ask credentials for.  With 429:
  // the seconds to wait before trying again.
  std::string challenge_realm;
  long retry_after = 0;
};

// READ_TREE and WRITE_TREE: the path and everything below it (a copy
// source; a node deleted or replaced, or made as a copy).
enum class Access { read, write, read_tree, write_tree };

// The realm to ask an anonymous caller to log in to when the rules refuse
// it something, or "" when logging in cannot help (no gate or no users).
std::string login_realm();

// Who is asking.  On an open server (no gate), the user name a client sends
// in the "Ostrel-Author" header (percent-escaped UTF-8) stands for the
// author of its commits, as a local commit takes the name it is given.  With
// a gate, a claimed name is never taken: without a users file every caller
// is anonymous.
Identity identify(const RequestHead &head);

// Whether IDENTITY may have ACCESS to PATH ("/" or "/dir/file") of
// repository REPOS.  Returns "" when allowed, else the reason to give.
std::string authorize(const Identity &identity, const std::string &repos, const std::string &path,
                      Access access);

// The type of authorize(), so that its callers can be given another one.
using AuthorizeFn = std::string (*)(const Identity &, const std::string &, const std::string &,
                                    Access);

}  // namespace ostreld

#endif  // OSTRELD_HOOKS_H
