#include "dsp/PlugIns.h"

#include <dlfcn.h>
#include <gtest/gtest.h>

#include <QDir>
#include <QFile>
#include <atomic>
#include <stdexcept>
#include <thread>
#include <vector>

#include "channel/ChannelHarness.h"
#include "dsp/WinampPlugin.h"
#include "support/TempDir.h"

namespace qvm::test {
namespace {

const QString kFolder = QStringLiteral(QVM_TEST_PLUGIN_DIR);

QString PluginPath(const QString& file) {
    return kFolder + QLatin1Char('/') + file;
}

// The test's own hold on a test plug-in: it stays loaded after the host has
// let it go, so what it recorded can still be read.
class PluginProbe {
  public:
    explicit PluginProbe(const QString& file)
        : m_handle(dlopen(PluginPath(file).toUtf8().constData(), RTLD_NOW | RTLD_LOCAL)) {
        EXPECT_NE(m_handle, nullptr) << dlerror();
    }
    ~PluginProbe() {
        if (m_handle != nullptr) {
            dlclose(m_handle);
        }
    }
    PluginProbe(const PluginProbe&) = delete;
    PluginProbe& operator=(const PluginProbe&) = delete;

    void* handle() const { return m_handle; }
    QString calls() const { return QString::fromUtf8(call<const char* (*)()>("dsp_test_calls")()); }
    void* instanceSeen() const { return call<void* (*)()>("dsp_test_instance")(); }
    void* parentSeen() const { return call<void* (*)()>("dsp_test_parent")(); }

