// The configuration directory, its INI-style files, and --config-option
// overrides.
//
// Every option the library reads is listed once in kKnownOptions, with its
// default and the check its values must pass; files, sections and options
// that are not listed are refused rather than ignored, so that a misspelt
// name is reported instead of silently having no effect.

#include <apr_file_info.h>
#include <apr_file_io.h>
#include <apr_strings.h>
#include <pwd.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <map>
#include <string>
#include <string_view>
#include <vector>

#include "ostrel_config.h"

namespace {

// Returns nullptr when VALUE is acceptable, else what is wrong with it.
using Validator = const char *(*)(std::string_view value);

const char *validate_milliseconds(std::string_view value) {
  if (value.empty() || value.size() > 10) return "expected a whole number of milliseconds";
  long long n = 0;
  for (char c : value) {
    if (c < '0' || c > '9') return "expected a whole number of milliseconds";
    n = n * 10 + (c - '0');
  }
  if (n > 86400000) return "at most 86400000 milliseconds (one day)";
  return nullptr;
}

const char *validate_yes_no(std::string_view value) {
  for (const char *word : {"yes", "no", "true", "false", "on", "off"})
    if (value == word) return nullptr;
  return "expected yes or no";
}

const char *validate_path(std::string_view value) {
  if (value.find('\0') != std::string_view::npos) return "expected a file name";
  return nullptr;
}

struct KnownOption {
  const char *file;
  const char *section;
  const char *option;
  const char *default_value;
  Validator validate;
  const char *description;  // for the template; lines joined by '\n'
};

const KnownOption kKnownOptions[] = {
    {OSTREL_CONFIG_CATEGORY_CONFIG, OSTREL_CONFIG_SECTION_LOCAL, OSTREL_CONFIG_OPTION_BUSY_TIMEOUT,
     "10000", validate_milliseconds,
     "How long, in milliseconds, a commit through a file:// URL waits for a\n"
     "repository that another committer holds before it gives up."},
    {OSTREL_CONFIG_CATEGORY_CONFIG, OSTREL_CONFIG_SECTION_AUTH, OSTREL_CONFIG_OPTION_STORE_PASSWORDS,
     "yes", validate_yes_no,
     "Whether user names and passwords that a server accepted are kept in\n"
     "the auth/ directory beside this file (readable by you only), so that\n"
     "later runs need not ask again."},
    {OSTREL_CONFIG_CATEGORY_CONFIG, OSTREL_CONFIG_SECTION_HTTPS, OSTREL_CONFIG_OPTION_CA_FILE, "",
     validate_path,
     "A PEM file of certificate authorities trusted for https:// servers in\n"
     "addition to the system's (empty: the system's only)."},
};

const KnownOption *find_option(std::string_view file, std::string_view section,
                               std::string_view option) {
  for (const KnownOption &known : kKnownOptions)
    if (file == known.file && section == known.section && option == known.option) return &known;
  return nullptr;
}

bool is_known_file(std::string_view file) {
  for (const KnownOption &known : kKnownOptions)
    if (file == known.file) return true;
  return false;
}

bool is_known_section(std::string_view file, std::string_view section) {
  for (const KnownOption &known : kKnownOptions)
    if (file == known.file && section == known.section) return true;
  return false;
}

std::vector<std::string> known_files() {
  std::vector<std::string> files;
  for (const KnownOption &known : kKnownOptions)
    if (std::find(files.begin(), files.end(), known.file) == files.end())
      files.push_back(known.file);
  return files;
}

std::string_view trim(std::string_view s) {
  const char *space = " \t\r\n\f\v";
  std::size_t first = s.find_first_not_of(space);
  if (first == std::string_view::npos) return {};
  std::size_t last = s.find_last_not_of(space);
  return s.substr(first, last - first + 1);
}

}  // namespace

// Values are copied into the configuration's pool, so a value returned by
// ostrel_config_get stays valid when the option is set again later.
struct ostrel_config {
  apr_pool_t *pool;
  const char *file_name;
  std::map<std::string, std::map<std::string, const char *>, std::less<>> sections;
  // A program's own file (ostrel_config_read_file): its options, in place of
  // the library's.
  bool program_file = false;
  std::vector<ostrel_config_known_option> program_options;
};

