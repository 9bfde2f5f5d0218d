/* Test plug-in: halves every sample and records what the host asked of it
 * (the calls in order, the handles it was given, the format of the blocks).
 * Built three ways: the gain (default), one whose Init fails
 * (QVM_INIT_FAILS), and one that exports no header (QVM_NO_HEADER). With
 * QVM_TEST_PLUGIN_LOG set, every note is also appended to that file, for
 * tests that run the player as a separate process; with
 * QVM_TEST_PLUGIN_STALL_MS set, the 100th block takes that long. */
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>

#include "dsp/WinampDsp.h"

#define EXPORT __attribute__((visibility("default")))

static char calls[4096];
static int lastRate;
static int lastChans;
static int lastFrames;
static void* seenInstance;
static void* seenParent;
static long blocks;
static long stallMs;

static void note(const char* what) {
    size_t used = strlen(calls);
    snprintf(calls + used, sizeof calls - used, "%s%s", used > 0 ? " " : "", what);
    const char* path = getenv("QVM_TEST_PLUGIN_LOG");
    if (path != NULL && path[0] != '\0') {
        FILE* f = fopen(path, "a");
        if (f != NULL) {
            fprintf(f, "%s\n", what);
            fclose(f);
        }
    }
}

static void config(winampDSPModule* m) {
    (void)m;
    note("config");
}

static int init(winampDSPModule* m) {
    seenInstance = m->hDllInstance;
    seenParent = m->hwndParent;
    const char* stall = getenv("QVM_TEST_PLUGIN_STALL_MS");
    stallMs = stall != NULL ? atol(stall) : 0;
    note("init");
#ifdef QVM_INIT_FAILS
    return 1;
#else
    return 0;
#endif
}

static int modify(winampDSPModule* m, short* samples, int numsamples, int bps, int nch,
                  int srate) {
    (void)m;
    if (srate != lastRate || nch != lastChans || bps != 16) {
        char line[64];
        snprintf(line, sizeof line, "process:%d:%d:%d", srate, nch, bps);
        note(line);
    }
    lastRate = srate;
    lastChans = nch;
    lastFrames = numsamples;
    if (++blocks == 100 && stallMs > 0) {
        struct timespec pause = {stallMs / 1000, (stallMs % 1000) * 1000000L};
        nanosleep(&pause, NULL);
        note("stalled");
    }
    for (int i = 0; i < numsamples * nch; ++i) {
        samples[i] = (short)(samples[i] / 2);
    }
    return numsamples;
}

static void quit(winampDSPModule* m) {
    (void)m;
    note("quit");
}

static winampDSPModule module = {"Half gain", NULL, NULL, config, init, modify, quit, NULL};

static winampDSPModule* getModule(int which) {
    note(which == 0 ? "module0" : "module?");
    return which == 0 ? &module : NULL;
}

static winampDSPHeader header = {DSP_HDRVER, "QV test plug-in", getModule};

#ifndef QVM_NO_HEADER
EXPORT winampDSPHeader* winampDSPGetHeader2(void) {
    note("header");
    return &header;
}
#endif

/* For the tests, which keep the library loaded themselves. */
EXPORT const char* dsp_test_calls(void) {
    return calls;
}
EXPORT void dsp_test_format(int* rate, int* chans, int* frames) {
    *rate = lastRate;
    *chans = lastChans;
    *frames = lastFrames;
}
EXPORT void* dsp_test_instance(void) {
    return seenInstance;
}
EXPORT void* dsp_test_parent(void) {
    return seenParent;
}
