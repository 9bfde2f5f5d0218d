#pragma once

#include <dlfcn.h>
#include <netdb.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <thread>

#include "audio/Resolver.h"

namespace qvm::test {

// A name server that never answers, for the engine's lookups of this test
// process: a lookup of a name sleeps until the object goes (then fails, so
// that the threads left behind end); numeric hosts resolve at once.
class HangingResolver {
  public:
    HangingResolver() {
        s_release.store(false);
        audio::SetSystemLookup(&Lookup);
    }
    ~HangingResolver() {
        audio::SetSystemLookup(nullptr);
        s_release.store(true);
    }
    HangingResolver(const HangingResolver&) = delete;
    HangingResolver& operator=(const HangingResolver&) = delete;

    static int calls() { return s_calls.load(); }

  private:
    static int Lookup(const char* node, const char* service, const addrinfo* hints,
                      addrinfo** result) {
        addrinfo numeric{};
        if (hints != nullptr) {
            numeric = *hints;
        }
        numeric.ai_flags |= AI_NUMERICHOST;
        // The system's lookup (ours, the process's getaddrinfo, would come
        // back here) for numeric hosts: they need no name server.
        static const auto system =
            reinterpret_cast<audio::LookupFn>(dlsym(RTLD_NEXT, "getaddrinfo"));
        addrinfo* found = nullptr;
        const int rc = system(node, service, &numeric, &found);
        if (rc == 0 || (hints != nullptr && (hints->ai_flags & AI_NUMERICHOST) != 0)) {
            *result = found;
            return rc;
        }
        ++s_calls;
        while (!s_release.load()) {
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
        return EAI_AGAIN;
    }

    static inline std::atomic<bool> s_release{false};
    static inline std::atomic<int> s_calls{0};
};

}  // namespace qvm::test
