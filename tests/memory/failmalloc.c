/* Fails one chosen allocation of the process: the k-th call after failmalloc_arm(k) (counting
   from 0) of malloc, calloc, realloc or an aligned allocation returns NULL with errno ENOMEM.
   Loaded with LD_PRELOAD into a child interpreter that runs with PYTHONMALLOC=malloc, so that
   Python's objects, the C++ runtime of the module and everything else allocate through here.
   Single-threaded use only. */
#define _GNU_SOURCE
#include <errno.h>
#include <stddef.h>

extern void *__libc_malloc(size_t);
extern void *__libc_calloc(size_t, size_t);
extern void *__libc_realloc(void *, size_t);
extern void *__libc_memalign(size_t, size_t);

static long countdown = -1; /* allocations to let through before the failing one; -1: off */
static int fired;

void failmalloc_arm(long k) {
  fired = 0;
  countdown = k;
}

/* Disarms; returns 1 when the chosen allocation was failed. */
int failmalloc_disarm(void) {
  countdown = -1;
  return fired;
}

static int fail_now(void) {
  if (countdown < 0) return 0;
  if (countdown-- > 0) return 0;
  fired = 1; /* countdown is -1 now: one failure per arming */
  errno = ENOMEM;
  return 1;
}

void *malloc(size_t n) { return fail_now() ? NULL : __libc_malloc(n); }
void *calloc(size_t count, size_t n) { return fail_now() ? NULL : __libc_calloc(count, n); }
void *realloc(void *p, size_t n) {
  if (p != NULL && n == 0) return __libc_realloc(p, n); /* a free, not an allocation */
  return fail_now() ? NULL : __libc_realloc(p, n);
}
void *memalign(size_t align, size_t n) { return fail_now() ? NULL : __libc_memalign(align, n); }
void *aligned_alloc(size_t align, size_t n) { return memalign(align, n); }
int posix_memalign(void **out, size_t align, size_t n) {
  void *p = memalign(align, n);
  if (p == NULL) return ENOMEM;
  *out = p;
  return 0;
}
