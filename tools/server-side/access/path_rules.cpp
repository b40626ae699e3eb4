// The rules file parser and the access decision (contract in path_rules.h).

#include "path_rules.h"

#include <algorithm>
#include <cerrno>
#include <fstream>
#include <sstream>

namespace ostrel_server {
namespace {

constexpr std::string_view kSpace = " \t\r\f\v";

std::string_view trim(std::string_view s) {
  std::size_t first = s.find_first_not_of(kSpace);
  if (first == std::string_view::npos) return {};
  return s.substr(first, s.find_last_not_of(kSpace) - first + 1);
}

// Cuts a comment: '#' at the start or after white space.
std::string_view strip_comment(std::string_view line) {
  for (std::size_t i = 0; i < line.size(); ++i)
    if (line[i] == '#' && (i == 0 || kSpace.find(line[i - 1]) != std::string_view::npos))
      return line.substr(0, i);
  return line;
}

std::vector<std::string_view> split_words(std::string_view s) {
  std::vector<std::string_view> words;
  while (true) {
    std::size_t start = s.find_first_not_of(kSpace);
    if (start == std::string_view::npos) break;
    std::size_t end = s.find_first_of(kSpace, start);
    words.push_back(s.substr(start, end == std::string_view::npos ? end : end - start));
    if (end == std::string_view::npos) break;
    s = s.substr(end);
  }
  return words;
}

// User and group names: printable, no white space and none of the
// characters that have a meaning in this file or in the users file.
bool valid_name(std::string_view name) {
  if (name.empty() || name == "*" || name[0] == '@') return false;
  for (unsigned char c : name)
    if (c < 0x21 || c == 0x7f || c == ':' || c == ',' || c == '=' || c == '#') return false;
  return true;
}

// The lines of a parse in progress, for messages and duplicate checks.
struct Parser {
  const char *file_name;
  long lineno = 0;

