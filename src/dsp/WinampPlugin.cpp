#include "dsp/WinampPlugin.h"

#include "dsp/LastDlError.h"

#include <dlfcn.h>

#include <algorithm>
#include <cstring>

namespace qvm {

void WinampStage::Process(std::int16_t* samples, std::uint32_t frames, std::uint32_t rate,
                          std::uint32_t chans) {
    const std::size_t count = std::size_t{frames} * chans;
    if (m_work.size() < 2 * count) {
        m_work.resize(2 * count);
    }
    std::memcpy(m_work.data(), samples, count * sizeof(std::int16_t));
    m_module->ModifySamples(m_module, m_work.data(), static_cast<int>(frames), 16,
                            static_cast<int>(chans), static_cast<int>(rate));
    std::memcpy(samples, m_work.data(), count * sizeof(std::int16_t));
}

WinampLoad LoadWinampPlugin(const QString& path, void* parentWindow) {
    WinampLoad load;
    void* library = dlopen(path.toUtf8().constData(), RTLD_NOW | RTLD_LOCAL);
    if (library == nullptr) {
        load.error = LastDlError();
        return load;
    }
    const auto fail = [&](const char* why) {
        dlclose(library);
        load = WinampLoad{};
        load.error = QString::fromUtf8(why);
        return load;
    };
    auto* getHeader =
        reinterpret_cast<winampDSPGetHeaderType>(dlsym(library, "winampDSPGetHeader2"));
    if (getHeader == nullptr) {
        return fail("exports no winampDSPGetHeader2");
    }
    try {
        load.header = getHeader();
        if (load.header == nullptr || load.header->getModule == nullptr) {
            return fail("gives no header");
        }
        load.module = load.header->getModule(0);
        if (load.module == nullptr) {
            return fail("gives no module");
        }
        if (load.module->Init == nullptr || load.module->ModifySamples == nullptr) {
            return fail("module lacks Init or ModifySamples");
        }
        load.module->hDllInstance = library;
        load.module->hwndParent = parentWindow;
        if (load.module->Init(load.module) != 0) {
            return fail("Init failed");
        }
    } catch (...) {
        return fail("failed while starting");
    }
    load.library = library;
    load.active = true;
    return load;
}

void UnloadWinampPlugin(const WinampLoad& load) {
    if (load.library == nullptr) {
        return;
    }
    try {
        if (load.module != nullptr && load.module->Quit != nullptr) {
            load.module->Quit(load.module);
        }
    } catch (...) {
        // The library goes all the same.
    }
    dlclose(load.library);
}

bool IsWinampPluginName(const QString& fileName) {
    return fileName.startsWith(QLatin1String("dsp"), Qt::CaseInsensitive) &&
           fileName.endsWith(QLatin1String(".so"), Qt::CaseInsensitive) && fileName.size() >= 6;
}

}  // namespace qvm