namespace {

apr_status_t destroy_config(void *data) {
  delete static_cast<ostrel_config *>(data);
  return APR_SUCCESS;
}

ostrel_config *config_create(const char *file_name, apr_pool_t *pool) {
  auto *cfg = new ostrel_config{pool, apr_pstrdup(pool, file_name), {}, false, {}};
  apr_pool_cleanup_register(pool, cfg, destroy_config, apr_pool_cleanup_null);
  return cfg;
}

bool section_known(const ostrel_config *cfg, std::string_view section) {
  if (!cfg->program_file) return is_known_section(cfg->file_name, section);
  for (const ostrel_config_known_option &known : cfg->program_options)
    if (section == known.section) return true;
  return false;
}

// What is wrong with VALUE for SECTION:OPTION of CFG's file (NULL: nothing);
// *KNOWN tells whether the option exists at all.
const char *check_value(const ostrel_config *cfg, std::string_view section,
                        std::string_view option, const char *value, bool *known) {
  *known = false;
  if (!cfg->program_file) {
    const KnownOption *option_of_library = find_option(cfg->file_name, section, option);
    if (!option_of_library) return nullptr;
    *known = true;
    return value ? option_of_library->validate(value) : nullptr;
  }
  for (const ostrel_config_known_option &entry : cfg->program_options) {
    if (section != entry.section || option != entry.option) continue;
    *known = true;
    return value && entry.validate ? entry.validate(value, entry.baton) : nullptr;
  }
  return nullptr;
}

// Checks SECTION:OPTION=VALUE (VALUE NULL: back to the default) against the
// known options of CFG's file; returns a one-link error saying what is wrong.
ostrel_error *check_setting(const ostrel_config *cfg, std::string_view section,
                            std::string_view option, const char *value) {
  std::string file(cfg->file_name), sec(section), opt(option);
  if (!section_known(cfg, section))
    return ostrel_error_createf(OSTREL_ERR_BAD_CONFIG_OPTION, nullptr,
                                "Unknown configuration section '%s' in file '%s'", sec.c_str(),
                                file.c_str());
  bool known = false;
  const char *problem = check_value(cfg, section, option, value, &known);
  if (!known)
    return ostrel_error_createf(OSTREL_ERR_BAD_CONFIG_OPTION, nullptr,
                                "Unknown configuration option '%s' in section '%s' of file '%s'",
                                opt.c_str(), sec.c_str(), file.c_str());
  if (value) {
    if (problem)
      return ostrel_error_createf(OSTREL_ERR_BAD_CONFIG_OPTION, nullptr,
                                  "Invalid value '%s' for configuration option '%s:%s:%s' (%s)",
                                  value, file.c_str(), sec.c_str(), opt.c_str(), problem);
  }
  return OSTREL_NO_ERROR;
}

void store(ostrel_config *cfg, std::string_view section, std::string_view option,
           const char *value) {
  auto &options = cfg->sections[std::string(section)];
  if (value)
    options[std::string(option)] = apr_pstrdup(cfg->pool, value);
  else
    options.erase(std::string(option));
}

// Reads PATH into CFG.  A missing file is no error unless MUST_EXIST: every
// option keeps its default.
ostrel_error *read_config_file(ostrel_config *cfg, const char *path, bool must_exist,
                               apr_pool_t *pool) {
  apr_finfo_t info;
  apr_status_t status = apr_stat(&info, path, APR_FINFO_TYPE, pool);
  if (APR_STATUS_IS_ENOENT(status) && !must_exist) return OSTREL_NO_ERROR;
  if (status != APR_SUCCESS)
    return ostrel_error_create(
        OSTREL_ERR_BAD_CONFIG_FILE,
        ostrel_error_wrap_apr(status, "Can't read configuration file '%s'", path), nullptr);
  if (info.filetype != APR_REG)
    return ostrel_error_createf(OSTREL_ERR_BAD_CONFIG_FILE, nullptr,
                                "Configuration file '%s' is not a regular file", path);

  std::ifstream in(path, std::ios::binary);
  if (!in) {
    int errnum = errno;
    if (errnum == ENOENT && !must_exist) return OSTREL_NO_ERROR;
    ostrel_error *cause = ostrel_error_from_errno(errnum, "Can't read configuration file '%s'", path);
    return ostrel_error_create(OSTREL_ERR_BAD_CONFIG_FILE, cause, nullptr);
  }

  std::string line;
  std::string section;
  bool in_section = false;
  for (long lineno = 1; std::getline(in, line); lineno++) {
    // Editors on some systems start a UTF-8 file with a byte-order mark.
    if (lineno == 1 && line.rfind("\xEF\xBB\xBF", 0) == 0) line.erase(0, 3);
    std::string_view text = trim(line);
    if (text.empty() || text[0] == '#' || text[0] == ';') continue;

    ostrel_error *problem = OSTREL_NO_ERROR;
    if (text[0] == '[') {
      std::string_view name = text.back() == ']' ? trim(text.substr(1, text.size() - 2)) : "";
      if (name.empty()) {
        problem = ostrel_error_create(OSTREL_ERR_BAD_CONFIG_OPTION, nullptr,
                                      "Malformed section header");
      } else if (!section_known(cfg, name)) {
        problem = ostrel_error_createf(OSTREL_ERR_BAD_CONFIG_OPTION, nullptr,
                                       "Unknown configuration section '%s' in file '%s'",
                                       std::string(name).c_str(), cfg->file_name);
      } else {
        section = name;
        in_section = true;
      }
    } else {
      std::size_t sep = text.find_first_of("=:");
      std::string_view name = sep == std::string_view::npos ? "" : trim(text.substr(0, sep));
      if (name.empty()) {
        problem = ostrel_error_create(OSTREL_ERR_BAD_CONFIG_OPTION, nullptr,
                                      "Malformed line: expected 'option = value'");
      } else if (!in_section) {
        problem = ostrel_error_createf(OSTREL_ERR_BAD_CONFIG_OPTION, nullptr,
                                       "Option '%s' comes before any section",
                                       std::string(name).c_str());
      } else {
        std::string value(trim(text.substr(sep + 1)));
        problem = check_setting(cfg, section, name, value.c_str());
        if (!problem) store(cfg, section, name, value.c_str());
      }
    }
    if (problem)
      return ostrel_error_createf(OSTREL_ERR_BAD_CONFIG_OPTION, problem,
                                  "Error in configuration file '%s' at line %ld", path, lineno);
  }
  if (in.bad())
    return ostrel_error_createf(OSTREL_ERR_BAD_CONFIG_FILE, nullptr,
                                "Can't read configuration file '%s'", path);
  return OSTREL_NO_ERROR;
}

// The commented template of FILE: every option with its description and its
// default, commented out.
std::string config_template(const std::string &file) {
  std::string text =
      "# Configuration of the Ostrel repository library ('" + file + "' file).\n"
      "#\n"
      "# Lines starting with '#' or ';' are comments.  Remove the '# ' in front\n"
      "# of an option to change it.  Unknown sections or options are refused.\n"
      "# A single value can also be overridden on the command line with\n"
      "#   --config-option " + file + ":SECTION:OPTION=VALUE\n";
  std::string current_section;
  for (const KnownOption &known : kKnownOptions) {
    if (file != known.file) continue;
    if (current_section != known.section) {
      current_section = known.section;
      text += "\n# [" + current_section + "]\n";
    }
    text += "#\n";
    std::string_view description = known.description;
    while (!description.empty()) {
      std::size_t end = description.find('\n');
      text += "# ";
      text += description.substr(0, end);
      text += '\n';
      description = end == std::string_view::npos ? "" : description.substr(end + 1);
    }
    text += "# " + std::string(known.option) + " = " + known.default_value + "\n";
  }
  return text;
}

// Makes DIR with a template of every known file.  Returns false (leaving the
// defaults to stand) when the directory cannot be made; a template that
// cannot be written is left out for the same reason.
bool make_config_dir(const char *dir, apr_pool_t *pool) {
  if (apr_dir_make(dir, APR_UREAD | APR_UWRITE | APR_UEXECUTE, pool) != APR_SUCCESS)
    return false;
  for (const std::string &file : known_files()) {
    std::string path = std::string(dir) + "/" + file;
    std::ofstream out(path, std::ios::binary);
    out << config_template(file);
  }
  return true;
}

}  // namespace

