/* The version-2 DSP plug-in interface as a C ABI for Linux: a shared library
 * named dsp*.so exports winampDSPGetHeader2, which returns the header; the
 * header's getModule(0) returns the module the player drives. The layouts are
 * the published ones, except that the window and instance handles are
 * pointer-sized. Plug-ins written in C include this file as it is;
 * docs/plugins.md describes every member. */
#ifndef QVM_WINAMP_DSP_H
#define QVM_WINAMP_DSP_H

#ifdef __cplusplus
extern "C" {
#endif

#define DSP_HDRVER 0x20

typedef struct winampDSPModule {
    char* description;
    void* hwndParent;   /* the player's main window (X11 window id), or 0 */
    void* hDllInstance; /* the handle dlopen returned for this library */
    void (*Config)(struct winampDSPModule* this_mod);
    int (*Init)(struct winampDSPModule* this_mod); /* 0: ready */
    /* Processes numsamples frames of nch interleaved channels in place. The
     * buffer has room for twice as many frames; the result is not used. */
    int (*ModifySamples)(struct winampDSPModule* this_mod, short* samples, int numsamples, int bps,
                         int nch, int srate);
    void (*Quit)(struct winampDSPModule* this_mod);
    void* userData;
} winampDSPModule;

typedef struct winampDSPHeader {
    int version; /* DSP_HDRVER */
    char* description;
    winampDSPModule* (*getModule)(int);
} winampDSPHeader;

typedef winampDSPHeader* (*winampDSPGetHeaderType)(void);

#ifdef __cplusplus
}
#endif

#endif
