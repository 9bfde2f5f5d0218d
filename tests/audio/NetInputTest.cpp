// The ICY header block FFmpeg hands over, read into the server's header
// lines.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "audio/NetInput.h"

namespace qvm::audio {
namespace {

TEST(IcyHeaders, BlockIsSplitIntoTheServersLines) {
    const struct {
        const char* what;
        std::string block;
        std::vector<std::string> lines;
    } cases[] = {
        {"as FFmpeg gives them",
         "icy-name: Radio One\nicy-genre: Pop\nicy-br: 128\n",
         {"icy-name:Radio One", "icy-genre:Pop", "icy-br:128"}},
        {"only the first blank after the first colon goes",
         "icy-name:  Radio: One\nicy-url: http://radio.example/\n",
         {"icy-name: Radio: One", "icy-url:http://radio.example/"}},
        {"CR LF, and CR CR LF from a text-mode server",
         "icy-br: 128\r\nicy-name: Late\r\r\nicy-genre: Jazz\r\r\r\n",
         {"icy-br:128", "icy-name:Late", "icy-genre:Jazz"}},
        {"empty lines and no end", "\n\r\n\nicy-br: 64", {"icy-br:64"}},
        {"nothing", "", {}},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(IcyHeaderLines(c.block), c.lines) << c.what;
    }
}

}  // namespace
}  // namespace qvm::audio
