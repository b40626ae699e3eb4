// The two places where ostreld decides who is asking and what they may do.
// Today's hooks are open: the caller is whoever the request claims to be (or
// anonymous), and everyone may read and write.  Authentication and path rules
// replace these two functions; everything else calls them at the right time:
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

namespace ostreld {

// What identify() sees of a request.
struct RequestHead {
  const char *method;
  const char *client_address;  // numeric
  // Returns the value of header NAME, or nullptr.
  const char *(*header)(void *baton, const char *name);
  void *baton;
};

struct Identity {
  bool anonymous = true;
  std::string user;  // when not anonymous
  // When not 0: the HTTP status to refuse the request with (e.g. 401), and
  // the message of the error sent with it.
  unsigned refuse_status = 0;
  std::string refuse_message;
};

enum class Access { read, write };

// Who is asking.  Without authentication, the user name a client sends in
// the "Ostrel-Author" header (percent-escaped UTF-8) stands for the author
// of its commits, as a local commit takes the name it is given.
Identity identify(const RequestHead &head);

// Whether IDENTITY may have ACCESS to PATH ("/" or "/dir/file") of
// repository REPOS.  Returns "" when allowed, else the reason to give.
std::string authorize(const Identity &identity, const std::string &repos, const std::string &path,
                      Access access);

}  // namespace ostreld

#endif  // OSTRELD_HOOKS_H
