/* scene - put one of the deterministic frames.h scenes on an X display, animated at a fixed rate.
 *
 *   scene [-d DISPLAY] [-s static|small|video|scroll] [-r FPS]
 *
 * Opens a full-screen override-redirect window and draws frame i = floor(elapsed * FPS) of the
 * scene with XShmPutImage, sending only the rectangles that changed.  A late tick skips ahead
 * (the picture on screen at a given time does not depend on how fast this program runs).
 * Runs until SIGINT/SIGTERM, then prints frames drawn, ticks skipped and its own CPU time.
 */
#define _GNU_SOURCE
#include <X11/Xlib.h>
#include <X11/Xutil.h>
#include <X11/extensions/XShm.h>
#include <sys/ipc.h>
#include <sys/shm.h>
#include <signal.h>
#include <stdio.h>
#include <time.h>
#include <unistd.h>
#include <errno.h>
#include "platform/testing/scenes/frames.h"

static volatile sig_atomic_t stop;
static void on_sig(int sig) { (void)sig; stop = 1; }

static double now_s(void) {
    struct timespec t;
    clock_gettime(CLOCK_MONOTONIC, &t);
    return t.tv_sec + t.tv_nsec * 1e-9;
}

int main(int argc, char **argv) {
    const char *disp = NULL, *sname = "small";
    double fps = 30;
    int opt;
    while ((opt = getopt(argc, argv, "d:s:r:h")) != -1) {
        switch (opt) {
        case 'd': disp = optarg; break;
        case 's': sname = optarg; break;
        case 'r': fps = atof(optarg); break;
        default:
            fprintf(stderr, "usage: %s [-d DISPLAY] [-s static|small|video|scroll] [-r FPS]\n", argv[0]);
            return 2;
        }
    }
    signal(SIGINT, on_sig);
    signal(SIGTERM, on_sig);
    int kind = scene_parse(sname);
    if (kind < 0 || fps <= 0) { fprintf(stderr, "scene: bad scene or rate\n"); return 2; }

    Display *dpy = XOpenDisplay(disp);
    if (!dpy) { fprintf(stderr, "scene: cannot open display\n"); return 1; }
    if (!XShmQueryExtension(dpy)) { fprintf(stderr, "scene: no MIT-SHM\n"); return 1; }
    int scr = DefaultScreen(dpy);
    int W = DisplayWidth(dpy, scr), H = DisplayHeight(dpy, scr);
    Visual *vis = DefaultVisual(dpy, scr);
    if (DefaultDepth(dpy, scr) != 24) { fprintf(stderr, "scene: need a depth-24 screen\n"); return 1; }

    scene_t sc;
    if (scene_init(&sc, kind, W, H) != 0) { fprintf(stderr, "scene: %dx%d too small or no memory\n", W, H); return 1; }

    XSetWindowAttributes wa = {0};
    wa.override_redirect = True;
    wa.background_pixmap = None;
    wa.event_mask = ExposureMask;
    Window win = XCreateWindow(dpy, RootWindow(dpy, scr), 0, 0, W, H, 0, CopyFromParent, InputOutput,
                               CopyFromParent, CWOverrideRedirect | CWBackPixmap | CWEventMask, &wa);
    XMapRaised(dpy, win);
    GC gc = XCreateGC(dpy, win, 0, NULL);

    XShmSegmentInfo shm = {0};
    XImage *img = XShmCreateImage(dpy, vis, 24, ZPixmap, NULL, &shm, W, H);
    if (!img || img->bits_per_pixel != 32) { fprintf(stderr, "scene: XShmCreateImage failed\n"); return 1; }
    shm.shmid = shmget(IPC_PRIVATE, (size_t)img->bytes_per_line * H, IPC_CREAT | 0600);
    if (shm.shmid < 0) { perror("shmget"); return 1; }
    shm.shmaddr = img->data = shmat(shm.shmid, NULL, 0);
    shm.readOnly = False;
    XShmAttach(dpy, &shm);
    XSync(dpy, False);
    shmctl(shm.shmid, IPC_RMID, NULL);
    uint32_t *fb = (uint32_t *)img->data;
    int stride = img->bytes_per_line / 4;

    rect_t dmg[8];
    long drawn = 0, skipped = 0, last = -1;
    double t0 = now_s();
    for (;;) {
        long i;
        if (kind == SC_STATIC && last >= 0) {
            i = 0;
        } else {
            double el = now_s() - t0;
            i = (long)(el * fps);
            if (last >= 0 && i <= last) {
                double due = t0 + (last + 1) / fps;
                struct timespec ts;
                double d = due - now_s();
                if (d > 0) { ts.tv_sec = (time_t)d; ts.tv_nsec = (long)((d - ts.tv_sec) * 1e9); nanosleep(&ts, NULL); }
                if (stop) break;
                continue;
            }
            if (last >= 0) skipped += i - last - 1;
        }
        int n = scene_render(&sc, i, fb, stride, dmg, 8);
        for (int k = 0; k < n; k++)
            XShmPutImage(dpy, win, gc, img, dmg[k].x, dmg[k].y, dmg[k].x, dmg[k].y, dmg[k].w, dmg[k].h, False);
        XSync(dpy, False);
        drawn += n > 0;
        last = i;
        while (XPending(dpy)) {                 /* re-send everything on exposure */
            XEvent ev;
            XNextEvent(dpy, &ev);
            if (ev.type == Expose) XShmPutImage(dpy, win, gc, img, 0, 0, 0, 0, W, H, False);
        }
        if (kind == SC_STATIC) {
            XSync(dpy, False);
            while (!stop) pause();
        }
        if (stop) break;
    }
    struct timespec cpu;
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &cpu);
    fprintf(stderr, "scene %s %dx%d: drawn=%ld skipped=%ld cpu_s=%.3f wall_s=%.3f\n", sname, W, H, drawn, skipped,
            cpu.tv_sec + cpu.tv_nsec * 1e-9, now_s() - t0);
    XShmDetach(dpy, &shm);
    shmdt(shm.shmaddr);
    XCloseDisplay(dpy);
    scene_free(&sc);
    return 0;
}
