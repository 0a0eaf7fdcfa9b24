// error.h -- the two-line formatted error reporter.
#ifndef HYBFIT_ERROR_H
#define HYBFIT_ERROR_H

// Size of each report line and of the directive buffer, terminator included.
enum { ERROR_LINE_SIZE = 1024 };

// Reports that operation pchar_proc failed with pchar_msg, plus a detail line
// formatted from pchar_fmt (null counts as empty) and the arguments.  Both
// lines are appended to "vorlan.error" and written to stderr; the caller
// decides whether to go on.
void Error(const char *pchar_proc, const char *pchar_msg, const char *pchar_fmt, ...);

// Parses the directive at the start of pchar_fmtstr into pchar_next_fmt
// (ERROR_LINE_SIZE bytes): [0] the conversion character (0 when invalid or
// absent), from [1] the directive's text.
void GetNextFormat(const char *pchar_fmtstr, char *pchar_next_fmt);

#endif
