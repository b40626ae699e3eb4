/* ostrel_auth.h: who is talking to a repository.  Conventions as in
 * ostrel_types.h.
 *
 * An authentication baton carries the credentials a tool was given and the
 * rules for finding more.  The local access module ("file" URLs) needs no
 * password: it takes the user name as the author of new revisions.  Access
 * modules that talk to a server get credentials for a realm from a chain:
 *   1. the user name and password given to the baton (--username/--password);
 *   2. the credential cache: CONFIG_DIR/auth/, one file per realm (mode
 *      0600, in a directory of mode 0700, written atomically); a cache file
 *      that others may read or write is ignored with a warning;
 *   3. a prompt on the terminal (/dev/tty; the password is not echoed),
 *      never when the baton is non-interactive or there is no terminal.
 * After a refusal (HTTP 401) the chain goes on with a prompt, at most three
 * prompts per realm.  Credentials the server accepted are written to the
 * cache, unless the baton says "no auth cache" or the configuration says
 * [auth] store-passwords = no.
 *
 * Server certificates: a certificate that the system's authorities (plus
 * [https] ca-file) do not vouch for is shown and accepted or refused by the
 * user (once, or for good: then its SHA-256 fingerprint is kept under
 * auth/).  A certificate accepted for good that later changes is refused.
 *
 * The http module also sends the user name as the author it claims: a
 * server without accounts takes it, a server with accounts ignores it.
 *
 * The library prints nothing: warnings go to the baton's warning function,
 * prompts to the terminal.
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
 *  - NON_INTERACTIVE: never prompt.
 *  - CONFIG_DIR: the configuration directory (NULL: the default one).
 *  - NO_AUTH_CACHE: never store credentials.
 *  - TRUST_SERVER_CERT: accept an unknown server certificate without asking.
 *  - CFG: the "config" file of a configuration (may be NULL): its
 *    [auth] store-passwords and [https] ca-file options are used.
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

/* Receives a warning (for example a cache file with loose permissions).  The
 * warning is cleared by the library after the call. */
typedef void (*ostrel_auth_warning_func)(void *baton, const ostrel_error *warning);

/* Sends AB's warnings to FUNC with BATON (FUNC NULL: they are dropped). */
void ostrel_auth_set_warning_func(ostrel_auth_baton *ab, ostrel_auth_warning_func func,
                                  void *baton);

/* --- Talking to the terminal -------------------------------------------- */

/* Writes PROMPT to the terminal (/dev/tty) and reads one line from it, with
 * echo turned off when SECRET (and restored, also when reading fails).  The
 * line, without its end, goes to *ANSWER in POOL.  No terminal:
 * OSTREL_ERR_AUTHN_NO_TERMINAL; end of input before a line:
 * OSTREL_ERR_CANCELLED. */
ostrel_error *ostrel_auth_prompt(const char **answer, const char *prompt, bool secret,
                                 apr_pool_t *pool);

/* --- Credentials ------------------------------------------------------- */

typedef struct ostrel_auth_cred {
  const char *username;
  const char *password;
} ostrel_auth_cred;

/* The walk through the credential chain for one realm. */
typedef struct ostrel_auth_iterstate ostrel_auth_iterstate;

/* The first credentials for REALM (as the server names it) into *CRED, and
 * the state of the walk into *STATE, both in POOL.  Nothing to offer (no
 * password given, none cached, no prompt allowed):
 * OSTREL_ERR_AUTHN_NO_CREDENTIALS naming REALM and what to pass. */
ostrel_error *ostrel_auth_first_credentials(const ostrel_auth_cred **cred,
                                            ostrel_auth_iterstate **state,
                                            ostrel_auth_baton *ab, const char *realm,
                                            apr_pool_t *pool);

/* After the server refused the last credentials: the next ones (from a
 * prompt) into *CRED.  When nothing is left (three prompts made, or no
 * prompt allowed): OSTREL_ERR_AUTHN_FAILED naming the realm. */
ostrel_error *ostrel_auth_next_credentials(const ostrel_auth_cred **cred,
                                           ostrel_auth_iterstate *state, apr_pool_t *pool);

/* After the server accepted the last credentials: keeps them in the cache
 * unless caching is off (then does nothing). */
ostrel_error *ostrel_auth_save_credentials(ostrel_auth_iterstate *state, apr_pool_t *pool);

/* Whether a password may be sent to HOST over SCHEME ("http" or "https"):
 * NULL for https, and for http to a loopback address ("localhost",
 * 127.0.0.0/8, ::1); else OSTREL_ERR_AUTHN_INSECURE saying why, naming
 * URL. */
ostrel_error *ostrel_auth_check_transport(const char *scheme, const char *host, const char *url);

/* --- Server certificates ----------------------------------------------- */

typedef struct ostrel_auth_cert_info {
  const char *subject;      /* one line, RFC 2253 style */
  const char *issuer;
  const char *valid_from;   /* "Dec 10 02:00:00 2026 GMT" */
  const char *valid_until;
  const char *fingerprint;  /* SHA-256 of the DER form, "AB:CD:..." */
} ostrel_auth_cert_info;

/* Describes the DER certificate DER (LEN bytes) in POOL; a certificate that
 * cannot be parsed: OSTREL_ERR_CERT_BAD. */
ostrel_error *ostrel_auth_cert_describe(ostrel_auth_cert_info **info, const unsigned char *der,
                                        apr_size_t len, apr_pool_t *pool);

/* The extra certificate authorities of the configuration ([https] ca-file),
 * or NULL when none is set.  Lives as long as AB. */
const char *ostrel_auth_ca_file(const ostrel_auth_baton *ab);

/* The SHA-256 fingerprint ("AB:CD:...") of the certificate of HOST_PORT
 * accepted for good, in POOL, or NULL when there is none. */
const char *ostrel_auth_pinned_fingerprint(ostrel_auth_baton *ab, const char *host_port,
                                           apr_pool_t *pool);

/* Decides whether to go on talking to the server HOST_PORT ("host:port")
 * whose certificate is DER (LEN bytes).  VERIFIED tells whether the TLS
 * library found the certificate trusted and its name right; PROBLEM (when
 * not VERIFIED) says what it found wrong, in words.
 *  - A fingerprint kept "for good" for HOST_PORT: the same certificate goes
 *    on; any other is refused with OSTREL_ERR_CERT_CHANGED.
 *  - Else a VERIFIED certificate goes on, as does one the user accepted
 *    earlier through AB, or any when AB trusts server certificates.
 *  - Else, non-interactive or without a terminal: OSTREL_ERR_CERT_UNTRUSTED
 *    naming HOST_PORT, PROBLEM and the fingerprint.  Interactive: the
 *    subject, issuer, validity and fingerprint are shown and the user
 *    rejects (OSTREL_ERR_CERT_UNTRUSTED), accepts once (for the life of AB)
 *    or accepts for good (kept under auth/, 0600). */
ostrel_error *ostrel_auth_check_server_cert(ostrel_auth_baton *ab, const char *host_port,
                                            const unsigned char *der, apr_size_t len,
                                            bool verified, const char *problem,
                                            apr_pool_t *pool);

#ifdef __cplusplus
}
#endif

#endif /* OSTREL_AUTH_H */
