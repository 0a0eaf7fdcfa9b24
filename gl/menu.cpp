// menu.cpp -- popup menus: the menu-string parser behind defpup, and dopup,
// which shows a menu at the pointer with cascading submenus and runs the
// function bound to the chosen item.
//
// A menu string is a sequence of segments separated by "|": a label (leading
// blanks skipped, trailing blanks kept) and directives "%t" (title), "%F"
// (menu function), "%f" (item function), "%m" (submenu), "%xN" (value).
// gl_parse_menu records, in string order, which directives take an argument,
// and defpup then reads the arguments in that order.
//
// dopup has two ways of choosing.  Normally the right button is still held
// when it is called: the choice is made where the button is released.  If
// the button was already released (a quick click), the menu stays up and the
// next click chooses.  Either way the right-button events that belong to the
// menu are consumed and never reach the queue.
//
// Start with gl_parse_menu, then dopup.
#include <X11/Xutil.h>
#include <X11/keysym.h>
#include <poll.h>

#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "gl_internal.h"

static gl_menu menus[GL_MENUS];  // identifier = index + 1
static int n_menus = 0;

// ---------------------------------------------------------------------------
// Parsing
// ---------------------------------------------------------------------------
static void copy_label(const char *from, size_t len, char *to) {
  if (len >= GL_MENU_LABEL) len = GL_MENU_LABEL - 1;  // over-long labels are cut
  memcpy(to, from, len);
  to[len] = '\0';
}

static int add_arg(gl_menu *menu, char kind) {
  if (menu->n_args >= GL_MENU_ARGS) return -1;
  menu->arg_kind[menu->n_args] = kind;
  return menu->n_args++;
}

// Parses the directives of one segment starting at p (just after its label)
// into item (or the menu's title).  Returns the end of the segment, or null
// when an argument does not fit.
static const char *parse_directives(const char *p, gl_menu *menu, gl_menu_item *item,
                                    int *is_title, int *has_value) {
  while (*p && *p != '|') {
    if (*p != '%') {
      p++;  // blanks between directives, or stray text
      continue;
    }
    char d = p[1];
    p += d ? 2 : 1;
    if (d == 't') {
      *is_title = 1;
    } else if (d == 'F') {
      if ((menu->menu_function_arg = add_arg(menu, 'f')) < 0) return nullptr;
    } else if (d == 'f') {
      if ((item->function_arg = add_arg(menu, 'f')) < 0) return nullptr;
    } else if (d == 'm') {
      if ((item->submenu_arg = add_arg(menu, 'm')) < 0) return nullptr;
    } else if (d == 'x') {
      char *end;
      item->value = strtol(p, &end, 10);
      *has_value = end != p;
      p = end;
    }
  }
  return p;
}

int gl_parse_menu(const char *str, gl_menu *menu) {
  memset(menu, 0, sizeof *menu);
  menu->menu_function_arg = -1;
  const char *p = str ? str : "";
  while (*p) {
    while (*p == ' ' || *p == '\t') p++;
    const char *label = p;
    while (*p && *p != '%' && *p != '|') p++;
    gl_menu_item item;
    memset(&item, 0, sizeof item);
    item.function_arg = item.submenu_arg = -1;
    copy_label(label, (size_t)(p - label), item.label);
    int is_title = 0, has_value = 0;
    p = parse_directives(p, menu, &item, &is_title, &has_value);
    if (!p) return -1;
    if (*p == '|') p++;
    if (is_title) {
      menu->has_title = 1;
      memcpy(menu->title, item.label, sizeof menu->title);
    } else if (item.label[0] || item.function_arg >= 0 || item.submenu_arg >= 0 || has_value) {
      if (menu->n_items >= GL_MENU_ITEMS) return -1;
      if (!has_value) item.value = menu->n_items + 1;  // position, counting from 1
      menu->items[menu->n_items++] = item;
    }
  }
  return 0;
}

gl_menu *gl_find_menu(long id) {
  return (id >= 1 && id <= n_menus) ? &menus[id - 1] : nullptr;
}

void gl_reset_menus() { n_menus = 0; }

