#include "dsp/PluginChain.h"

#include <thread>

namespace qvm {

PluginChain::~PluginChain() {
    Publish({});
}

bool PluginChain::Publish(Stages stages) {
    const Stages* next = stages.empty() ? nullptr : new Stages(std::move(stages));
    const Stages* old = m_current.exchange(next);
    if (old == nullptr && m_abandoned.empty()) {
        return true;
    }
    const auto deadline = std::chrono::steady_clock::now() + kPassWait;
    while (m_passes.load() != 0) {
        if (std::chrono::steady_clock::now() >= deadline) {
            if (old != nullptr) {
                m_abandoned.push_back(old);  // the pass stuck in it may come back
            }
            return false;
        }
        std::this_thread::sleep_for(std::chrono::microseconds(200));
    }
    for (const Stages* abandoned : m_abandoned) {
        delete abandoned;
    }
    m_abandoned.clear();
    delete old;
    return true;
}

void PluginChain::Run(std::int16_t* samples, std::uint32_t frames, std::uint32_t rate,
                      std::uint32_t chans) noexcept {
    m_passes.fetch_add(1);
    if (const Stages* stages = m_current.load(); stages != nullptr) {
        for (const auto& stage : *stages) {
            try {
                stage->Process(samples, frames, rate, chans);
            } catch (...) {
                // A plug-in that fails costs only its own part of this block.
            }
        }
    }
    m_passes.fetch_sub(1);
}

}  // namespace qvm
