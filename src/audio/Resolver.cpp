#include "audio/Resolver.h"

#include <dlfcn.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <system_error>
#include <thread>

#include "audio/NetInput.h"

namespace qvm::audio {

namespace {

thread_local Interrupter* t_guard = nullptr;

LookupFn SystemGetaddrinfo() {
    // The next definition after ours: libc's, or a sanitizer's interceptor in
    // front of it.
    static const auto next = reinterpret_cast<LookupFn>(dlsym(RTLD_NEXT, "getaddrinfo"));
    return next;
}

std::atomic<LookupFn> g_lookup{nullptr};

LookupFn CurrentLookup() {
    const LookupFn lookup = g_lookup.load(std::memory_order_acquire);
    return lookup != nullptr ? lookup : SystemGetaddrinfo();
}

// One lookup handed to a helper thread. Shared by the two threads; the side
// that finishes last frees it, and the helper frees the result when nobody
// waits for it any more.
struct Job {
    std::optional<std::string> node;
    std::optional<std::string> service;
    addrinfo hints{};
    bool hasHints = false;
    LookupFn lookup = nullptr;

    std::mutex mutex;
    std::condition_variable done;
    bool finished = false;       // mutex
    bool abandoned = false;      // mutex
    int rc = EAI_SYSTEM;         // mutex
    addrinfo* result = nullptr;  // mutex
};

constexpr auto kPoll = std::chrono::milliseconds(10);

int GuardedLookup(Interrupter& irq, const char* node, const char* service, const addrinfo* hints,
                  addrinfo** res) {
    // A lookup starts a connection: a new step of the open or the read.
    irq.armStep();
    auto job = std::make_shared<Job>();
    if (node != nullptr) {
        job->node = node;
    }
    if (service != nullptr) {
        job->service = service;
    }
    if (hints != nullptr) {
        job->hints.ai_flags = hints->ai_flags;
        job->hints.ai_family = hints->ai_family;
        job->hints.ai_socktype = hints->ai_socktype;
        job->hints.ai_protocol = hints->ai_protocol;
        job->hasHints = true;
    }
    job->lookup = CurrentLookup();
    try {
        std::thread([job] {
            addrinfo* result = nullptr;
            const int rc = job->lookup(job->node ? job->node->c_str() : nullptr,
                                       job->service ? job->service->c_str() : nullptr,
                                       job->hasHints ? &job->hints : nullptr, &result);
            std::lock_guard lock(job->mutex);
            if (job->abandoned) {
                if (rc == 0 && result != nullptr) {
                    freeaddrinfo(result);
                }
            } else {
                job->rc = rc;
                job->result = result;
            }
            job->finished = true;
            job->done.notify_all();
        }).detach();
    } catch (const std::system_error&) {
        // No thread to be had: resolve here, as FFmpeg would have.
        return job->lookup(node, service, hints, res);
    }
    std::unique_lock lock(job->mutex);
    while (!job->finished) {
        job->done.wait_for(lock, kPoll);
        if (!job->finished && Interrupter::check(&irq) != 0) {
            job->abandoned = true;
            return EAI_AGAIN;
        }
    }
    *res = job->result;
    return job->rc;
}

}  // namespace

ScopedLookupGuard::ScopedLookupGuard(Interrupter& interrupter) : m_previous(t_guard) {
    t_guard = &interrupter;
}

ScopedLookupGuard::~ScopedLookupGuard() {
    t_guard = m_previous;
}

void SetSystemLookup(LookupFn lookup) {
    g_lookup.store(lookup, std::memory_order_release);
}

}  // namespace qvm::audio

// Every getaddrinfo of the process, FFmpeg's included, comes here first.
extern "C" int getaddrinfo(const char* __restrict node, const char* __restrict service,
                           const addrinfo* __restrict hints, addrinfo** __restrict res) {
    using namespace qvm::audio;
    // A numeric host needs no name server (FFmpeg asks so to tell address
    // literals from names): nothing to wait for.
    const bool numericOnly = hints != nullptr && (hints->ai_flags & AI_NUMERICHOST) != 0;
    if (Interrupter* irq = t_guard; irq != nullptr && !numericOnly) {
        return GuardedLookup(*irq, node, service, hints, res);
    }
    return CurrentLookup()(node, service, hints, res);
}
