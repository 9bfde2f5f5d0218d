#pragma once

#include <cstdint>

namespace qvm::audio {

// The error code of the calling thread's last engine call (0 after a success).
void SetLastError(std::int32_t code);
std::int32_t LastError();

// Maps an FFmpeg error (AVERROR) met while opening or reading a network
// stream onto the engine's error codes.
std::int32_t ErrorFromAv(int averror);

}  // namespace qvm::audio
