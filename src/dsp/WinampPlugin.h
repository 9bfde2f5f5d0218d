#pragma once

#include <QString>
#include <cstdint>
#include <memory>
#include <vector>

#include "dsp/PluginChain.h"
#include "dsp/WinampDsp.h"

namespace qvm {

// Runs a version-2 DSP module in the chain. The interface promises the module
// room for twice the frames it is given (a plug-in may stretch the block),
// and a plug-in that fails must leave the block whole, so the module works on
// a copy that is taken back only when it returns.
class WinampStage final : public DspStage {
  public:
    explicit WinampStage(winampDSPModule* module) : m_module(module) {}
    void Process(std::int16_t* samples, std::uint32_t frames, std::uint32_t rate,
                 std::uint32_t chans) override;

  private:
    winampDSPModule* m_module;
    std::vector<std::int16_t> m_work;  // mixer thread; grows to the largest block
};

// A dsp*.so library opened and initialised in the interface's order:
// winampDSPGetHeader2, getModule(0), the parent window and instance, Init.
struct WinampLoad {
    void* library = nullptr;  // dlopen handle; null when nothing stays loaded
    winampDSPHeader* header = nullptr;
    winampDSPModule* module = nullptr;
    bool active = false;  // Init returned 0
    QString error;        // why it is not active
};
WinampLoad LoadWinampPlugin(const QString& path, void* parentWindow);

// Quit, then closes the library. Errors the plug-in raises are swallowed.
void UnloadWinampPlugin(const WinampLoad& load);

// Case-insensitive "dsp*.so", the names the plug-in folder offers.
bool IsWinampPluginName(const QString& fileName);

}  // namespace qvm
