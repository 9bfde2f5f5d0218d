#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <memory>
#include <vector>

namespace qvm {

// One plug-in as the chain runs it. Process is called on the mixer thread
// only, one block at a time; it changes `frames` frames of `chans`
// interleaved 16-bit channels in place.
class DspStage {
  public:
    virtual ~DspStage() = default;
    virtual void Process(std::int16_t* samples, std::uint32_t frames, std::uint32_t rate,
                         std::uint32_t chans) = 0;
};

// The plug-ins that run, in order, published by the UI thread and read by the
// mixer without a lock: the mixer never waits for a load or an unload. A
// replaced list is released once no pass can still be using it.
class PluginChain {
  public:
    using Stages = std::vector<std::shared_ptr<DspStage>>;

    // How long Publish waits for a pass still inside the old list.
    static constexpr std::chrono::milliseconds kPassWait{2000};

    PluginChain() = default;
    ~PluginChain();
    PluginChain(const PluginChain&) = delete;
    PluginChain& operator=(const PluginChain&) = delete;

    // UI thread. Replaces the list. True once no pass can use the old list any
    // more; false when a pass stayed inside it for kPassWait (a plug-in that
    // hangs): the old list is then kept until a later call finds no pass
    // running, so its plug-ins must stay loaded.
    bool Publish(Stages stages);

    // Mixer thread. Runs every stage over the block. A stage that throws
    // leaves the block as the stages before it made it; the rest still run.
    void Run(std::int16_t* samples, std::uint32_t frames, std::uint32_t rate,
             std::uint32_t chans) noexcept;

    bool empty() const { return m_current.load(std::memory_order_relaxed) == nullptr; }

  private:
    std::atomic<const Stages*> m_current{nullptr};
    // Passes inside Run. Sequentially consistent with m_current: once Publish
    // has swapped the list and then reads 0 here, no pass holds the old one.
    std::atomic<int> m_passes{0};
    std::vector<const Stages*> m_abandoned;  // UI thread: lists a hung pass held
};

}  // namespace qvm
