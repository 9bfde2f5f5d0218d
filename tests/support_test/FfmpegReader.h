#pragma once

#include <chrono>
#include <string>
#include <utility>
#include <vector>

#include "support/AudioAnalysis.h"

namespace qvm::test {

struct ReadOptions {
    double maxSeconds = 30.0;                  // stop after this much decoded audio
    std::chrono::milliseconds timeout{15000};  // the whole read, open included
    bool icy = true;
    std::string userAgent = "QVMirelta";
};

// What libavformat made of a URL, decoded to 16-bit PCM.
struct ReadResult {
    int openError = 0;  // AVERROR of avformat_open_input or of finding a stream; 0 = opened
    std::string openErrorText;
    std::string codec;  // "mp3", "aac", ...
    WavData audio;
    std::string icyHeaders;  // "icy_metadata_headers": "name: value" lines
    // Each new "icy_metadata_packet" with the decoded seconds at which it was seen.
    std::vector<std::pair<double, std::string>> metadata;
    bool endOfStream = false;  // the stream ended (as opposed to reaching maxSeconds)
};

ReadResult ReadStream(const std::string& url, const ReadOptions& options = {});

}  // namespace qvm::test
