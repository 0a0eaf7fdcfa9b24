// Stdmalloc.cpp -- the Mq allocation wrappers over the standard allocator.
//
// The family once fronted a shared-memory allocator; here the bookkeeping
// members do nothing and the allocating ones pass straight through.  The one
// addition is the overflow check in Mqcalloc and the checked variant that
// model code uses, so that no caller ever works with a null pointer.
#include "Mqmalloc.h"

#include <malloc.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

void MqmallocInit(void *, unsigned, int, int, int) {}
void MqmallocAssertMemory(void *) {}
void MqmallocShutDown() {}
void MqmallocCheckBlock(void *, const char *) {}
void MqmallocWatchBlock(void *, const char *) {}
void MqmallocCheckWatched(const char *) {}

void *Mqmalloc(unsigned long n) { return malloc(n); }

int Mqfree(void *p) {
  free(p);
  return 1;
}

void *Mqrealloc(void *p, unsigned long n) { return realloc(p, n); }

void *Mqmemalign(unsigned long alignment, unsigned long size) {
  return memalign(alignment, size);
}

void *Mqcalloc(unsigned long nelems, unsigned long elsize) {
  unsigned long n;
  if (__builtin_mul_overflow(nelems, elsize, &n)) return nullptr;
  void *p = Mqmalloc(n);
  if (p) memset(p, 0, n);
  return p;
}

void *Mqcalloc_checked(unsigned long nelems, unsigned long elsize) {
  void *p = Mqcalloc(nelems, elsize);
  // malloc(0) may legitimately return null; only a real failure is fatal.
  if (!p && nelems != 0 && elsize != 0) {
    fputs("Out of memory\n", stderr);
    exit(1);
  }
  return p;
}