long defpup(const char *str, ...) {
  if (n_menus >= GL_MENUS) {
    fprintf(stderr, "defpup: too many menus\n");
    return -1;
  }
  gl_menu *m = &menus[n_menus];
  if (gl_parse_menu(str, m) != 0) {
    fprintf(stderr, "defpup: menu has too many items\n");
    return -1;
  }
  menu_function fns[GL_MENU_ARGS] = {};
  long subs[GL_MENU_ARGS] = {};
  va_list ap;
  va_start(ap, str);
  for (int i = 0; i < m->n_args; i++) {
    if (m->arg_kind[i] == 'f') fns[i] = va_arg(ap, menu_function);
    else subs[i] = va_arg(ap, long);
  }
  va_end(ap);
  if (m->menu_function_arg >= 0) m->menu_fn = fns[m->menu_function_arg];
  for (int i = 0; i < m->n_items; i++) {
    gl_menu_item &it = m->items[i];
    if (it.function_arg >= 0) it.function = fns[it.function_arg];
    if (it.submenu_arg >= 0) it.submenu = subs[it.submenu_arg];
  }
  return ++n_menus;
}

long gl_menu_choose(const gl_menu *menu, int item) {
  if (!menu || item < 0 || item >= menu->n_items) return -1;
  const gl_menu_item &it = menu->items[item];
  if (it.function) return it.function((int)it.value);
  if (menu->menu_fn) return menu->menu_fn((int)it.value);
  return it.value;
}

// ---------------------------------------------------------------------------
// Showing and choosing
// ---------------------------------------------------------------------------
enum { MENU_LEVELS = 8, MENU_PAD = 6 };
// Pointer checks while no event arrives, milliseconds.
static const int kMenuPollMs = 20;

struct menu_level {
  gl_menu *menu;
  Window win;
  XftDraw *xft;
  int x, y, w, h;        // root coordinates, origin top-left
  int highlight;         // item index under the pointer, -1 none
};

struct menu_session {
  menu_level level[MENU_LEVELS];
  int n_levels;
  int row_h;
  Window grab_win;
};

static int title_rows(const gl_menu *m) { return m->has_title ? 1 : 0; }

static int text_width(const char *s) {
  if (!gl_win.font) return 8 * (int)strlen(s);
  XGlyphInfo ext;
  XftTextExtents8(gl_conn.dpy, gl_win.font, (const FcChar8 *)s, (int)strlen(s), &ext);
  return ext.xOff;
}

static int menu_width(const gl_menu *m) {
  int w = m->has_title ? text_width(m->title) : 0;
  for (int i = 0; i < m->n_items; i++) {
    int iw = text_width(m->items[i].label) + (m->items[i].submenu ? text_width("  >") : 0);
    if (iw > w) w = iw;
  }
  return w + 2 * MENU_PAD;
}

static void draw_row(menu_session *s, menu_level *l, int row, const char *text, int bg,
                     const XftColor *fg, int arrow) {
  Display *dpy = gl_conn.dpy;
  XSetForeground(dpy, gl_win.copy_gc, gl_win.menu_pixel[bg]);
  XFillRectangle(dpy, l->win, gl_win.copy_gc, 0, row * s->row_h, (unsigned)l->w,
                 (unsigned)s->row_h);
  if (!gl_win.font) return;
  int base = row * s->row_h + (s->row_h + gl_win.font->ascent - gl_win.font->descent) / 2;
  XftDrawString8(l->xft, fg, gl_win.font, MENU_PAD, base, (const FcChar8 *)text,
                 (int)strlen(text));
  if (arrow)
    XftDrawString8(l->xft, fg, gl_win.font, l->w - MENU_PAD - text_width(">"), base,
                   (const FcChar8 *)">", 1);
}

static void draw_level(menu_session *s, menu_level *l) {
  const gl_menu *m = l->menu;
  if (m->has_title) draw_row(s, l, 0, m->title, MENU_TITLE, &gl_win.menu_xft[MENU_TEXT], 0);
  for (int i = 0; i < m->n_items; i++) {
    int hi = i == l->highlight;
    draw_row(s, l, title_rows(m) + i, m->items[i].label, hi ? MENU_HIGHLIGHT : MENU_BACKGROUND,
             &gl_win.menu_xft[hi ? MENU_BACKGROUND : MENU_TEXT], m->items[i].submenu != 0);
  }
}

