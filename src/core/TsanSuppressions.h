#pragma once

// Only for ThreadSanitizer builds. Qt's thread pool (text layout and image
// work of the widgets), glib's event loops (a thread's wake-up descriptor,
// written by the thread that stops it and closed as it ends) and libpulse
// (loaded by ALSA's "pulse" plug-in while PortAudio lists devices) synchronise
// in uninstrumented code, so their own hand-overs would be reported as races. The program and every test define
// __tsan_default_suppressions with this list.
namespace qvm {

inline const char* TsanSuppressions() {
    return "race:libQt6Core.so.6\n"
           "race:libQt6Gui.so.6\n"
           "race:libglib-2.0.so.0\n"
           "race:libpulse.so.0\n"
           "race:libpulsecommon-16.1.so\n"
           "race:libasound_module_pcm_pulse.so\n";
}

}  // namespace qvm
