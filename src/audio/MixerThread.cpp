#include "audio/MixerThread.h"

#include <pthread.h>
#include <sched.h>

#include <algorithm>

namespace qvm::audio {

void MixerThread::start(std::function<void()> body) {
    m_thread = std::thread([body = std::move(body)] {
        pthread_setname_np(pthread_self(), "qvm-mixer");
        sched_param param{};
        param.sched_priority = std::min(10, sched_get_priority_max(SCHED_FIFO));
        pthread_setschedparam(pthread_self(), SCHED_FIFO, &param);
        body();
    });
}

void MixerThread::stop() {
    {
        std::lock_guard lock(m_mutex);
        m_stop = true;
    }
    m_wake.notify_all();
    if (m_thread.joinable()) {
        m_thread.join();
    }
}

}  // namespace qvm::audio