  private:
    template <typename F>
    F call(const char* name) const {
        return reinterpret_cast<F>(dlsym(m_handle, name));
    }
    void* m_handle;
};

std::vector<std::int16_t> Block(std::size_t count, std::int16_t value) {
    return std::vector<std::int16_t>(count, value);
}

void RunChain(QVPlugIns& host, std::vector<std::int16_t>& block, std::uint32_t rate,
              std::uint32_t chans) {
    host.RunPlugins(block.data(), static_cast<std::uint32_t>(block.size() * 2), rate, chans);
}

QStringList Names(const QVPlugIns& host) {
    QStringList out;
    for (const LoadedPluginInfo& info : host.LoadedPlugins()) {
        out << info.name + (info.active ? QStringLiteral(" on") : QStringLiteral(" off"));
    }
    return out;
}

TEST(PlugIns, LoadsInTheInterfaceOrderAndKeepsOneRecordPerConfiguredName) {
    const PluginProbe gain(QStringLiteral("dsp_gain.so"));
    const PluginProbe fails(QStringLiteral("dsp_initfail.so"));
    int window = 0;
    QVPlugIns host;
    host.setParentWindow(&window, nullptr);
    host.InitPlugins();

    EXPECT_TRUE(host.LoadPlugin(kFolder, QStringLiteral("dsp_gain.so")));
    EXPECT_FALSE(host.LoadPlugin(kFolder, QStringLiteral("dsp_initfail.so")));
    EXPECT_FALSE(host.LoadPlugin(kFolder, QStringLiteral("dsp_gain.so"))) << "a duplicate";
    EXPECT_FALSE(host.LoadPlugin(kFolder, QStringLiteral("dsp_absent.so")));
    EXPECT_FALSE(host.LoadPlugin(kFolder, QStringLiteral("dsp_noheader.so")));
    EXPECT_FALSE(host.LoadPlugin(kFolder + QStringLiteral("/nowhere"), QStringLiteral("dsp_x.so")));
    EXPECT_FALSE(host.LoadPlugin(kFolder, QString()));
    EXPECT_EQ(Names(host), (QStringList{"dsp_gain.so on", "dsp_initfail.so off",
                                        "dsp_absent.so off", "dsp_noheader.so off"}))
        << "failed loads keep their place; duplicates, a missing folder or name add none";
    EXPECT_EQ(gain.instanceSeen(), gain.handle()) << "hDllInstance is the library's handle";
    EXPECT_EQ(gain.parentSeen(), &window);
    EXPECT_EQ(dlopen(PluginPath(QStringLiteral("dsp_noheader.so")).toUtf8().constData(),
                     RTLD_NOW | RTLD_NOLOAD),
              nullptr)
        << "a library without the interface is not kept loaded";

    // The stream's own format reaches the plug-in; frames count its channels.
    std::vector<std::int16_t> stereo = Block(1764, 1000);
    RunChain(host, stereo, 44100, 2);
    EXPECT_EQ(stereo, Block(1764, 500));
    std::vector<std::int16_t> mono = Block(2205, -1001);
    RunChain(host, mono, 22050, 1);
    EXPECT_EQ(mono, Block(2205, -500));
    int rate = 0;
    int chans = 0;
    int frames = 0;
    reinterpret_cast<void (*)(int*, int*, int*)>(dlsym(gain.handle(), "dsp_test_format"))(
        &rate, &chans, &frames);
    EXPECT_EQ(rate, 22050);
    EXPECT_EQ(chans, 1);
    EXPECT_EQ(frames, 2205);

    host.ConfigPlugin(0);
    host.ConfigPlugin(1);  // inactive: nothing
    host.ConfigPlugin(7);
    host.ConfigPlugin(-1);
    host.UnloadPlugin(5);
    host.UnloadPlugin(-1);
    EXPECT_EQ(host.LoadedPlugins().size(), 4);
    host.UnloadPlugin(1);
    EXPECT_EQ(Names(host),
              (QStringList{"dsp_gain.so on", "dsp_absent.so off", "dsp_noheader.so off"}));

    host.FreePlugins();
    EXPECT_TRUE(host.LoadedPlugins().isEmpty());
    std::vector<std::int16_t> after = Block(1764, 1000);
    RunChain(host, after, 44100, 2);
    EXPECT_EQ(after, Block(1764, 1000)) << "nothing runs once unloaded";
    EXPECT_EQ(
        gain.calls(),
        QStringLiteral("header module0 init process:44100:2:16 process:22050:1:16 config quit"));
    EXPECT_EQ(fails.calls(), QStringLiteral("header module0 init"))
        << "a plug-in whose Init failed is never called again";
}

TEST(PlugIns, TheExampleOfThePluginGuideLoadsAndRuns) {
    QVPlugIns host;
    host.InitPlugins();
    ASSERT_TRUE(host.LoadPlugin(kFolder, QStringLiteral("dsp_example.so")));
    std::vector<std::int16_t> block = Block(1764, -3000);
    RunChain(host, block, 48000, 2);
    EXPECT_EQ(block, Block(1764, -1500));
}

TEST(PlugIns, ScanListsTheFolderLibrariesAndLadspaPluginsWithoutRegardToCase) {
    const TempDir dir;
    const TempDir ladspa;
    const QString gain = PluginPath(QStringLiteral("dsp_gain.so"));
    for (const char* name : {"dsp_b.so", "DSP_a.so", "Dsp_C.SO", ".dsp_hidden.so", "plain.so"}) {
        ASSERT_TRUE(QFile::copy(gain, dir.file(QLatin1String(name))));
    }
    QFile notes(dir.file(QStringLiteral("dsp_notes.txt")));
    ASSERT_TRUE(notes.open(QIODevice::WriteOnly));
    ASSERT_TRUE(QDir(dir.path()).mkdir(QStringLiteral("dsp_folder.so")));
    ASSERT_TRUE(QFile::copy(QStringLiteral("/usr/lib/ladspa/fast_lookahead_limiter_1913.so"),
                            ladspa.file(QStringLiteral("fast_lookahead_limiter_1913.so"))));
    qputenv("LADSPA_PATH", ladspa.path().toUtf8());

    QVPlugIns host;
    host.ScanPlugins(dir.path());
    EXPECT_EQ(host.FoundPlugins(),
              (QStringList{"DSP_a.so", "dsp_b.so", "Dsp_C.SO",
                           "fast_lookahead_limiter_1913.so:fastLookaheadLimiter"}));
    host.ScanPlugins(dir.file(QStringLiteral("gone")));
    EXPECT_TRUE(host.FoundPlugins().isEmpty());
    host.ScanPlugins(QString());
    EXPECT_TRUE(host.FoundPlugins().isEmpty());
    qunsetenv("LADSPA_PATH");
}

// A module whose processing scribbles over its block and then throws, as a
// plug-in written in C++ might.
int ScribbleAndThrow(winampDSPModule*, short* samples, int numsamples, int, int nch, int) {
    for (int i = 0; i < numsamples * nch; ++i) {
        samples[i] = 12345;
    }
    throw std::runtime_error("plug-in failure");
}

int Halve(winampDSPModule*, short* samples, int numsamples, int, int nch, int) {
    for (int i = 0; i < numsamples * nch; ++i) {
        samples[i] = static_cast<short>(samples[i] / 2);
    }
    return numsamples;
}

TEST(PluginChain, AFailingPluginCostsOnlyItsOwnPartOfTheBlock) {
    winampDSPModule failing{};
    failing.ModifySamples = &ScribbleAndThrow;
    winampDSPModule halving{};
    halving.ModifySamples = &Halve;
    PluginChain chain;
    ASSERT_TRUE(chain.Publish(
        {std::make_shared<WinampStage>(&failing), std::make_shared<WinampStage>(&halving)}));
    std::vector<std::int16_t> block = Block(882, 800);
    chain.Run(block.data(), 441, 44100, 2);
    EXPECT_EQ(block, Block(882, 400)) << "the failed plug-in's work is dropped, the next one runs";
}

// A plug-in that hangs inside its block: unloading must not free what the
// hung pass still runs, and must not hang the UI thread for good either.
TEST(PluginChain, APassThatHangsKeepsItsPluginsAndReleasesTheCaller) {
    struct Hanging final : DspStage {
        std::atomic<bool> inside{false};
        std::atomic<bool> release{false};
        void Process(std::int16_t*, std::uint32_t, std::uint32_t, std::uint32_t) override {
            inside = true;
            while (!release) {
                std::this_thread::sleep_for(std::chrono::milliseconds(1));
            }
        }
    };
    auto hanging = std::make_shared<Hanging>();
    PluginChain chain;
    ASSERT_TRUE(chain.Publish({hanging}));
    std::vector<std::int16_t> block = Block(882, 1);
    std::thread mixer([&] { chain.Run(block.data(), 441, 44100, 2); });
    while (!hanging->inside) {
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    const auto start = std::chrono::steady_clock::now();
    EXPECT_FALSE(chain.Publish({}));
    EXPECT_GE(std::chrono::steady_clock::now() - start, PluginChain::kPassWait);
    EXPECT_EQ(hanging.use_count(), 2) << "the list stays while the pass hangs in it";
    hanging->release = true;
    mixer.join();
}

// Loads and unloads while a mixer thread runs the chain without pause: every
// block is either wholly processed or wholly not, and nothing is freed under
// a pass (ThreadSanitizer and AddressSanitizer builds see the rest).
TEST(PlugIns, UnloadWhileTheChainRuns) {
    QVPlugIns host;
    host.InitPlugins();
    std::atomic<bool> stop{false};
    std::atomic<int> halved{0};
    std::atomic<int> whole{0};
    std::atomic<int> torn{0};
    std::thread mixer([&] {
        std::vector<std::int16_t> block;
        while (!stop.load()) {
            block.assign(1764, 1000);
            RunChain(host, block, 44100, 2);
            const bool allHalved =
                std::all_of(block.begin(), block.end(), [](std::int16_t s) { return s == 500; });
            const bool allWhole =
                std::all_of(block.begin(), block.end(), [](std::int16_t s) { return s == 1000; });
            (allHalved ? halved : allWhole ? whole : torn).fetch_add(1);
        }
    });
    for (int i = 0; i < 100; ++i) {
        ASSERT_TRUE(host.LoadPlugin(kFolder, QStringLiteral("dsp_gain.so")));
        std::this_thread::sleep_for(std::chrono::microseconds(300));
        host.UnloadPlugin(0);
    }
    stop = true;
    mixer.join();
    EXPECT_EQ(torn.load(), 0);
    EXPECT_GT(halved.load(), 0);
    EXPECT_GT(whole.load(), 0);
}

// What the studio program gets is the stream before the plug-ins; what is
// played is after them.
using DspTap = ChannelHarness;

TEST_F(DspTap, PluginsChangeWhatPlaysNotWhatTheStudioGets) {
    QVPlugIns host;
    host.InitPlugins();
    ASSERT_TRUE(host.LoadPlugin(kFolder, QStringLiteral("dsp_gain.so")));
    ctx->dspChain = host.Chain();
    TfrChannelForm& onAir = make(0);
    ctx->onAirIndex = 0;
    startPlaying(onAir);

    std::vector<std::int16_t> block = Block(1764, 3000);
    engine.feedDsp(onAir.Stream(), block);
    EXPECT_EQ(block, Block(1764, 1500)) << "played through the plug-in";
    int slot = 0;
    run(10);
    const PcmBlock* sent = ctx->mainQueue.Pop(now(), &slot);
    ASSERT_NE(sent, nullptr);
    EXPECT_EQ(sent->samples()[0], 3000) << "the studio gets the stream's own samples";
    ctx->mainQueue.Release(slot);
    channels.clear();
}

}  // namespace
}  // namespace qvm::test
