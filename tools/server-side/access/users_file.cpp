// The users file (contract in users_file.h).

#include "users_file.h"

#include <fcntl.h>
#include <sodium.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <fstream>
#include <sstream>

namespace ostrel_server {
namespace {

constexpr std::string_view kArgon2idPrefix = "$argon2id$";

std::string hash_password(std::string_view password) {
  char out[crypto_pwhash_STRBYTES];
  if (crypto_pwhash_str(out, password.data(), password.size(), crypto_pwhash_OPSLIMIT_INTERACTIVE,
                        crypto_pwhash_MEMLIMIT_INTERACTIVE) != 0)
    return {};
  return out;
}

// A hash no password is known for: what an unknown user is checked against.
const std::string &decoy_hash() {
  static const std::string hash = [] {
    unsigned char secret[32];
    randombytes_buf(secret, sizeof secret);
    return hash_password(std::string_view(reinterpret_cast<char *>(secret), sizeof secret));
  }();
  return hash;
}

bool check_hash(const std::string &hash, std::string_view password) {
  return crypto_pwhash_str_verify(hash.c_str(), password.data(), password.size()) == 0;
}

ostrel_error *write_all(int fd, const std::string &data, const std::string &path) {
  for (std::size_t done = 0; done < data.size();) {
    ssize_t n = ::write(fd, data.data() + done, data.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0)
      return ostrel_error_from_errno(n < 0 ? errno : EIO, "Can't write '%s'", path.c_str());
    done += static_cast<std::size_t>(n);
  }
  return OSTREL_NO_ERROR;
}

}  // namespace

ostrel_error *init_password_hashing() {
  if (sodium_init() < 0)
    return ostrel_error_create(OSTREL_ERR_MALFUNCTION, nullptr,
                               "Can't start the password hashing library");
  return OSTREL_NO_ERROR;
}

bool valid_user_name(std::string_view name) {
  if (name.empty() || name == "*" || name[0] == '@') return false;
  for (unsigned char c : name)
    if (c < 0x21 || c == 0x7f || c == ':' || c == ',' || c == '=' || c == '#') return false;
  return true;
}

UsersFile::UsersFile() {
  randombytes_buf(cache_key_, sizeof cache_key_);
}

UsersFile::UsersFile(UsersFile &&other) noexcept : lines_(std::move(other.lines_)) {
  randombytes_buf(cache_key_, sizeof cache_key_);
}

UsersFile &UsersFile::operator=(UsersFile &&other) noexcept {
  lines_ = std::move(other.lines_);
  std::lock_guard<std::mutex> lock(cache_mutex_);
  verified_.clear();
  return *this;
}

ostrel_error *UsersFile::parse(std::string_view text, const char *file_name, UsersFile *users) {
  UsersFile parsed;
  long lineno = 0;
  auto error = [&](const char *what) {
    return ostrel_error_createf(OSTREL_ERR_BAD_CONFIG_FILE, nullptr,
                                "Error in users file '%s' at line %ld: %s", file_name, lineno,
                                what);
  };
  while (!text.empty()) {
    ++lineno;
    std::size_t nl = text.find('\n');
    std::string_view line = text.substr(0, nl);
    text = nl == std::string_view::npos ? std::string_view() : text.substr(nl + 1);
    if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
    std::size_t first = line.find_first_not_of(" \t");
    if (first == std::string_view::npos || line[first] == '#') {
      parsed.lines_.push_back({"", std::string(line)});
      continue;
    }
    std::size_t colon = line.find(':');
    if (colon == std::string_view::npos) return error("expected 'NAME:HASH'");
    std::string_view name = line.substr(0, colon);
    std::string_view hash = line.substr(colon + 1);
    if (!valid_user_name(name)) return error("invalid user name");
    if (parsed.has_user(name)) return error("the user is listed twice");
    if (hash.substr(0, kArgon2idPrefix.size()) != kArgon2idPrefix ||
        hash.size() >= crypto_pwhash_STRBYTES ||
        hash.find_first_of(std::string_view(" \t\0", 3)) != std::string_view::npos)
      return error("the password hash is not an Argon2id hash (set it with 'ostrel-admin passwd')");
    parsed.lines_.push_back({std::string(name), std::string(hash)});
  }
  *users = std::move(parsed);
  return OSTREL_NO_ERROR;
}

ostrel_error *UsersFile::load(const char *path, bool missing_ok, UsersFile *users) {
  std::ifstream in(path, std::ios::binary);
  if (!in) {
    int errnum = errno ? errno : EIO;
    if (missing_ok && errnum == ENOENT) {
      *users = UsersFile();
      return OSTREL_NO_ERROR;
    }
    return ostrel_error_create(OSTREL_ERR_BAD_CONFIG_FILE,
                               ostrel_error_from_errno(errnum, "Can't read users file '%s'", path),
                               nullptr);
  }
  std::ostringstream text;
  text << in.rdbuf();
  if (in.bad())
    return ostrel_error_createf(OSTREL_ERR_BAD_CONFIG_FILE, nullptr, "Can't read users file '%s'",
                                path);
  return parse(text.str(), path, users);
}

bool UsersFile::has_user(std::string_view user) const {
  for (const Line &line : lines_)
    if (!line.name.empty() && line.name == user) return true;
  return false;
}

bool UsersFile::verify(std::string_view user, std::string_view password) const {
  const std::string *hash = nullptr;
  for (const Line &line : lines_)
    if (!line.name.empty() && line.name == user) hash = &line.text;
  if (!hash) {
    check_hash(decoy_hash(), password);
    return false;
  }

  // The digest binds the name, the password and the stored hash, so a
  // changed password never matches a remembered login.
  unsigned char digest[32];
  crypto_generichash_state state;
  crypto_generichash_init(&state, cache_key_, sizeof cache_key_, sizeof digest);
  const unsigned char zero = 0;
  crypto_generichash_update(&state, reinterpret_cast<const unsigned char *>(user.data()),
                            user.size());
  crypto_generichash_update(&state, &zero, 1);
  crypto_generichash_update(&state, reinterpret_cast<const unsigned char *>(password.data()),
                            password.size());
  crypto_generichash_update(&state, &zero, 1);
  crypto_generichash_update(&state, reinterpret_cast<const unsigned char *>(hash->data()),
                            hash->size());
  crypto_generichash_final(&state, digest, sizeof digest);
  std::string key(reinterpret_cast<char *>(digest), sizeof digest);
  {
    std::lock_guard<std::mutex> lock(cache_mutex_);
    if (verified_.count(key)) return true;
  }
  if (!check_hash(*hash, password)) return false;
  std::lock_guard<std::mutex> lock(cache_mutex_);
  if (verified_.size() >= 4096) verified_.clear();  // bounded: a full hash again, no more
  verified_.insert(std::move(key));
  return true;
}

ostrel_error *UsersFile::set_password(std::string_view user, std::string_view password) {
  if (!valid_user_name(user))
    return ostrel_error_createf(OSTREL_ERR_BAD_ARGUMENTS, nullptr,
                                "Invalid user name '%.*s': it must be printable, without white "
                                "space, ':', ',', '=' or '#', and not start with '@'",
                                static_cast<int>(user.size()), user.data());
  if (password.empty())
    return ostrel_error_create(OSTREL_ERR_BAD_ARGUMENTS, nullptr, "The password is empty");
  std::string hash = hash_password(password);
  if (hash.empty())
    return ostrel_error_create(OSTREL_ERR_MALFUNCTION, nullptr,
                               "Can't hash the password (out of memory?)");
  for (Line &line : lines_)
    if (!line.name.empty() && line.name == user) {
      line.text = std::move(hash);
      return OSTREL_NO_ERROR;
    }
  lines_.push_back({std::string(user), std::move(hash)});
  return OSTREL_NO_ERROR;
}

ostrel_error *UsersFile::remove(std::string_view user) {
  for (auto it = lines_.begin(); it != lines_.end(); ++it)
    if (!it->name.empty() && it->name == user) {
      lines_.erase(it);
      return OSTREL_NO_ERROR;
    }
  return ostrel_error_createf(OSTREL_ERR_BAD_ARGUMENTS, nullptr, "No user '%.*s' in the file",
                              static_cast<int>(user.size()), user.data());
}

ostrel_error *UsersFile::save(const char *path) const {
  std::string text;
  for (const Line &line : lines_)
    text += line.name.empty() ? line.text + "\n" : line.name + ":" + line.text + "\n";

  mode_t mode = 0600;
  struct stat st;
  if (::stat(path, &st) == 0) mode = st.st_mode & 07777;

  std::string target(path);
  std::string temp = target + ".tmp-XXXXXX";
  int fd = ::mkstemp(temp.data());
  if (fd < 0)
    return ostrel_error_from_errno(errno, "Can't create a new users file beside '%s'", path);
  ostrel_error *err = OSTREL_NO_ERROR;
  if (::fchmod(fd, mode) != 0)
    err = ostrel_error_from_errno(errno, "Can't set the mode of '%s'", temp.c_str());
  if (!err) err = write_all(fd, text, temp);
  if (!err && ::fsync(fd) != 0)
    err = ostrel_error_from_errno(errno, "Can't flush '%s' to disk", temp.c_str());
  if (::close(fd) != 0 && !err)
    err = ostrel_error_from_errno(errno, "Can't write '%s'", temp.c_str());
  if (!err && ::rename(temp.c_str(), path) != 0)
    err = ostrel_error_from_errno(errno, "Can't replace users file '%s'", path);
  if (err) {
    ::unlink(temp.c_str());
    return err;
  }
  return OSTREL_NO_ERROR;
}

}  // namespace ostrel_server
