#pragma once

#include <QString>
#include <QStringList>
#include <atomic>
#include <cstdint>
#include <memory>
#include <vector>

#include "dsp/PluginChain.h"

struct _LADSPA_Descriptor;

namespace qvm {

// LADSPA plug-ins are named "<library file>:<label>" and found in the folders
// of LADSPA_PATH, or, when it is unset, in the standard LADSPA folders.
QStringList LadspaFolders();
bool IsLadspaName(const QString& name);
// Every plug-in of every library in the folders; a library file name found in
// an earlier folder hides the same name in later ones (the one that loads).
QStringList ListLadspaPlugins(const QStringList& folders);

// One input control port as the configuration dialog offers it. Bounds and
// default are the plug-in's hints, resolved (unbounded sides get a wide range).
struct LadspaControl {
    QString name;
    float minimum = 0.0f;
    float maximum = 1.0f;
    float defaultValue = 0.0f;
    bool toggled = false;
    bool integer = false;
    bool logarithmic = false;
};

// A LADSPA plug-in in the chain: the 16-bit block converted to float and
// back. Mono plug-ins (one audio input, one output) run once per channel;
// stereo ones (two and two) take the first two channels, or the one channel
// of a mono stream on both inputs (their outputs averaged); further channels
// pass unchanged. Instances are made per sample rate and channel count as the
// air brings them (a few are kept, so a switch between two streams does not
// lose the plug-in's state each time).
class LadspaEffect final : public DspStage {
  public:
    // Null, with the reason, for a plug-in whose ports the chain cannot run.
    static std::shared_ptr<LadspaEffect> Create(const _LADSPA_Descriptor* descriptor, QString* why);
    ~LadspaEffect() override;
    LadspaEffect(const LadspaEffect&) = delete;
    LadspaEffect& operator=(const LadspaEffect&) = delete;

    void Process(std::int16_t* samples, std::uint32_t frames, std::uint32_t rate,
                 std::uint32_t chans) override;

    QString title() const;
    const std::vector<LadspaControl>& controls() const { return m_controls; }
    // Any thread; the next block uses the value. Clamped to the bounds.
    float value(std::size_t control) const;
    void setValue(std::size_t control, float value);

  private:
    struct Instance {
        std::uint32_t rate = 0;
        std::uint32_t chans = 0;
        std::vector<void*> handles;
    };

    explicit LadspaEffect(const _LADSPA_Descriptor* descriptor);
    Instance* instanceFor(std::uint32_t rate, std::uint32_t chans);
    void destroy(Instance& instance);

    const _LADSPA_Descriptor* m_descriptor;
    std::vector<unsigned long> m_audioIn;
    std::vector<unsigned long> m_audioOut;
    std::vector<unsigned long> m_controlIn;  // ports of m_controls, in order
    std::vector<LadspaControl> m_controls;
    std::unique_ptr<std::atomic<float>[]> m_values;  // written by the UI thread
    // What the control ports are connected to; never reallocated.
    std::unique_ptr<float[]> m_portValues;

    // Mixer thread.
    std::vector<Instance> m_instances;  // the most recent first
    std::vector<float> m_in[2];
    std::vector<float> m_out[2];
    std::vector<float> m_work;  // the processed block, interleaved
};

// A "library.so:label" plug-in opened from the LADSPA folders.
struct LadspaLoad {
    void* library = nullptr;               // dlopen handle; null when nothing stays loaded
    std::shared_ptr<LadspaEffect> effect;  // null when the plug-in cannot run
    QString error;                         // why not
};
LadspaLoad LoadLadspaPlugin(const QString& name);

}  // namespace qvm
