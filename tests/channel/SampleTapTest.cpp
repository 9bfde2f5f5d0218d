#include "channel/SampleTap.h"

#include <numeric>

#include "channel/ChannelHarness.h"

namespace qvm::test {
namespace {

TEST(SampleTap, AmplifiesWithSaturationAndTruncation) {
    struct Case {
        std::int16_t in;
        double gain;
        std::int16_t out;
    };
    const Case cases[] = {{20000, 2.0, 32767}, {-20000, 2.0, -32768}, {1000, 2.0, 2000},
                          {3, 0.5, 1},         {-3, 0.5, -1},         {-32768, 10.0, -32768},
                          {32767, 0.1, 3276},  {12345, 1.0, 12345}};
    for (const Case& c : cases) {
        std::int16_t s = c.in;
        AmplifySamples(&s, 1, c.gain);
        EXPECT_EQ(s, c.out) << c.in << " x " << c.gain;
    }
}

TEST(SampleTap, AmplifierGainFromTenthsOfADecibel) {
    struct Case {
        double dB;
        double gain;
    };
    const Case cases[] = {{0, 1.0}, {6.0206, 2.0}, {20, 10.0}, {35, 10.0}, {-20, 0.1}, {-99, 0.1}};
    for (const Case& c : cases) {
        EXPECT_NEAR(TfrChannelForm::CalcAmplifier(c.dB), c.gain, 1e-4) << c.dB;
    }
}

// 20 ms of 44.1 kHz stereo, every sample `value`.
std::vector<std::int16_t> Block(std::int16_t value) {
    return std::vector<std::int16_t>(1764, value);
}

using ChannelTap = ChannelHarness;

TEST_F(ChannelTap, GainIsAppliedToWhatPlaysAndWhatIsQueued) {
    struct Case {
        std::int16_t amp;  // tenths of a dB
        std::int16_t in;
        std::int16_t out;
    };
    const Case cases[] = {
        {0, 1234, 1234}, {60, 10000, 19952}, {200, 20000, 32767}, {-60, -20000, -10023}};
    for (const Case& c : cases) {
        channels.clear();
        views.clear();
        ChannelSettings data;
        data.Amp = c.amp;
        TfrChannelForm& ch = make(0, data);
        ctx->onAirIndex = 0;
        startPlaying(ch);
        std::vector<std::int16_t> block = Block(c.in);
        ASSERT_TRUE(engine.feedDsp(ch.Stream(), block));
        EXPECT_EQ(block.front(), c.out) << c.amp;
        run(10);
        int slot = 0;
        const PcmBlock* sent = ctx->mainQueue.Pop(now(), &slot);
        ASSERT_NE(sent, nullptr);
        EXPECT_EQ(sent->samples()[0], c.out);
        EXPECT_EQ(sent->Length, 1764 * 2);
        EXPECT_EQ(sent->Freq, 44100);
        EXPECT_EQ(sent->Chans, 2);
        ctx->mainQueue.Release(slot);
    }
}

TEST_F(ChannelTap, BlocksAreDueDelayLaterAndOnlyTheChannelOnAirFeedsTheStudioAndTheChain) {
    int chainCalls = 0;
    ctx->dspChain = [&](std::int16_t* samples, std::uint32_t bytes, std::uint32_t freq,
                        std::uint32_t chans) {
        ++chainCalls;
        EXPECT_EQ(bytes, 1764u * 2);
        EXPECT_EQ(freq, 44100u);
        EXPECT_EQ(chans, 2u);
        samples[0] = 7;  // plug-ins change what is played, not what was queued
    };
    ctx->sendDelay = 500;
    TfrChannelForm& onAir = make(0);
    TfrChannelForm& spare = make(1);
    ctx->onAirIndex = 0;
    startPlaying(onAir);
    startPlaying(spare);

    std::vector<std::int16_t> a = Block(1000);
    std::vector<std::int16_t> b = Block(2000);
    engine.feedDsp(onAir.Stream(), a);
    engine.feedDsp(spare.Stream(), b);
    EXPECT_EQ(a.front(), 7);
    EXPECT_EQ(b.front(), 2000) << "no chain for a channel off air";
    EXPECT_EQ(chainCalls, 1);
    const std::int64_t tapped = now();

    int slot = 0;
    run(490);
    EXPECT_EQ(ctx->mainQueue.Pop(now(), &slot), nullptr) << "not due before Delay";
    run(10);
    const PcmBlock* sent = ctx->mainQueue.Pop(now(), &slot);
    ASSERT_NE(sent, nullptr);
    EXPECT_EQ(sent->Time, tapped + 500);
    EXPECT_EQ(sent->samples()[0], 1000) << "the studio gets the samples before the chain";
    ctx->mainQueue.Release(slot);
    EXPECT_EQ(ctx->mainQueue.Pop(now(), &slot), nullptr) << "nothing from the spare channel";
    EXPECT_EQ(spare.StreamBuffer().Dropped(), 0u);
}

TEST_F(ChannelTap, LongestDelayLosesNoBlock) {
    ctx->sendDelay = 2000;
    TfrChannelForm& ch = make(0);
    ctx->onAirIndex = 0;
    startPlaying(ch);
    // The mixer's pace: one block every 20 ms, for 4 s; the main loop ticks
    // every 10 ms and sends what is due.
    std::vector<std::int64_t> tapped, sent;
    for (int t = 0; t < 6000; t += 10) {
        if (t < 4000 && t % 20 == 0) {
            std::vector<std::int16_t> block = Block(static_cast<std::int16_t>(tapped.size()));
            engine.feedDsp(ch.Stream(), block);
            tapped.push_back(now());
        }
        run(10);
        int slot = 0;
        while (const PcmBlock* b = ctx->mainQueue.Pop(now(), &slot)) {
            EXPECT_EQ(b->samples()[0], static_cast<std::int16_t>(sent.size())) << "in order";
            sent.push_back(b->Time);
            ctx->mainQueue.Release(slot);
        }
    }
    EXPECT_EQ(ch.StreamBuffer().Dropped(), 0u);
    ASSERT_EQ(sent.size(), tapped.size());
    for (std::size_t i = 0; i < sent.size(); ++i) {
        EXPECT_EQ(sent[i], tapped[i] + 2000);
    }
}

TEST_F(ChannelTap, FullQueueDropsTheNewestBlocks) {
    TfrChannelForm& ch = make(0);
    startPlaying(ch);
    // No tick in between: the main thread has stalled.
    for (int i = 0; i < kChannelQueueSlots + 5; ++i) {
        std::vector<std::int16_t> block = Block(static_cast<std::int16_t>(i));
        engine.feedDsp(ch.Stream(), block);
    }
    EXPECT_EQ(ch.StreamBuffer().Dropped(), 5u);
    TStreamABuffer& queue = const_cast<TStreamABuffer&>(ch.StreamBuffer());
    int slot = 0;
    for (int i = 0; i < kChannelQueueSlots; ++i) {
        const PcmBlock* b = queue.Pop(now(), &slot);
        ASSERT_NE(b, nullptr);
        EXPECT_EQ(b->samples()[0], i) << "the queued blocks keep their order";
        queue.Release(slot);
    }
    EXPECT_EQ(queue.Pop(now(), &slot), nullptr);
}

TEST_F(ChannelTap, SilenceDetectorCountsTheRealChannelCount) {
    struct Case {
        std::uint32_t chans;
        int framesPerBlock;
    };
    // 1 s of silence in 20 ms blocks, mono and stereo: detected after 1 s either way.
    const Case cases[] = {{1, 882}, {2, 882}};
    for (const Case& c : cases) {
        channels.clear();
        views.clear();
        events.clear();
        settings.SilenceTime = 1;
        FakeAudioEngine::OpenScript s;
        s.info = {44100, c.chans};
        engine.scriptOpen(s);
        TfrChannelForm& ch = make();
        startPlaying(ch);
        events.clear();
        int blocks = 0;
        while (events.empty() && blocks < 200) {
            std::vector<std::int16_t> block(static_cast<std::size_t>(c.framesPerBlock) * c.chans,
                                            0);
            engine.feedDsp(ch.Stream(), block);
            run(20);
            ++blocks;
        }
        EXPECT_EQ(blocks, 50) << c.chans << " channel(s)";
    }
}

TEST_F(ChannelTap, LevelsFollowTheAudibleStream) {
    struct Case {
        std::uint32_t level;
        double left, right;
    };
    const Case cases[] = {{0, -100, -100},
                          {0xFFFFFFFFu, -100, -100},
                          {(32768u << 16) | 32768u, 0, 0},
                          {(16384u << 16) | 3277u, -20.0, -6.0206}};
    TfrChannelForm& ch = make();
    startPlaying(ch);
    for (const Case& c : cases) {
        engine.setLevel(ch.Stream(), c.level);
        const PeakDb db = ch.Get_Channel_Level();
        EXPECT_NEAR(db.left, c.left, 0.01) << std::hex << c.level;
        EXPECT_NEAR(db.right, c.right, 0.01) << std::hex << c.level;
    }
}

}  // namespace
}  // namespace qvm::test
