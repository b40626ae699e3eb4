// The server's users file: who may log in, with which password.
//
// One "NAME:HASH" line per user, HASH being an Argon2id password hash in the
// self-describing text form of crypto_pwhash_str.  Blank lines and lines
// starting with '#' are allowed (and kept when the file is rewritten).  A
// name is printable, without white space and without ':', ',', '=', '#',
// and does not start with '@'.
//
// Passwords never appear in messages; neither do hashes.
#ifndef OSTREL_SERVER_USERS_FILE_H
#define OSTREL_SERVER_USERS_FILE_H

#include <mutex>
#include <set>
#include <string>
#include <string_view>
#include <vector>

#include "ostrel_error.h"

namespace ostrel_server {

// Starts libsodium once; an error when it cannot start.
ostrel_error *init_password_hashing();

// True when NAME may be a user name (see above).
bool valid_user_name(std::string_view name);

class UsersFile {
 public:
  // Parses TEXT (the contents of the file FILE_NAME, used in messages) into
  // *USERS.  A malformed line, a duplicate name or a hash that is not an
  // Argon2id hash gives OSTREL_ERR_BAD_CONFIG_FILE with the line number;
  // *USERS is then unchanged.
  static ostrel_error *parse(std::string_view text, const char *file_name, UsersFile *users);

  // Reads the file at PATH.  When MISSING_OK, a file that does not exist
  // reads as empty.
  static ostrel_error *load(const char *path, bool missing_ok, UsersFile *users);

  // Whether USER exists and PASSWORD is theirs.  An unknown user costs the
  // same work as a wrong password, so that timing does not tell whether a
  // name exists.  Successful checks are remembered (as keyed digests, never
  // the password) so that a client sending the same credentials with every
  // request does not pay for a full hash each time.  Thread-safe.
  bool verify(std::string_view user, std::string_view password) const;

  bool has_user(std::string_view user) const;

  // Sets USER's password to PASSWORD (hashing it), adding USER when new.
  // OSTREL_ERR_BAD_ARGUMENTS for an invalid name or an empty password.
  ostrel_error *set_password(std::string_view user, std::string_view password);

  // Removes USER; OSTREL_ERR_BAD_ARGUMENTS when there is no such user.
  ostrel_error *remove(std::string_view user);

  // Writes the file to PATH atomically: a new file beside it, flushed to
  // disk, then renamed over PATH.  A new file gets mode 0600; an existing
  // file keeps its mode.  On failure PATH is unchanged.
  ostrel_error *save(const char *path) const;

 private:
  struct Line {
    std::string name;  // empty for a comment or blank line
    std::string text;  // the hash, or the whole comment line
  };
  std::vector<Line> lines_;
  mutable std::mutex cache_mutex_;
  mutable std::set<std::string> verified_;  // keyed digests of good logins
  unsigned char cache_key_[32] = {};

 public:
  UsersFile();
  UsersFile(UsersFile &&other) noexcept;
  UsersFile &operator=(UsersFile &&other) noexcept;
};

}  // namespace ostrel_server

#endif  // OSTREL_SERVER_USERS_FILE_H
