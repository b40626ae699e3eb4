/* ostrel_config.h: configuration files and configuration options.
 *
 * The configuration lives in a directory (default: ~/.ostrel) holding INI-style
 * files; a configuration is the set of those files, each a set of sections of
 * OPTION = VALUE lines.  Command-line options "FILE:SECTION:OPTION=[VALUE]"
 * override single values.
 */
#ifndef OSTREL_CONFIG_H
#define OSTREL_CONFIG_H

#include <apr_hash.h>
#include <apr_tables.h>

#include "ostrel_error.h"

#ifdef __cplusplus
extern "C" {
#endif

/* One parsed "FILE:SECTION:OPTION=[VALUE]" argument (VALUE may be empty). */
typedef struct ostrel_cmdline__config_argument {
  const char *file;
  const char *section;
  const char *option;
  const char *value;
} ostrel_cmdline__config_argument;

#ifdef __cplusplus
}
#endif

#endif /* OSTREL_CONFIG_H */
