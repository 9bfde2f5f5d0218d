#include "channel/ConnectThread.h"

#include <exception>

namespace qvm {

TConnectThread::TConnectThread(audio::IAudioEngine& engine, std::string url, bool hls)
    : m_engine(engine), m_url(std::move(url)), m_hls(hls), m_thread([this] { Execute(); }) {}

TConnectThread::~TConnectThread() {
    Abort();
    Join();
}

void TConnectThread::Join() {
    if (m_thread.joinable()) {
        m_thread.join();
    }
}

void TConnectThread::Execute() {
    audio::StreamHandle handle = 0;
    std::int32_t error = 0;
    try {
        handle = m_hls ? m_engine.HlsStreamCreateURL(m_url, &m_abort)
                       : m_engine.StreamCreateURL(m_url, &m_abort);
        if (handle == 0) {
            error = m_engine.ErrorGetCode();
        }
    } catch (const std::exception&) {
        // An engine failure inside the open counts as a failed attempt.
        handle = 0;
        error = m_engine.ErrorGetCode();
    }
    m_handle = handle;
    m_errorCode = error;
    m_done.store(true, std::memory_order_release);
}

}  // namespace qvm