extern "C" {

ostrel_error *ostrel_config_default_dir(const char **dir, apr_pool_t *pool) {
  const char *home = std::getenv("HOME");
  std::string home_dir;
  if (home && *home) {
    home_dir = home;
  } else {
    std::vector<char> buffer(16384);
    struct passwd entry;
    struct passwd *found = nullptr;
    if (getpwuid_r(geteuid(), &entry, buffer.data(), buffer.size(), &found) == 0 && found &&
        found->pw_dir && *found->pw_dir)
      home_dir = found->pw_dir;
  }
  if (home_dir.empty())
    return ostrel_error_create(OSTREL_ERR_BAD_CONFIG_FILE, nullptr,
                               "Can't find the configuration directory: HOME is not set and "
                               "the running user has no home directory");
  while (home_dir.size() > 1 && home_dir.back() == '/') home_dir.pop_back();
  if (home_dir == "/") home_dir.clear();
  *dir = apr_pstrcat(pool, home_dir.c_str(), "/.ostrel", nullptr);
  return OSTREL_NO_ERROR;
}

ostrel_error *ostrel_config_get_config(apr_hash_t **cfg_hash, const char *config_dir,
                                       apr_pool_t *pool) {
  const char *dir = config_dir;
  if (!dir) OSTREL_ERR(ostrel_config_default_dir(&dir, pool));

  apr_finfo_t info;
  apr_status_t status = apr_stat(&info, dir, APR_FINFO_TYPE, pool);
  bool have_dir = false;
  if (status == APR_SUCCESS) {
    if (info.filetype != APR_DIR)
      return ostrel_error_createf(OSTREL_ERR_BAD_CONFIG_FILE, nullptr,
                                  "Configuration directory '%s' is not a directory", dir);
    have_dir = true;
  } else if (APR_STATUS_IS_ENOENT(status) || APR_STATUS_IS_ENOTDIR(status)) {
    have_dir = make_config_dir(dir, pool);
  } else {
    return ostrel_error_create(
        OSTREL_ERR_BAD_CONFIG_FILE,
        ostrel_error_wrap_apr(status, "Can't read configuration directory '%s'", dir), nullptr);
  }

  apr_hash_t *hash = apr_hash_make(pool);
  for (const std::string &file : known_files()) {
    ostrel_config *cfg = config_create(file.c_str(), pool);
    if (have_dir) {
      std::string path = std::string(dir) + "/" + file;
      OSTREL_ERR(read_config_file(cfg, path.c_str(), false, pool));
    }
    apr_hash_set(hash, cfg->file_name, APR_HASH_KEY_STRING, cfg);
  }
  *cfg_hash = hash;
  return OSTREL_NO_ERROR;
}

ostrel_error *ostrel_config_read_file(ostrel_config **cfg, const char *path,
                                      const ostrel_config_known_option *known, int n_known,
                                      apr_pool_t *pool) {
  ostrel_config *file = config_create(path, pool);
  file->program_file = true;
  file->program_options.assign(known, known + (n_known > 0 ? n_known : 0));
  OSTREL_ERR(read_config_file(file, path, true, pool));
  *cfg = file;
  return OSTREL_NO_ERROR;
}

const char *ostrel_config_get(ostrel_config *cfg, const char *section, const char *option,
                              const char *default_value) {
  if (!cfg) return default_value;
  auto sec = cfg->sections.find(std::string_view(section));
  if (sec == cfg->sections.end()) return default_value;
  auto opt = sec->second.find(option);
  return opt == sec->second.end() ? default_value : opt->second;
}

ostrel_error *ostrel_config_set(ostrel_config *cfg, const char *section, const char *option,
                                const char *value) {
  OSTREL_ERR(check_setting(cfg, section, option, value));
  store(cfg, section, option, value);
  return OSTREL_NO_ERROR;
}

ostrel_error *ostrel_cmdline__apply_config_options(apr_hash_t *config,
                                                   const apr_array_header_t *config_options,
                                                   const char * /*prefix*/,
                                                   const char *argument_name) {
  if (!config_options) return OSTREL_NO_ERROR;
  for (int i = 0; i < config_options->nelts; i++) {
    const auto *arg = APR_ARRAY_IDX(config_options, i, const ostrel_cmdline__config_argument *);
    const char *value = arg->value && *arg->value ? arg->value : nullptr;
    auto *cfg = config ? static_cast<ostrel_config *>(
                             apr_hash_get(config, arg->file, APR_HASH_KEY_STRING))
                       : nullptr;
    ostrel_error *problem;
    if (!cfg && is_known_file(arg->file))
      problem = ostrel_error_createf(OSTREL_ERR_BAD_CONFIG_OPTION, nullptr,
                                     "Configuration file '%s' was not read", arg->file);
    else if (!cfg)
      problem = ostrel_error_createf(OSTREL_ERR_BAD_CONFIG_OPTION, nullptr,
                                     "Unknown configuration file '%s'", arg->file);
    else
      problem = ostrel_config_set(cfg, arg->section, arg->option, value);
    if (problem)
      return ostrel_error_createf(OSTREL_ERR_BAD_CONFIG_OPTION, problem,
                                  "Invalid argument '%s:%s:%s=%s' of %s", arg->file, arg->section,
                                  arg->option, arg->value ? arg->value : "", argument_name);
  }
  return OSTREL_NO_ERROR;
}

}  // extern "C"
