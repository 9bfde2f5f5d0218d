#pragma once

#include <QString>
#include <QStringList>
#include <memory>
#include <vector>

#include "dsp/DspHost.h"
#include "dsp/PluginChain.h"
#include "dsp/WinampDsp.h"

class QWidget;

namespace qvm {

class LadspaEffect;

// One load, active or not (DspPlugin). Index i of the loaded list belongs to
// the i-th configured name.
struct DspPlugin {
    QString Name;  // as passed to LoadPlugin, cut to 128 bytes
    bool Active = false;
    void* Library = nullptr;  // dlopen handle while loaded
    winampDSPModule* Module = nullptr;
    winampDSPHeader* Header = nullptr;
    std::shared_ptr<LadspaEffect> Ladspa;  // for "library.so:label" names
    std::shared_ptr<DspStage> Stage;       // what the chain runs while Active
    QString Error;                         // why it is not active
};

// The DSP plug-in host (QVPlugIns): version-2 DSP plug-ins (dsp*.so in the
// plug-in folder) and LADSPA plug-ins ("library.so:label" from the LADSPA
// folders), chained in load order over the channel on air.
//
// UI thread, except RunPlugins and the chain from Chain(), which the mixer
// calls; they never wait for the UI thread. Unloading waits for a chain pass
// that is still running (one block), never for the next one.
class QVPlugIns final : public IDspHost {
  public:
    // LADSPA control values are kept in `controlsFile` (an INI file, one
    // section per plug-in name); empty: not kept.
    explicit QVPlugIns(QString controlsFile = QString());
    ~QVPlugIns() override;
    QVPlugIns(const QVPlugIns&) = delete;
    QVPlugIns& operator=(const QVPlugIns&) = delete;

    // hwndParent of every module initialised from now on (the main window's
    // native id, or null), and the parent of the configuration dialogs.
    void setParentWindow(void* nativeWindow, QWidget* dialogParent);

    void InitPlugins() override;
    void ScanPlugins(const QString& folder) override;
    QStringList FoundPlugins() const override { return m_found; }
    bool LoadPlugin(const QString& folder, const QString& name) override;
    void UnloadPlugin(int index) override;
    void ConfigPlugin(int index) override;
    QList<LoadedPluginInfo> LoadedPlugins() const override;
    void FreePlugins() override;
    DspChain Chain() override;

    const std::vector<std::unique_ptr<DspPlugin>>& Loaded() const { return m_loaded; }

    // Mixer thread: the chain over one block (length in bytes).
    void RunPlugins(std::int16_t* samples, std::uint32_t bytes, std::uint32_t freq,
                    std::uint32_t chans);

  private:
    // Publishes the active records' stages, leaving out `skip`.
    bool publish(const DspPlugin* skip = nullptr);
    void restoreControls(const DspPlugin& record);
    void saveControls(const DspPlugin& record);

    QString m_controlsFile;
    void* m_nativeWindow = nullptr;
    QWidget* m_dialogParent = nullptr;
    QStringList m_found;
    std::vector<std::unique_ptr<DspPlugin>> m_loaded;
    PluginChain m_chain;
};

}  // namespace qvm
