/* Stand-ins for glibc-internal definitions that its sin and cos sources use. */
#pragma once
#include <errno.h>
#include <stdint.h>

#define attribute_hidden
#ifndef __always_inline
#define __always_inline inline __attribute__((always_inline))
#endif
#ifndef __glibc_likely
#define __glibc_likely(c) __builtin_expect(!!(c), 1)
#define __glibc_unlikely(c) __builtin_expect(!!(c), 0)
#endif
#define __set_errno(e) (errno = (e))
