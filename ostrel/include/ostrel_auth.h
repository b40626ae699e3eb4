/* ostrel_auth.h: who is talking to a repository.  Conventions as in
 * ostrel_types.h.
 *
 * An authentication baton carries the credentials a tool was given and the
 * rules for finding more.  The access modules need no password today: the
 * local module ("file" URLs) takes the user name as the author of new
 * revisions, and the http module sends it to the server as the author it
 * claims.  The password and the caching flags are kept for authentication,
 * which this build does not have yet, so nothing is ever written to a
 * credential store.
 */
#ifndef OSTREL_AUTH_H
#define OSTREL_AUTH_H

#include <apr_hash.h>

#include "ostrel_error.h"
#include "ostrel_types.h"

#ifdef __cplusplus
extern "C" {
#endif

typedef struct ostrel_auth_baton ostrel_auth_baton;
typedef struct ostrel_config ostrel_config;

/* Asks whether the caller wants the running operation stopped: returns
 * OSTREL_ERR_CANCELLED to stop, NULL to go on. */
typedef ostrel_error *(*ostrel_cancel_func)(void *cancel_baton);

/* Builds in *AB (allocated in POOL) the authentication baton of a console
 * tool from its options:
 *  - USERNAME, PASSWORD: as given on the command line, or NULL.  A NULL
 *    USERNAME means the login name of the user running the tool.  An empty
 *    USERNAME means "no user name": revisions are then made without an
 *    author.
 *  - NON_INTERACTIVE: never prompt (this build never prompts anyway).
 *  - CONFIG_DIR: the configuration directory (NULL: the default one).
 *  - NO_AUTH_CACHE: never store credentials.
 *  - TRUST_SERVER_CERT: accept an unknown server certificate without asking.
 *  - CFG: the "config" file of a configuration (may be NULL).
 *  - CANCEL_FUNC, CANCEL_BATON: how to ask whether to stop (may be NULL).
 * Copies everything it keeps into POOL. */
ostrel_error *ostrel_cmdline_create_auth_baton(ostrel_auth_baton **ab, bool non_interactive,
                                               const char *username, const char *password,
                                               const char *config_dir, bool no_auth_cache,
                                               bool trust_server_cert, ostrel_config *cfg,
                                               ostrel_cancel_func cancel_func, void *cancel_baton,
                                               apr_pool_t *pool);

/* The user name that AB stands for: the given one, else the login name of the
 * running user; NULL when there is none (an empty USERNAME was given, or the
 * login name cannot be found).  The result lives as long as AB. */
const char *ostrel_auth_username(const ostrel_auth_baton *ab);

/* The password given to AB, or NULL. */
const char *ostrel_auth_password(const ostrel_auth_baton *ab);

/* The login name of the user running this process (looked up by user id), in
 * POOL, or NULL when the system has no name for that user. */
const char *ostrel_auth_login_name(apr_pool_t *pool);

#ifdef __cplusplus
}
#endif

#endif /* OSTREL_AUTH_H */
