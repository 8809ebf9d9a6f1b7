/* motion_probe - logs the arrival time of every pointer motion on an X display, for the input
 * benchmark: XInput2 raw motion events selected on the root window, which every pointer device
 * (XTest's included) produces whatever window is under the pointer.
 *
 *   motion_probe [-d DISPLAY] -o FILE
 *
 * Writes one line per event: its receive time in ns of CLOCK_MONOTONIC, the device, the source
 * device and the kind: m (motion), k/K (key press/release), b/B (button press/release); raw key
 * and button events are selected too, for the single-event latency. Prints "ready" on stdout
 * once selected; runs until SIGINT/SIGTERM.
 */
#define _GNU_SOURCE
#include <X11/Xlib.h>
#include <X11/extensions/XInput2.h>
#include <errno.h>
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
    clock_gettime(CLOCK_MONOTONIC, &t);
    return (long long)t.tv_sec * 1000000000LL + t.tv_nsec;
}

int main(int argc, char **argv) {
    const char *disp = NULL, *out = NULL;
    int opt;
    while ((opt = getopt(argc, argv, "d:o:")) != -1) {
        if (opt == 'd') disp = optarg;
        else if (opt == 'o') out = optarg;
        else {
            fprintf(stderr, "usage: motion_probe [-d DISPLAY] -o FILE\n");
            return 2;
        }
    }
    if (!out) {
        fprintf(stderr, "usage: motion_probe [-d DISPLAY] -o FILE\n");
        return 2;
    }
    struct sigaction sa;
    memset(&sa, 0, sizeof sa);
    sa.sa_handler = on_sig; /* no SA_RESTART: poll returns on the signal */
    sigaction(SIGINT, &sa, NULL);
    sigaction(SIGTERM, &sa, NULL);
    Display *dpy = XOpenDisplay(disp);
    if (!dpy) {
        fprintf(stderr, "motion_probe: cannot open display\n");
        return 1;
    }
    int opcode, event, error, major = 2, minor = 0;
    if (!XQueryExtension(dpy, "XInputExtension", &opcode, &event, &error) ||
        XIQueryVersion(dpy, &major, &minor) != Success) {
        fprintf(stderr, "motion_probe: no XInput2\n");
        return 1;
    }
    unsigned char bits[XIMaskLen(XI_LASTEVENT)] = {0};
    XISetMask(bits, XI_RawMotion);
    XISetMask(bits, XI_RawKeyPress);
    XISetMask(bits, XI_RawKeyRelease);
    XISetMask(bits, XI_RawButtonPress);
    XISetMask(bits, XI_RawButtonRelease);
    XIEventMask mask = {XIAllMasterDevices, sizeof bits, bits};
    XISelectEvents(dpy, DefaultRootWindow(dpy), &mask, 1);
    XSync(dpy, False);
    FILE *f = fopen(out, "w");
    if (!f) {
        fprintf(stderr, "motion_probe: cannot write %s\n", out);
        return 1;
    }
    printf("ready\n");
    fflush(stdout);
    long count = 0;
    while (!stop) {
        while (XPending(dpy) > 0) {
            XEvent ev;
            XNextEvent(dpy, &ev);
            long long t = now_ns();
            if (ev.xcookie.type == GenericEvent && ev.xcookie.extension == opcode &&
                XGetEventData(dpy, &ev.xcookie)) {
                char kind = 0;
                switch (ev.xcookie.evtype) {
                case XI_RawMotion: kind = 'm'; break;
                case XI_RawKeyPress: kind = 'k'; break;
                case XI_RawKeyRelease: kind = 'K'; break;
                case XI_RawButtonPress: kind = 'b'; break;
                case XI_RawButtonRelease: kind = 'B'; break;
                }
                if (kind) {
                    const XIRawEvent *raw = ev.xcookie.data;
                    fprintf(f, "%lld %d %d %c\n", t, raw->deviceid, raw->sourceid, kind);
                    if (kind == 'm') ++count;
                }
                XFreeEventData(dpy, &ev.xcookie);
            }
        }
        struct pollfd p = {ConnectionNumber(dpy), POLLIN, 0};
        poll(&p, 1, 200);
    }
    fclose(f);
    fprintf(stderr, "motion_probe: %ld motion events\n", count);
    XCloseDisplay(dpy);
    return 0;
}
