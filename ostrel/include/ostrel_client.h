/* ostrel_client.h: the client module.  For now it carries its version only. */
#ifndef OSTREL_CLIENT_H
#define OSTREL_CLIENT_H

#include "ostrel_version.h"

#ifdef __cplusplus
extern "C" {
#endif

const ostrel_version *ostrel_client_version(void);

#ifdef __cplusplus
}
#endif

#endif /* OSTREL_CLIENT_H */