  ostrel_error *error(const std::string &what) const {
    return ostrel_error_createf(OSTREL_ERR_BAD_CONFIG_FILE, nullptr,
                                "Error in rules file '%s' at line %ld: %s", file_name, lineno,
                                what.c_str());
  }
};

// Splits "/REPO/a/b" into REPO ("*" allowed) and "/a/b" ("" for the root).
bool parse_rule_path(std::string_view text, std::string *repo, std::string *path,
                     std::string *problem) {
  if (text.empty() || text[0] != '/') {
    *problem = "the path must start with '/' (\"/REPO/path\" or \"/*/path\")";
    return false;
  }
  while (text.size() > 1 && text.back() == '/') text.remove_suffix(1);
  std::vector<std::string_view> segments;
  for (std::size_t pos = 1; pos <= text.size();) {
    std::size_t end = text.find('/', pos);
    if (end == std::string_view::npos) end = text.size();
    segments.push_back(text.substr(pos, end - pos));
    pos = end + 1;
  }
  if (segments.empty() || segments[0].empty()) {
    *problem = "the path must name a repository or '*'";
    return false;
  }
  for (std::size_t i = 0; i < segments.size(); ++i) {
    std::string_view seg = segments[i];
    if (seg.empty() || seg == "." || seg == "..") {
      *problem = "the path has an empty, '.' or '..' segment";
      return false;
    }
    if (i > 0 && seg.find('*') != std::string_view::npos) {
      *problem = "'*' is only allowed as the repository name";
      return false;
    }
    if (i == 0 && seg != "*" && seg.find('*') != std::string_view::npos) {
      *problem = "'*' must stand alone as the repository name";
      return false;
    }
  }
  *repo = segments[0];
  path->clear();
  for (std::size_t i = 1; i < segments.size(); ++i) (*path += '/') += segments[i];
  return true;
}

Access widest(Access a, Access b) {
  return static_cast<int>(a) > static_cast<int>(b) ? a : b;
}

}  // namespace

ostrel_error *PathRules::parse(std::string_view text, const char *file_name, PathRules *rules) {
  PathRules parsed;
  parsed.loaded_ = true;
  Parser p{file_name};
  std::map<std::string, long, std::less<>> group_lines;  // group -> defining line
  std::map<std::string, long, std::less<>> group_uses;   // group -> first use
  std::map<std::string, long, std::less<>> grant_lines;  // "/repo/path who" -> line
  std::map<std::string, std::vector<std::string>, std::less<>> members;

  while (!text.empty()) {
    ++p.lineno;
    std::size_t nl = text.find('\n');
    std::string_view line = text.substr(0, nl);
    text = nl == std::string_view::npos ? std::string_view() : text.substr(nl + 1);
    if (p.lineno == 1 && line.substr(0, 3) == "\xEF\xBB\xBF") line.remove_prefix(3);
    line = trim(strip_comment(line));
    if (line.empty()) continue;
    if (line.find('\0') != std::string_view::npos) return p.error("the line holds a NUL byte");

    std::vector<std::string_view> words = split_words(line);
    if (words[0] == "group") {
      std::string_view rest = trim(line.substr(5));
      std::size_t eq = rest.find('=');
      if (eq == std::string_view::npos) return p.error("expected 'group NAME = USER, USER...'");
      std::string name(trim(rest.substr(0, eq)));
      if (!valid_name(name)) return p.error("invalid group name '" + name + "'");
      if (auto seen = group_lines.find(name); seen != group_lines.end())
        return p.error("group '" + name + "' is already defined at line " +
                       std::to_string(seen->second));
      group_lines[name] = p.lineno;
      std::vector<std::string> &list = members[name];
      std::string_view users = trim(rest.substr(eq + 1));
      while (!users.empty()) {
        std::size_t comma = users.find(',');
        std::string member(trim(users.substr(0, comma)));
        if (!member.empty() && member[0] == '@')
          return p.error("group '" + name + "' names group '" + member.substr(1) +
                         "'; groups hold user names only");
        if (!valid_name(member))
          return p.error("invalid user name '" + member + "' in group '" + name + "'");
        list.push_back(member);
        if (comma == std::string_view::npos) break;
        users = users.substr(comma + 1);
        if (trim(users).empty()) return p.error("a ',' without a user name after it");
      }
      continue;
    }

    if (words.size() != 3)
      return p.error("expected 'PATH WHO ACCESS' or 'group NAME = USER, USER...'");
    std::string repo, path, problem;
    if (!parse_rule_path(words[0], &repo, &path, &problem))
      return p.error("invalid path '" + std::string(words[0]) + "': " + problem);

    std::string_view who = words[1];
    Access access;
    if (words[2] == "rw")
      access = Access::read_write;
    else if (words[2] == "r")
      access = Access::read;
    else if (words[2] == "-")
      access = Access::none;
    else
      return p.error("invalid access '" + std::string(words[2]) + "' (expected rw, r or -)");

    std::string key = "/" + repo + path + " " + std::string(who);
    if (auto seen = grant_lines.find(key); seen != grant_lines.end())
      return p.error("'" + std::string(words[0]) + "' already has a line for '" + std::string(who) +
                     "' at line " + std::to_string(seen->second));
    grant_lines[key] = p.lineno;

    Grants &grants = parsed.repos_[repo][path];
    if (who == "*") {
      grants.everyone = access;
    } else if (who[0] == '@') {
      std::string group(who.substr(1));
      if (!valid_name(group)) return p.error("invalid group name '" + group + "'");
      group_uses.emplace(group, p.lineno);
      grants.groups[group] = access;
    } else {
      if (!valid_name(who)) return p.error("invalid user name '" + std::string(who) + "'");
      grants.users[std::string(who)] = access;
    }
  }

  for (const auto &[group, line] : group_uses)
    if (!group_lines.count(group)) {
      p.lineno = line;
      return p.error("group '" + group + "' is not defined");
    }
  for (const auto &[group, list] : members)
    for (const std::string &user : list) parsed.user_groups_[user].insert(group);

  *rules = std::move(parsed);
  return OSTREL_NO_ERROR;
}

ostrel_error *PathRules::load(const char *path, PathRules *rules) {
  std::ifstream in(path, std::ios::binary);
  if (!in)
    return ostrel_error_create(
        OSTREL_ERR_BAD_CONFIG_FILE,
        ostrel_error_from_errno(errno ? errno : EIO, "Can't read rules file '%s'", path), nullptr);
  std::ostringstream text;
  text << in.rdbuf();
  if (in.bad())
    return ostrel_error_createf(OSTREL_ERR_BAD_CONFIG_FILE, nullptr, "Can't read rules file '%s'",
                                path);
  return parse(text.str(), path, rules);
}

std::optional<Access> PathRules::decide(const Grants &grants, const char *user) const {
  if (user) {
    if (auto own = grants.users.find(user); own != grants.users.end()) return own->second;
    if (auto groups = user_groups_.find(user); groups != user_groups_.end()) {
      std::optional<Access> result;
      for (const std::string &group : groups->second)
        if (auto g = grants.groups.find(group); g != grants.groups.end())
          result = widest(result.value_or(Access::none), g->second);
      if (result) return result;
    }
  }
  return grants.everyone;
}

Access PathRules::access(std::string_view repo, std::string_view path, const char *user) const {
  if (!loaded_) return user ? Access::read_write : Access::none;
  while (!path.empty() && path.back() == '/') path.remove_suffix(1);
  if (!path.empty() && path[0] != '/') return Access::none;

  auto own = repos_.find(repo);
  auto every = repos_.find("*");
  // From the path itself up to the repository's root, one parent at a time.
  while (true) {
    for (auto it : {own, every}) {
      if (it == repos_.end()) continue;
      auto grants = it->second.find(path);
      if (grants == it->second.end()) continue;
      if (std::optional<Access> decided = decide(grants->second, user)) return *decided;
    }
    if (path.empty()) return Access::none;
    path = path.substr(0, path.rfind('/'));
  }
}

bool PathRules::tree_allows(std::string_view repo, std::string_view path, const char *user,
                            Access needed) const {
  auto enough = [&](std::string_view p) {
    return static_cast<int>(access(repo, p, user)) >= static_cast<int>(needed);
  };
  if (!enough(path)) return false;
  if (!loaded_) return true;
  while (!path.empty() && path.back() == '/') path.remove_suffix(1);
  std::string prefix = std::string(path) + "/";
  for (std::string_view name : {repo, std::string_view("*")}) {
    auto it = repos_.find(name);
    if (it == repos_.end()) continue;
    for (auto rule = it->second.lower_bound(prefix);
         rule != it->second.end() && rule->first.compare(0, prefix.size(), prefix) == 0; ++rule)
      if (!enough(rule->first)) return false;
  }
  return true;
}

}  // namespace ostrel_server