// Opens menu m as level k with its top-left corner near (x, y), kept on the
// screen.
static void open_level(menu_session *s, gl_menu *m, int x, int y) {
  Display *dpy = gl_conn.dpy;
  menu_level *l = &s->level[s->n_levels];
  l->menu = m;
  l->highlight = -1;
  l->w = menu_width(m);
  l->h = s->row_h * (title_rows(m) + m->n_items);
  if (l->h < 1) l->h = 1;
  int sw = DisplayWidth(dpy, gl_conn.screen), sh = DisplayHeight(dpy, gl_conn.screen);
  l->x = x + l->w > sw ? sw - l->w : x;
  l->y = y + l->h > sh ? sh - l->h : y;
  if (l->x < 0) l->x = 0;
  if (l->y < 0) l->y = 0;
  XSetWindowAttributes a;
  a.override_redirect = True;
  a.save_under = True;
  a.background_pixel = gl_win.menu_pixel[MENU_BACKGROUND];
  a.border_pixel = gl_win.pixel[0];
  a.event_mask = ExposureMask;
  l->win = XCreateWindow(dpy, RootWindow(dpy, gl_conn.screen), l->x, l->y, (unsigned)l->w,
                         (unsigned)l->h, 1, gl_win.depth, InputOutput, gl_win.visual,
                         CWOverrideRedirect | CWSaveUnder | CWBackPixel | CWBorderPixel |
                             CWEventMask,
                         &a);
  l->xft = XftDrawCreate(dpy, l->win, gl_win.visual, gl_win.colormap);
  XMapRaised(dpy, l->win);
  s->n_levels++;
  draw_level(s, l);
}

static void close_levels_above(menu_session *s, int keep) {
  while (s->n_levels > keep) {
    menu_level *l = &s->level[--s->n_levels];
    XftDrawDestroy(l->xft);
    XDestroyWindow(gl_conn.dpy, l->win);
  }
}

// The level and item under root point (x, y): the deepest level wins where
// cascades overlap.  Returns the level, or -1; *item is -1 on a title.
static int hit_test(const menu_session *s, int x, int y, int *item) {
  for (int k = s->n_levels - 1; k >= 0; k--) {
    const menu_level *l = &s->level[k];
    if (x < l->x || x >= l->x + l->w + 2 || y < l->y || y >= l->y + l->h + 2) continue;
    int row = (y - l->y) / s->row_h - title_rows(l->menu);
    *item = (row >= 0 && row < l->menu->n_items) ? row : -1;
    return k;
  }
  *item = -1;
  return -1;
}

static void set_highlight(menu_session *s, int k, int item) {
  menu_level *l = &s->level[k];
  if (l->highlight == item) return;
  l->highlight = item;
  draw_level(s, l);
}

// Follows the pointer: highlights the item under it and opens or closes the
// cascade of submenus to match.
static void track_pointer(menu_session *s, int x, int y) {
  int item;
  int k = hit_test(s, x, y, &item);
  if (k < 0) return;
  set_highlight(s, k, item);
  long sub_id = item >= 0 ? s->level[k].menu->items[item].submenu : 0;
  gl_menu *sub = gl_find_menu(sub_id);
  if (s->n_levels > k + 1 && s->level[k + 1].menu == sub && sub) return;
  close_levels_above(s, k + 1);
  if (sub && s->n_levels < MENU_LEVELS) {
    const menu_level *l = &s->level[k];
    // The submenu's first item lines up with the item that opened it.
    int row = title_rows(l->menu) + item - title_rows(sub);
    open_level(s, sub, l->x + l->w + 2, l->y + row * s->row_h);
  }
}

static int grab_input(menu_session *s) {
  Display *dpy = gl_conn.dpy;
  unsigned int mask = ButtonPressMask | ButtonReleaseMask | PointerMotionMask;
  for (int attempt = 0; attempt < 50; attempt++) {
    if (XGrabPointer(dpy, s->grab_win, False, mask, GrabModeAsync, GrabModeAsync, None, None,
                     CurrentTime) == GrabSuccess) {
      XGrabKeyboard(dpy, s->grab_win, False, GrabModeAsync, GrabModeAsync, CurrentTime);
      return 1;
    }
    poll(nullptr, 0, kMenuPollMs);
  }
  return 0;
}

static int query_pointer(int *x, int *y, unsigned int *buttons) {
  Window root, child;
  int wx, wy;
  return XQueryPointer(gl_conn.dpy, RootWindow(gl_conn.dpy, gl_conn.screen), &root, &child, x,
                       y, &wx, &wy, buttons);
}

