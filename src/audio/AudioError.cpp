#include "audio/AudioError.h"

#include <cerrno>

extern "C" {
#include <libavutil/error.h>
}

#include "audio/AudioEngine.h"

namespace qvm::audio {

namespace {
thread_local std::int32_t t_lastError = kErrOk;
}

void SetLastError(std::int32_t code) {
    t_lastError = code;
}

std::int32_t LastError() {
    return t_lastError;
}

std::int32_t ErrorFromAv(int averror) {
    switch (averror) {
        case 0:
            return kErrOk;
        case AVERROR(ETIMEDOUT):
            return kErrTimeout;
        case AVERROR(ENOMEM):
            return kErrMemory;
        case AVERROR_INVALIDDATA:
        case AVERROR_EOF:
        case AVERROR_STREAM_NOT_FOUND:
        case AVERROR_DEMUXER_NOT_FOUND:
            // The server answered, but with nothing we can play.
            return kErrFileForm;
        case AVERROR_DECODER_NOT_FOUND:
        case AVERROR_PATCHWELCOME:
            return kErrCodec;
        default:
            // Refused, unknown host, HTTP error statuses, resets, unknown
            // protocols: the stream cannot be opened.
            return kErrFileOpen;
    }
}

}  // namespace qvm::audio
