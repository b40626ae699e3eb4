/* ostrel_error_codes.h: the numeric codes of `ostrel_error`.
 *
 * Codes are grouped by subject in blocks of a thousand.  Codes below 100000 are
 * APR and operating-system statuses carried unchanged (ostrel_error_wrap_apr,
 * ostrel_error_from_errno).  Every code listed here has a default message,
 * which ostrel_strerror() returns and ostrel_handle_error2() prints for a link
 * that carries no message of its own.
 *
 * To add a code: add one OSTREL_ERRDEF line in its block.  Never renumber a
 * code: callers and scripts compare them.
 */
#ifndef OSTREL_ERROR_CODES_H
#define OSTREL_ERROR_CODES_H

/* OSTREL_ERRDEF(name, number, default message) */
#define OSTREL_ERROR_CODE_LIST(OSTREL_ERRDEF)                                                    \
  /* General */                                                                                  \
  OSTREL_ERRDEF(OSTREL_ERR_MALFUNCTION, 120001, "Internal malfunction")                          \
  OSTREL_ERRDEF(OSTREL_ERR_UNSUPPORTED, 120002, "Operation not supported")                       \
  OSTREL_ERRDEF(OSTREL_ERR_CANCELLED, 120003, "Operation cancelled")                             \
  /* Files and streams */                                                                        \
  OSTREL_ERRDEF(OSTREL_ERR_IO, 121001, "Input/output error")                                     \
  OSTREL_ERRDEF(OSTREL_ERR_STREAM_UNEXPECTED_EOF, 121002, "Unexpected end of stream")            \
  OSTREL_ERRDEF(OSTREL_ERR_STREAM_NOT_SUPPORTED, 121003, "Stream does not support this call")    \
  /* Encodings */                                                                                \
  OSTREL_ERRDEF(OSTREL_ERR_NATIVE_ENCODING, 122001, "Text is not valid in the native encoding")  \
  OSTREL_ERRDEF(OSTREL_ERR_INVALID_UTF8, 122002, "Text is not valid UTF-8")                      \
  OSTREL_ERRDEF(OSTREL_ERR_UNKNOWN_ENCODING, 122003, "Unknown character encoding")               \
  /* Properties */                                                                               \
  OSTREL_ERRDEF(OSTREL_ERR_BAD_PROPERTY_NAME, 123001, "Invalid property name")                   \
  OSTREL_ERRDEF(OSTREL_ERR_BAD_PROPERTY_VALUE, 123002, "Invalid property value")                 \
  /* Configuration */                                                                            \
  OSTREL_ERRDEF(OSTREL_ERR_BAD_CONFIG_OPTION, 124001, "Invalid configuration option")            \
  OSTREL_ERRDEF(OSTREL_ERR_BAD_CONFIG_FILE, 124002, "Configuration file cannot be read")         \
  /* Paths and URLs */                                                                           \
  OSTREL_ERRDEF(OSTREL_ERR_BAD_URL, 125001, "Invalid URL")                                       \
  OSTREL_ERRDEF(OSTREL_ERR_BAD_PATH, 125002, "Invalid path")                                     \
  OSTREL_ERRDEF(OSTREL_ERR_PATH_HAS_DOTDOT, 125003, "Path contains a '..' segment")              \
  /* Repository storage (fs) */                                                                  \
  OSTREL_ERRDEF(OSTREL_ERR_FS_GENERAL, 160000, "Repository storage error")                       \
  OSTREL_ERRDEF(OSTREL_ERR_FS_NO_SUCH_REVISION, 160006, "No such revision")                      \
  OSTREL_ERRDEF(OSTREL_ERR_FS_NOT_FOUND, 160013, "Path not found")                               \
  OSTREL_ERRDEF(OSTREL_ERR_FS_NOT_DIRECTORY, 160016, "Not a directory")                          \
  OSTREL_ERRDEF(OSTREL_ERR_FS_NOT_FILE, 160017, "Not a file")                                    \
  OSTREL_ERRDEF(OSTREL_ERR_FS_ALREADY_EXISTS, 160020, "Path already exists")                     \
  OSTREL_ERRDEF(OSTREL_ERR_FS_OUT_OF_DATE, 160024, "Transaction is out of date")                 \
  OSTREL_ERRDEF(OSTREL_ERR_FS_CORRUPT, 160030, "Repository is damaged")                          \
  OSTREL_ERRDEF(OSTREL_ERR_FS_BUSY, 160031, "Repository is busy")                                \
  OSTREL_ERRDEF(OSTREL_ERR_FS_BAD_FORMAT, 160032, "Unsupported repository format")               \
  OSTREL_ERRDEF(OSTREL_ERR_FS_TXN_DEAD, 160033, "Transaction is no longer usable")               \
  OSTREL_ERRDEF(OSTREL_ERR_FS_ROOT_NOT_TXN, 160034, "Root is not a transaction root")            \
  OSTREL_ERRDEF(OSTREL_ERR_FS_FULL, 160035, "No space left for the repository")                  \
  OSTREL_ERRDEF(OSTREL_ERR_FS_UNCERTAIN, 160036, "Outcome of a commit is unknown")               \
  OSTREL_ERRDEF(OSTREL_ERR_FS_NO_SUCH_TRANSACTION, 160037, "No such transaction")                \
  /* Repositories (repos) */                                                                     \
  OSTREL_ERRDEF(OSTREL_ERR_REPOS_NOT_FOUND, 165001, "Repository not found")                      \
  OSTREL_ERRDEF(OSTREL_ERR_REPOS_ALREADY_EXISTS, 165002, "Repository already exists")            \
  OSTREL_ERRDEF(OSTREL_ERR_DUMP_STREAM_DAMAGED, 165003, "Dump stream is damaged")              \
  OSTREL_ERRDEF(OSTREL_ERR_DUMP_STREAM_MISFIT, 165004,                                           \
                "Dump stream does not fit the repository")                                       \
  OSTREL_ERRDEF(OSTREL_ERR_REPOS_HOOK_FAILURE, 165005, "A repository hook refused the change")   \
  OSTREL_ERRDEF(OSTREL_ERR_GIT_STREAM, 165006, "The git export stream cannot be imported")       \
  /* Repository access (ra) */                                                                   \
  OSTREL_ERRDEF(OSTREL_ERR_RA_ILLEGAL_URL, 170000, "Illegal repository URL")                     \
  OSTREL_ERRDEF(OSTREL_ERR_RA_NO_REPOSITORY, 170001, "Unable to find a repository at this URL")  \
  OSTREL_ERRDEF(OSTREL_ERR_RA_UNKNOWN_SCHEME, 170002, "Unrecognised URL scheme")                 \
  OSTREL_ERRDEF(OSTREL_ERR_RA_NOT_SAME_REPOSITORY, 170003,                                       \
                "URL belongs to a different repository")                                         \
  OSTREL_ERRDEF(OSTREL_ERR_RA_CONNECTION, 170004, "Unable to reach the repository server")       \
  OSTREL_ERRDEF(OSTREL_ERR_RA_BAD_ANSWER, 170005,                                                \
                "The server does not speak the repository protocol")                             \
  OSTREL_ERRDEF(OSTREL_ERR_RA_NOT_AUTHORIZED, 170006, "Access to the path is not allowed")        \
  OSTREL_ERRDEF(OSTREL_ERR_RA_BAD_REQUEST, 170007, "Malformed request to the repository server") \
  /* Commit editing (delta) */                                                                   \
  OSTREL_ERRDEF(OSTREL_ERR_DELTA_BAD_CALL, 180001, "Editor call out of order")                   \
  OSTREL_ERRDEF(OSTREL_ERR_DELTA_BAD_WINDOW, 180002, "Text window out of sequence")              \
  OSTREL_ERRDEF(OSTREL_ERR_DELTA_CHECKSUM_MISMATCH, 180003, "Checksum mismatch")                 \
  /* Command-line and arguments */                                                               \
  OSTREL_ERRDEF(OSTREL_ERR_BAD_ARGUMENTS, 200004, "Invalid or missing arguments")                \
  OSTREL_ERRDEF(OSTREL_ERR_VERSION_MISMATCH, 200006, "Incompatible library version")             \
  /* Client */                                                                                   \
  OSTREL_ERRDEF(OSTREL_ERR_BAD_REVISION, 205000, "Invalid revision")                             \
  /* Authentication, authorisation and server certificates */                                    \
  OSTREL_ERRDEF(OSTREL_ERR_AUTHN_FAILED, 215001, "Authentication failed")                        \
  OSTREL_ERRDEF(OSTREL_ERR_AUTHN_NO_CREDENTIALS, 215002, "No credentials to authenticate with")  \
  OSTREL_ERRDEF(OSTREL_ERR_AUTHN_INSECURE, 215003, "Refusing to send a password unprotected")    \
  OSTREL_ERRDEF(OSTREL_ERR_AUTHN_NO_TERMINAL, 215004, "No terminal to ask on")                   \
  OSTREL_ERRDEF(OSTREL_ERR_AUTHZ_DENIED, 215005, "Access denied")                                \
  OSTREL_ERRDEF(OSTREL_ERR_CERT_UNTRUSTED, 215010, "Server certificate is not trusted")          \
  OSTREL_ERRDEF(OSTREL_ERR_CERT_CHANGED, 215011, "Server certificate has changed")               \
  OSTREL_ERRDEF(OSTREL_ERR_CERT_BAD, 215012, "Invalid certificate")

#define OSTREL_ERRDEF_ENUM(name, number, text) name = number,
typedef enum ostrel_errno { OSTREL_ERROR_CODE_LIST(OSTREL_ERRDEF_ENUM) } ostrel_errno;
#undef OSTREL_ERRDEF_ENUM

#endif /* OSTREL_ERROR_CODES_H */
