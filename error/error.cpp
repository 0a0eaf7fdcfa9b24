// error.cpp -- Error, the formatted two-line error reporter, and its own
// directive parser GetNextFormat.
//
// The detail line is formatted one directive at a time so that a format with
// a malformed directive ("%+d", a lone "%") is copied as text rather than
// consuming an argument.  Both lines are capped at 1023 characters.
#include "error.h"

#include <cctype>
#include <cstdarg>
#include <cstdio>
#include <cstring>

static const int line_room = ERROR_LINE_SIZE - 1;
static const char conversions[] = "cdefgiopsuxEGX";
static const char log_file_name[] = "vorlan.error";

void GetNextFormat(const char *pchar_fmtstr, char *pchar_next_fmt) {
  pchar_next_fmt[0] = 0;
  if (*pchar_fmtstr != '%') return;
  int k = 1;
  pchar_next_fmt[k++] = '%';
  const char *p = pchar_fmtstr + 1;
  bool minus = false, digits = false, period = false, length = false;
  for (;;) {
    char c = *p++;
    bool valid = false, done = false;
    if (c == '-') {
      valid = !digits && !period && !minus && !length;
      minus = true;
    } else if (c == '.') {
      valid = !period && !length;
      period = true;
      digits = false;
    } else if (isdigit((unsigned char)c)) {
      valid = !length;
      digits = true;
    } else if (c == 'h' || c == 'l') {
      valid = true;
      length = true;
    } else if (c != 0 && strchr(conversions, c)) {
      pchar_next_fmt[0] = c;
      valid = done = true;
    }
    if (k >= ERROR_LINE_SIZE - 1) {  // directive longer than the buffer
      pchar_next_fmt[0] = 0;
      break;
    }
    pchar_next_fmt[k++] = c;
    if (!valid || done || c == 0) break;
  }
  pchar_next_fmt[k] = 0;
}

// Appends piece to line (cut to room) and returns the room left, which goes
// negative when the piece did not fit.
static int append_cut(char *line, const char *piece, int room) {
  strncat(line, piece, room);
  return room - (int)strlen(piece);
}

static void build_main_line(char *line, const char *proc, const char *msg) {
  strcpy(line, "Error from: ");
  int room = line_room - (int)strlen(line);
  room = append_cut(line, proc ? proc : "", room);
  if (room > 0) room = append_cut(line, ": ", room);
  if (room > 0) append_cut(line, msg ? msg : "", room);
}

// Removes the length letters from a directive: used for the conversions
// whose argument type does not depend on them here (c, s, p).
static void strip_length_letters(char *directive) {
  char *w = directive;
  for (char *r = directive; *r; r++)
    if (*r != 'h' && *r != 'l') *w++ = *r;
  *w = 0;
}

// Formats one argument with a valid directive; returns the full length of the
// result (which may exceed what was stored in out).
static int format_argument(char *out, char *directive, char conversion, va_list *ap) {
  int longs = 0;
  for (const char *q = directive; *q; q++) longs += (*q == 'l');
  switch (conversion) {
    case 'e': case 'f': case 'g': case 'E': case 'G':
      return snprintf(out, ERROR_LINE_SIZE, directive, va_arg(*ap, double));
    case 'c':
      strip_length_letters(directive);
      return snprintf(out, ERROR_LINE_SIZE, directive, va_arg(*ap, int));
    case 's': {
      strip_length_letters(directive);
      const char *s = va_arg(*ap, const char *);
      return snprintf(out, ERROR_LINE_SIZE, directive, s ? s : "(null)");
    }
    case 'p':
      strip_length_letters(directive);
      return snprintf(out, ERROR_LINE_SIZE, directive, va_arg(*ap, void *));
    default:  // d i o u x X: an int unless the directive says long
      if (longs >= 2) return snprintf(out, ERROR_LINE_SIZE, directive, va_arg(*ap, long long));
      if (longs == 1) return snprintf(out, ERROR_LINE_SIZE, directive, va_arg(*ap, long));
      return snprintf(out, ERROR_LINE_SIZE, directive, va_arg(*ap, int));
  }
}

static void build_detail_line(char *line, const char *fmt, va_list *ap) {
  char directive[ERROR_LINE_SIZE];
  char formatted[ERROR_LINE_SIZE];
  int room = line_room, len = 0;
  line[0] = 0;
  const char *p = fmt ? fmt : "";
  while (*p && room > 0) {
    if (*p != '%') {
      line[len++] = *p++;
      line[len] = 0;
      room--;
      continue;
    }
    GetNextFormat(p, directive);
    if (directive[0] == 0) {  // not a directive: keep the "%" as text
      line[len++] = *p++;
      line[len] = 0;
      room--;
      continue;
    }
    p += strlen(directive + 1);
    int n = format_argument(formatted, directive + 1, directive[0], ap);
    room -= n;
    if (room > 0) {
      memcpy(line + len, formatted, n + 1);
      len += n;
    }
  }
}

void Error(const char *pchar_proc, const char *pchar_msg, const char *pchar_fmt, ...) {
  char main_line[ERROR_LINE_SIZE];
  char detail_line[ERROR_LINE_SIZE];
  build_main_line(main_line, pchar_proc, pchar_msg);
  va_list ap;
  va_start(ap, pchar_fmt);
  build_detail_line(detail_line, pchar_fmt, &ap);
  va_end(ap);

  FILE *log = fopen(log_file_name, "a");
  if (log) {
    fprintf(log, "%s\n%s\n", main_line, detail_line);
    fclose(log);
  } else {
    perror("Error");
  }
  fprintf(stderr, "%s\n%s\n", main_line, detail_line);
}
