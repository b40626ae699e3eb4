/* ostrel_config.h: configuration files and configuration options.
 * Conventions as in ostrel_types.h.
 *
 * The configuration lives in a directory (default: ~/.ostrel, that is
 * $HOME/.ostrel, or the home directory of the running user when HOME is not
 * set) holding INI-style files; a configuration is the set of those files,
 * each a set of sections of OPTION = VALUE lines.  Command-line options
 * "FILE:SECTION:OPTION=[VALUE]" override single values.
 *
 * File format: "[section]" starts a section; "option = value" (or
 * "option: value") sets an option of the current section, with white space
 * around names and values removed; lines that are empty or start with '#' or
 * ';' are comments.  Names are case-sensitive.  Anything else is a malformed
 * line.
 *
 * The library knows every file, section and option it reads.  An unknown
 * file, section or option, a malformed line, or a value that is not valid for
 * its option, in a file or in a command-line override, is refused with
 * OSTREL_ERR_BAD_CONFIG_OPTION and a message naming it (for a file: its path
 * and line number).  A file that exists but cannot be read, or is no
 * regular file, and a configuration directory that is no directory, give
 * OSTREL_ERR_BAD_CONFIG_FILE naming it (with the system's reason if any).
 *
 * Known options (FILE:SECTION:OPTION, value, default):
 *   config:local:busy-timeout-ms  whole milliseconds, 0 to 86400000 (a day), "10000"
 *       How long a commit through a "file" URL waits for a repository that
 *       another committer holds before it fails as busy.
 *   config:auth:store-passwords   yes/no (also true/false, on/off), "yes"
 *       Whether credentials a server accepted are cached under auth/.
 *   config:https:ca-file          a file name, "" (none)
 *       A PEM file of certificate authorities trusted for https:// servers
 *       in addition to the system's.
 */
#ifndef OSTREL_CONFIG_H
#define OSTREL_CONFIG_H

#include <apr_hash.h>
#include <apr_tables.h>

#include "ostrel_error.h"

#ifdef __cplusplus
extern "C" {
#endif

/* One configuration file: sections of options with their values. */
typedef struct ostrel_config ostrel_config;

/* File, section and option names of the known options. */
#define OSTREL_CONFIG_CATEGORY_CONFIG "config"
#define OSTREL_CONFIG_SECTION_LOCAL "local"
#define OSTREL_CONFIG_OPTION_BUSY_TIMEOUT "busy-timeout-ms"
#define OSTREL_CONFIG_SECTION_AUTH "auth"
#define OSTREL_CONFIG_OPTION_STORE_PASSWORDS "store-passwords"
#define OSTREL_CONFIG_SECTION_HTTPS "https"
#define OSTREL_CONFIG_OPTION_CA_FILE "ca-file"

/* One parsed "FILE:SECTION:OPTION=[VALUE]" argument (VALUE may be empty). */
typedef struct ostrel_cmdline__config_argument {
  const char *file;
  const char *section;
  const char *option;
  const char *value;
} ostrel_cmdline__config_argument;

/* Parses OPT_ARG ("FILE:SECTION:OPTION=[VALUE]") and appends a new
 * ostrel_cmdline__config_argument * (allocated in POOL) to CONFIG_OPTIONS.
 * FILE, SECTION and OPTION must be non-empty and OPTION must not contain ':';
 * VALUE may be empty and may contain ':' and '='.  Anything else is error
 * OSTREL_ERR_BAD_CONFIG_OPTION with a message that shows the expected form;
 * CONFIG_OPTIONS is then unchanged.  Whether the file, section and option
 * exist is checked later, by ostrel_cmdline__apply_config_options. */
ostrel_error *ostrel_cmdline__parse_config_option(apr_array_header_t *config_options,
                                                  const char *opt_arg, apr_pool_t *pool);

/* Reads the configuration in CONFIG_DIR (NULL: the default directory) into
 * *CFG_HASH, a hash from file name (OSTREL_CONFIG_CATEGORY_*) to
 * ostrel_config *, every known file present (a missing file means all
 * defaults).  When the directory does not exist it is made, with a commented
 * template of every file; when it cannot be made, the defaults stand.
 * Everything lives in POOL. */
ostrel_error *ostrel_config_get_config(apr_hash_t **cfg_hash, const char *config_dir,
                                       apr_pool_t *pool);

/* Applies the overrides CONFIG_OPTIONS (an array of
 * ostrel_cmdline__config_argument *) to CONFIG (from ostrel_config_get_config),
 * in order, a later one winning.  An empty VALUE restores the option's
 * default.  Refusals (see above) name ARGUMENT_NAME (for example
 * "--config-option") and the argument.  PREFIX names the calling tool as its
 * error prefix does; the library prints nothing, so it is not used in the
 * returned messages.  On failure the overrides before the refused one stay
 * applied. */
ostrel_error *ostrel_cmdline__apply_config_options(apr_hash_t *config,
                                                   const apr_array_header_t *config_options,
                                                   const char *prefix, const char *argument_name);

/* The value of SECTION:OPTION in CFG, or DEFAULT_VALUE when it is not set.
 * CFG may be NULL (then DEFAULT_VALUE).  The result lives as long as CFG. */
const char *ostrel_config_get(ostrel_config *cfg, const char *section, const char *option,
                              const char *default_value);

/* Sets SECTION:OPTION of CFG to VALUE (NULL: back to its default), after
 * checking that the option is known and the value valid for it.  Refusals
 * name CFG's file, SECTION and OPTION. */
ostrel_error *ostrel_config_set(ostrel_config *cfg, const char *section, const char *option,
                                const char *value);

/* One option of a configuration file that a program reads with the
 * library's rules (ostrel_config_read_file).  VALIDATE returns NULL when
 * VALUE is acceptable, else what is wrong with it ("expected ..."); BATON
 * is the entry's own and may be NULL. */
typedef struct ostrel_config_known_option {
  const char *section;
  const char *option;
  const char *(*validate)(const char *value, const void *baton);
  const void *baton;
} ostrel_config_known_option;

/* Reads the configuration file PATH, whose sections and options are the
 * N_KNOWN entries of KNOWN, into *CFG (in POOL), by the rules of the
 * library's own files: the same format, and the same refusals of an unknown
 * section or option, a malformed line and an invalid value, naming PATH and
 * the line.  A file that is missing, unreadable or no regular file is
 * OSTREL_ERR_BAD_CONFIG_FILE naming PATH.  Read values with
 * ostrel_config_get. */
ostrel_error *ostrel_config_read_file(ostrel_config **cfg, const char *path,
                                      const ostrel_config_known_option *known, int n_known,
                                      apr_pool_t *pool);

/* The default configuration directory: $HOME/.ostrel, or the running user's
 * home directory from the user database followed by "/.ostrel"; an error when
 * neither is known. */
ostrel_error *ostrel_config_default_dir(const char **dir, apr_pool_t *pool);

#ifdef __cplusplus
}
#endif

#endif /* OSTREL_CONFIG_H */
