// pending.cpp -- placeholders for operations that are not built yet.
// Each aborts with a message if called.  Delete a placeholder when its real
// definition lands; this file disappears once everything is built.
#include <cstdio>
#include <cstdlib>

#include "gl.h"
#include "hybroid.h"

#pragma GCC diagnostic ignored "-Wunused-parameter"

[[noreturn]] static void not_built(const char *name) {
  fprintf(stderr, "%s is not built yet\n", name);
  abort();
}

// ---- hybroid ----

// ---- superquadric ----

// ---- gl ----

