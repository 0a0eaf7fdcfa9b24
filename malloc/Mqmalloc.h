// Mqmalloc.h -- the allocation wrappers every model allocation goes through.
//
// Mqmalloc, Mqcalloc, Mqrealloc and Mqmemalign pass straight to the standard
// allocator (Mqcalloc zero-fills and refuses a size product that overflows);
// the init, shutdown and block-check members of the family do nothing.
// Model code calls Mqcalloc_checked, which never returns null: it reports
// "Out of memory" and ends the program instead.
#ifndef HYBFIT_MQMALLOC_H
#define HYBFIT_MQMALLOC_H

#include <cstddef>

void MqmallocInit(void *mem, unsigned size, int semid, int semnum, int debug);
void MqmallocAssertMemory(void *start);
void MqmallocShutDown();
void *Mqmalloc(unsigned long n);
int Mqfree(void *p);
void *Mqrealloc(void *p, unsigned long n);
void *Mqmemalign(unsigned long alignment, unsigned long size);
void *Mqcalloc(unsigned long nelems, unsigned long elsize);
void MqmallocCheckBlock(void *p, const char *str);
void MqmallocWatchBlock(void *p, const char *str);
void MqmallocCheckWatched(const char *title);

// Mqcalloc that prints "Out of memory\n" on stderr and exits with status 1
// instead of returning null.
void *Mqcalloc_checked(unsigned long nelems, unsigned long elsize);

#endif