struct menu_choice {
  int done;
  int level, item;       // level -1: nothing chosen
};

static void choose_at(menu_session *s, int x, int y, menu_choice *c) {
  int item;
  int k = hit_test(s, x, y, &item);
  c->done = 1;
  c->level = -1;
  if (k >= 0 && item >= 0 && !gl_find_menu(s->level[k].menu->items[item].submenu)) {
    c->level = k;
    c->item = item;
  }
}

static int is_menu_window(const menu_session *s, Window w) {
  for (int k = 0; k < s->n_levels; k++)
    if (s->level[k].win == w) return k + 1;
  return 0;
}

// One X event while the menu is up.  Events of the program's window go on to
// the normal handler, except right-button events, which belong to the menu.
static void handle_menu_event(menu_session *s, XEvent *ev, int *pressed, int drag,
                              menu_choice *c) {
  int k = is_menu_window(s, ev->xany.window);
  if (ev->type == Expose && k) {
    if (ev->xexpose.count == 0) draw_level(s, &s->level[k - 1]);
  } else if (ev->type == MotionNotify && k) {
    track_pointer(s, ev->xmotion.x_root, ev->xmotion.y_root);
  } else if (ev->type == ButtonPress && k) {
    *pressed = 1;
  } else if (ev->type == ButtonRelease && k) {
    if ((drag && ev->xbutton.button == 3) || (!drag && *pressed))
      choose_at(s, ev->xbutton.x_root, ev->xbutton.y_root, c);
  } else if (ev->type == KeyPress && k) {
    if (XLookupKeysym(&ev->xkey, 0) == XK_Escape) c->done = 1;
  } else if ((ev->type == ButtonPress || ev->type == ButtonRelease) &&
             ev->xbutton.button == 3) {
    // consumed
  } else if (!k) {
    gl_dispatch_event(ev);
  }
}

// Runs the menu until a choice (or none) is made.
static void run_menu(menu_session *s, int drag, menu_choice *c) {
  Display *dpy = gl_conn.dpy;
  int pressed = 0;
  while (!c->done) {
    while (!c->done && XPending(dpy)) {
      XEvent ev;
      XNextEvent(dpy, &ev);
      handle_menu_event(s, &ev, &pressed, drag, c);
    }
    if (c->done) break;
    pollfd p = {ConnectionNumber(dpy), POLLIN, 0};
    poll(&p, 1, kMenuPollMs);
    // Motion or a release may have happened before the grab took effect.
    int x, y;
    unsigned int buttons;
    if (!query_pointer(&x, &y, &buttons)) continue;
    track_pointer(s, x, y);
    if (drag && !(buttons & Button3Mask) && !XPending(dpy)) choose_at(s, x, y, c);
  }
}

static void start_session(menu_session *s, gl_menu *m, int x, int y) {
  memset(s, 0, sizeof *s);
  int fh = gl_win.font ? gl_win.font->ascent + gl_win.font->descent : 12;
  s->row_h = fh + MENU_PAD;
  // The pointer starts on the title (or just above the first item), so a
  // release without moving chooses nothing.
  open_level(s, m, x - menu_width(m) / 2, m->has_title ? y - s->row_h / 2 : y + 2);
  s->grab_win = s->level[0].win;
}

long dopup(long id) {
  gl_menu *m = gl_find_menu(id);
  if (!gl_win.win || !m) return -1;
  Display *dpy = gl_conn.dpy;
  gl_pump_events();
  gl_queue_remove(DEV_RIGHTMOUSE, 0);  // a release already queued belongs to this menu
  int x = 0, y = 0;
  unsigned int buttons = 0;
  query_pointer(&x, &y, &buttons);
  int drag = (buttons & Button3Mask) != 0;
  menu_session s;
  start_session(&s, m, x, y);
  menu_choice c = {0, -1, -1};
  if (grab_input(&s)) run_menu(&s, drag, &c);
  XUngrabKeyboard(dpy, CurrentTime);
  XUngrabPointer(dpy, CurrentTime);
  gl_menu *chosen = c.level >= 0 ? s.level[c.level].menu : nullptr;
  close_levels_above(&s, 0);
  XSync(dpy, False);
  gl_pump_events();
  gl_queue_remove(DEV_RIGHTMOUSE, 0);
  gl_release_keys();
  if (!chosen) return -1;
  return gl_menu_choose(chosen, c.item);
}
