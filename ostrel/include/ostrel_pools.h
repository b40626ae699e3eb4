/* ostrel_pools.h: APR pools as the library uses them.
 *
 * Every pool the library creates aborts the process when memory runs out
 * (through the abort function set here): callers never see a NULL from an
 * allocation.
 */
#ifndef OSTREL_POOLS_H
#define OSTREL_POOLS_H

#include <apr_allocator.h>
#include <apr_pools.h>

#ifdef __cplusplus
extern "C" {
#endif

/* Creates a pool under PARENT (NULL: a top-level pool) on ALLOCATOR (NULL: the
 * parent's allocator, or a new one for a top-level pool).  Initialises APR on
 * first use.  Never returns NULL. */
apr_pool_t *ostrel_pool_create_ex(apr_pool_t *parent, apr_allocator_t *allocator);

#define ostrel_pool_create(parent) ostrel_pool_create_ex((parent), NULL)

#ifdef __cplusplus
}
#endif

#endif /* OSTREL_POOLS_H */
