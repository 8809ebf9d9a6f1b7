/* x_probe - the X side of the browser tests and the viewer benchmark.
 *
 *   x_probe [-d DISPLAY] listen FILE     an invisible full-screen input window that takes the
 *                                        focus and logs every key and button event to FILE:
 *                                        "<realtime ns> key|keyup <keysym name>" or
 *                                        "<realtime ns> button|buttonup <n> <root x> <root y>";
 *                                        prints "ready", runs until SIGINT/SIGTERM
 *   x_probe [-d DISPLAY] held            prints the keycodes and buttons held down now, one line
 *                                        "keys: K K ...; buttons: B ..."
 *   x_probe [-d DISPLAY] psnr FILE.png   PSNR (RGB, dB) of the PNG against the root window
 *   x_probe [-d DISPLAY] marker X Y SIZE PERIOD_MS FILE
 *                                        a SIZE×SIZE square at X,Y that turns black and white in
 *                                        turn every PERIOD_MS; logs "<realtime ns> <0|1>" once
 *                                        each change has reached the server
 *
 * Times are CLOCK_REALTIME so that the browser's Date.now()/performance.timeOrigin can be
 * compared with them on the same machine.
 */
#define _GNU_SOURCE
#include <X11/Xlib.h>
#include <X11/Xutil.h>
#include <errno.h>
#include <math.h>
#include <png.h>
#include <poll.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>
#include <unistd.h>

static volatile sig_atomic_t stop;
static void on_sig(int sig) {
  (void)sig;
  stop = 1;
}

static long long now_ns(void) {
  struct timespec t;
  clock_gettime(CLOCK_REALTIME, &t);
  return (long long)t.tv_sec * 1000000000LL + t.tv_nsec;
}

static void catch_signals(void) {
  struct sigaction sa;
  memset(&sa, 0, sizeof sa);
  sa.sa_handler = on_sig; /* no SA_RESTART: poll returns on the signal */
  sigaction(SIGINT, &sa, NULL);
  sigaction(SIGTERM, &sa, NULL);
}

static int listen_mode(Display* dpy, const char* out) {
  FILE* f = fopen(out, "w");
  if (!f) {
    fprintf(stderr, "x_probe: cannot write %s\n", out);
    return 1;
  }
  setvbuf(f, NULL, _IOLBF, 0);
  int scr = DefaultScreen(dpy);
  XSetWindowAttributes a;
  memset(&a, 0, sizeof a);
  a.override_redirect = True;
  a.event_mask =
      KeyPressMask | KeyReleaseMask | ButtonPressMask | ButtonReleaseMask | StructureNotifyMask;
  Window w = XCreateWindow(dpy, RootWindow(dpy, scr), 0, 0, DisplayWidth(dpy, scr),
                           DisplayHeight(dpy, scr), 0, 0, InputOnly, CopyFromParent,
                           CWOverrideRedirect | CWEventMask, &a);
  XMapRaised(dpy, w);
  XSync(dpy, False);
  for (;;) { /* wait until mapped before taking the focus */
    XEvent ev;
    XNextEvent(dpy, &ev);
    if (ev.type == MapNotify) break;
  }
  XSetInputFocus(dpy, w, RevertToParent, CurrentTime);
  XSync(dpy, False);
  printf("ready\n");
  fflush(stdout);
  while (!stop) {
    while (XPending(dpy) > 0) {
      XEvent ev;
      XNextEvent(dpy, &ev);
      long long t = now_ns();
      if (ev.type == KeyPress || ev.type == KeyRelease) {
        char buf[16];
        KeySym sym = NoSymbol;
        XLookupString(&ev.xkey, buf, sizeof buf, &sym, NULL);
        const char* name = XKeysymToString(sym);
        fprintf(f, "%lld %s %s\n", t, ev.type == KeyPress ? "key" : "keyup",
                name ? name : "NoSymbol");
      } else if (ev.type == ButtonPress || ev.type == ButtonRelease) {
        fprintf(f, "%lld %s %u %d %d\n", t, ev.type == ButtonPress ? "button" : "buttonup",
                ev.xbutton.button, ev.xbutton.x_root, ev.xbutton.y_root);
      }
    }
    struct pollfd p = {ConnectionNumber(dpy), POLLIN, 0};
    poll(&p, 1, 200);
  }
  fclose(f);
  return 0;
}

static int held_mode(Display* dpy) {
  char keys[32];
  XQueryKeymap(dpy, keys);
  printf("keys:");
  for (int k = 0; k < 256; ++k)
    if (keys[k / 8] & (1 << (k % 8))) printf(" %d", k);
  Window root, child;
  int rx, ry, wx, wy;
  unsigned mask = 0;
  XQueryPointer(dpy, DefaultRootWindow(dpy), &root, &child, &rx, &ry, &wx, &wy, &mask);
  printf("; buttons:");
  for (int b = 1; b <= 5; ++b)
    if (mask & (Button1Mask << (b - 1))) printf(" %d", b);
  printf("\n");
  return 0;
}

