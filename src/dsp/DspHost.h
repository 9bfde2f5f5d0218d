#pragma once

#include <QList>
#include <QString>
#include <QStringList>
#include <cstdint>
#include <functional>

namespace qvm {

// The plug-in chain over one block of the channel on air: interleaved 16-bit
// samples of `chans` channels at `freq` Hz, changed in place. Mixer thread.
using DspChain = std::function<void(std::int16_t* samples, std::uint32_t bytes, std::uint32_t freq,
                                    std::uint32_t chans)>;

// One record of the loaded plug-ins, as the settings dialog lists them.
struct LoadedPluginInfo {
    QString name;
    bool active = false;
    QString error;  // why it is not active
};

// The DSP plug-in host as the player and the settings dialog drive it. UI
// thread, except the chain, which runs on the mixer thread.
class IDspHost {
  public:
    virtual ~IDspHost() = default;
    virtual void InitPlugins() = 0;
    // Lists the plug-ins a folder offers (FoundPlugins).
    virtual void ScanPlugins(const QString& folder) = 0;
    virtual QStringList FoundPlugins() const = 0;
    // Appends one record, also for a plug-in that fails; true when it runs.
    virtual bool LoadPlugin(const QString& folder, const QString& name) = 0;
    virtual void UnloadPlugin(int index) = 0;
    virtual void ConfigPlugin(int index) = 0;
    virtual QList<LoadedPluginInfo> LoadedPlugins() const = 0;
    virtual void FreePlugins() = 0;
    // The chain over the block of the channel on air; empty for none. Asked
    // once, after the plug-ins are loaded and before any channel plays; it
    // follows later loads and unloads by itself.
    virtual DspChain Chain() = 0;
};

}  // namespace qvm
