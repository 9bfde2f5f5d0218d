/* A minimal DSP plug-in for QV Mirelta: lowers the level by 6 dB.
 *
 *   cc -shared -fPIC -O2 -Wall -I<folder of WinampDsp.h> -o dsp_example.so dsp_example.c
 *
 * Put dsp_example.so into the plug-in folder and add it to the chain. */
#include "WinampDsp.h"

static int init(winampDSPModule* this_mod) {
    (void)this_mod;
    return 0; /* 0: ready to run */
}

static void config(winampDSPModule* this_mod) {
    (void)this_mod; /* nothing to set; a real plug-in opens its own window here */
}

/* Mixer thread, every 20 ms: change the block in place, quickly, without
 * blocking, allocating or waiting for anything. */
static int modify(winampDSPModule* this_mod, short* samples, int numsamples, int bps, int nch,
                  int srate) {
    (void)this_mod;
    (void)bps;   /* always 16 */
    (void)srate; /* the stream's own rate */
    for (int i = 0; i < numsamples * nch; ++i) {
        samples[i] = (short)(samples[i] / 2);
    }
    return numsamples;
}

static void quit(winampDSPModule* this_mod) {
    (void)this_mod; /* free what init took */
}

static winampDSPModule module = {"Minus 6 dB", 0, 0, config, init, modify, quit, 0};

static winampDSPModule* get_module(int which) {
    return which == 0 ? &module : 0;
}

static winampDSPHeader header = {DSP_HDRVER, "Example plug-in", get_module};

__attribute__((visibility("default"))) winampDSPHeader* winampDSPGetHeader2(void) {
    return &header;
}