static int psnr_mode(Display* dpy, const char* path) {
  png_image img;
  memset(&img, 0, sizeof img);
  img.version = PNG_IMAGE_VERSION;
  if (!png_image_begin_read_from_file(&img, path)) {
    fprintf(stderr, "x_probe: cannot read %s: %s\n", path, img.message);
    return 1;
  }
  img.format = PNG_FORMAT_RGB;
  unsigned char* rgb = malloc(PNG_IMAGE_SIZE(img));
  if (!rgb || !png_image_finish_read(&img, NULL, rgb, 0, NULL)) {
    fprintf(stderr, "x_probe: cannot decode %s\n", path);
    return 1;
  }
  int scr = DefaultScreen(dpy);
  int W = DisplayWidth(dpy, scr), H = DisplayHeight(dpy, scr);
  if ((int)img.width != W || (int)img.height != H) {
    fprintf(stderr, "x_probe: image %ux%u, screen %dx%d\n", img.width, img.height, W, H);
    return 1;
  }
  XImage* x = XGetImage(dpy, RootWindow(dpy, scr), 0, 0, W, H, AllPlanes, ZPixmap);
  if (!x) return 1;
  double se = 0;
  for (int y = 0; y < H; ++y)
    for (int i = 0; i < W; ++i) {
      unsigned long px = XGetPixel(x, i, y);
      const unsigned char* p = rgb + ((size_t)y * W + i) * 3;
      int d[3] = {(int)((px >> 16) & 255) - p[0], (int)((px >> 8) & 255) - p[1],
                  (int)(px & 255) - p[2]};
      se += d[0] * d[0] + d[1] * d[1] + d[2] * d[2];
    }
  double mse = se / (3.0 * W * H);
  printf("psnr %.2f\n", mse > 0 ? 10 * log10(255.0 * 255.0 / mse) : 99.0);
  XDestroyImage(x);
  free(rgb);
  return 0;
}

static int marker_mode(Display* dpy, int x, int y, int size, int period, const char* out) {
  FILE* f = fopen(out, "w");
  if (!f) return 1;
  setvbuf(f, NULL, _IOLBF, 0);
  int scr = DefaultScreen(dpy);
  XSetWindowAttributes a;
  memset(&a, 0, sizeof a);
  a.override_redirect = True;
  a.background_pixel = BlackPixel(dpy, scr);
  Window w = XCreateWindow(dpy, RootWindow(dpy, scr), x, y, size, size, 0, CopyFromParent,
                           InputOutput, CopyFromParent, CWOverrideRedirect | CWBackPixel, &a);
  XMapRaised(dpy, w);
  GC gc = XCreateGC(dpy, w, 0, NULL);
  XSync(dpy, False);
  printf("ready\n");
  fflush(stdout);
  int on = 0;
  while (!stop) {
    struct timespec d = {period / 1000, (period % 1000) * 1000000L};
    nanosleep(&d, NULL);
    if (stop) break;
    on = !on;
    XRaiseWindow(dpy, w);
    XSetForeground(dpy, gc, on ? WhitePixel(dpy, scr) : BlackPixel(dpy, scr));
    XFillRectangle(dpy, w, gc, 0, 0, size, size);
    XSync(dpy, False);
    fprintf(f, "%lld %d\n", now_ns(), on);
  }
  fclose(f);
  return 0;
}

int main(int argc, char** argv) {
  const char* disp = NULL;
  int opt;
  while ((opt = getopt(argc, argv, "d:")) != -1) {
    if (opt == 'd')
      disp = optarg;
    else
      return 2;
  }
  if (optind >= argc) {
    fprintf(stderr, "usage: x_probe [-d DISPLAY] listen FILE|held|psnr PNG|marker ...\n");
    return 2;
  }
  catch_signals();
  Display* dpy = XOpenDisplay(disp);
  if (!dpy) {
    fprintf(stderr, "x_probe: cannot open display\n");
    return 1;
  }
  const char* mode = argv[optind];
  int n = argc - optind - 1;
  char** args = argv + optind + 1;
  int rc = 2;
  if (!strcmp(mode, "listen") && n == 1)
    rc = listen_mode(dpy, args[0]);
  else if (!strcmp(mode, "held") && n == 0)
    rc = held_mode(dpy);
  else if (!strcmp(mode, "psnr") && n == 1)
    rc = psnr_mode(dpy, args[0]);
  else if (!strcmp(mode, "marker") && n == 5)
    rc = marker_mode(dpy, atoi(args[0]), atoi(args[1]), atoi(args[2]), atoi(args[3]), args[4]);
  else
    fprintf(stderr, "x_probe: bad arguments\n");
  XCloseDisplay(dpy);
  return rc;
}
