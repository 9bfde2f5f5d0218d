#include "dsp/PlugIns.h"

#include <dlfcn.h>

#include <QDir>
#include <QFileInfo>
#include <QGuiApplication>
#include <QMessageBox>
#include <QSet>
#include <algorithm>

#include "core/Helpers.h"
#include "core/IniFile.h"
#include "dsp/Ladspa.h"
#include "dsp/LadspaDialog.h"
#include "dsp/WinampPlugin.h"

namespace qvm {
namespace {

constexpr int kNameBytes = 128;

// The INI keys of a LADSPA plug-in's controls: the port names, made unique
// and free of what would end an INI key.
QList<QByteArray> ControlKeys(const LadspaEffect& effect) {
    QList<QByteArray> keys;
    QSet<QByteArray> used;
    const auto& controls = effect.controls();
    for (std::size_t i = 0; i < controls.size(); ++i) {
        QByteArray key = controls[i].name.toUtf8().replace('=', '_').trimmed();
        if (key.isEmpty() || key.startsWith('[') || key.startsWith(';') || used.contains(key)) {
            key = "Port " + QByteArray::number(static_cast<qulonglong>(i + 1)) + " " + key;
        }
        used.insert(key);
        keys.append(key);
    }
    return keys;
}

}  // namespace

QVPlugIns::QVPlugIns(QString controlsFile) : m_controlsFile(std::move(controlsFile)) {}

QVPlugIns::~QVPlugIns() {
    FreePlugins();
}

void QVPlugIns::setParentWindow(void* nativeWindow, QWidget* dialogParent) {
    m_nativeWindow = nativeWindow;
    m_dialogParent = dialogParent;
}

void QVPlugIns::InitPlugins() {
    m_found.clear();
    // Start-up calls this before any load. Records left from before are
    // dropped without unloading their libraries.
    m_chain.Publish({});
    m_loaded.clear();
}

void QVPlugIns::ScanPlugins(const QString& folder) {
    m_found.clear();
    if (folder.isEmpty() || !QFileInfo(folder).isDir()) {
        return;
    }
    const QFileInfoList entries =
        QDir(AddTrailingBackslash(folder))
            .entryInfoList(QDir::Files | QDir::Dirs | QDir::System | QDir::NoDotAndDotDot);
    for (const QFileInfo& entry : entries) {
        const QString name = entry.fileName();
        if (!name.startsWith(QLatin1Char('.')) && !entry.isDir() && IsWinampPluginName(name)) {
            m_found.append(name);
        }
    }
    m_found.append(ListLadspaPlugins(LadspaFolders()));
    std::sort(m_found.begin(), m_found.end(), [](const QString& a, const QString& b) {
        const int order = a.compare(b, Qt::CaseInsensitive);
        return order != 0 ? order < 0 : a < b;
    });
}

bool QVPlugIns::LoadPlugin(const QString& folder, const QString& name) {
    if (name.isEmpty() || !QFileInfo(folder).isDir()) {
        return false;
    }
    const QString cut = CutUtf8(name, kNameBytes);
    for (const auto& record : m_loaded) {
        if (record->Name == cut) {
            return false;
        }
    }
    auto record = std::make_unique<DspPlugin>();
    record->Name = cut;
    if (IsWinampPluginName(name) || !IsLadspaName(name)) {
        const WinampLoad load =
            LoadWinampPlugin(AddTrailingBackslash(folder) + name, m_nativeWindow);
        record->Active = load.active;
        record->Library = load.library;
        record->Header = load.header;
        record->Module = load.module;
        record->Error = load.error;
        if (load.active) {
            record->Stage = std::make_shared<WinampStage>(load.module);
        }
    } else {
        LadspaLoad load = LoadLadspaPlugin(name);
        record->Active = load.effect != nullptr;
        record->Library = load.library;
        record->Error = load.error;
        record->Ladspa = load.effect;
        record->Stage = std::move(load.effect);
        if (record->Active) {
            restoreControls(*record);
        }
    }
    const bool active = record->Active;
    m_loaded.push_back(std::move(record));
    if (active) {
        publish();
    }
    return active;
}

void QVPlugIns::UnloadPlugin(int index) {
    if (index < 0 || static_cast<std::size_t>(index) >= m_loaded.size()) {
        return;
    }
    std::unique_ptr<DspPlugin> record = std::move(m_loaded[static_cast<std::size_t>(index)]);
    m_loaded.erase(m_loaded.begin() + index);
    if (record->Active) {
        // Out of the chain first: Quit and the unload must not meet a pass
        // that is still inside the plug-in.
        if (publish(record.get())) {
            const bool ladspa = static_cast<bool>(record->Ladspa);
            record->Stage.reset();
            // A LADSPA effect cleans up its instances while their code is
            // still loaded.
            record->Ladspa.reset();
            if (ladspa) {
                dlclose(record->Library);
            } else {
                WinampLoad load;
                load.library = record->Library;
                load.module = record->Module;
                UnloadWinampPlugin(load);
            }
        }
        // Otherwise a pass hangs inside the chain: the plug-in stays loaded
        // for good rather than be pulled from under it.
        record->Name.clear();
        record->Module = nullptr;
        record->Header = nullptr;
    }
    record->Active = false;
}

void QVPlugIns::ConfigPlugin(int index) {
    if (index < 0 || static_cast<std::size_t>(index) >= m_loaded.size()) {
        return;
    }
    DspPlugin& record = *m_loaded[static_cast<std::size_t>(index)];
    if (!record.Active) {
        return;
    }
    if (record.Ladspa) {
        LadspaDialog dialog(*record.Ladspa, record.Name, m_dialogParent);
        if (dialog.exec() == QDialog::Accepted) {
            saveControls(record);
        }
        return;
    }
    try {
        if (record.Module->Config != nullptr) {
            record.Module->Config(record.Module);
        }
    } catch (...) {
        // A plug-in's own dialog failing is its own business.
    }
}

QList<LoadedPluginInfo> QVPlugIns::LoadedPlugins() const {
    QList<LoadedPluginInfo> out;
    for (const auto& record : m_loaded) {
        out.append({record->Name, record->Active, record->Error});
    }
    return out;
}

void QVPlugIns::FreePlugins() {
    while (!m_loaded.empty()) {
        UnloadPlugin(0);
    }
    m_chain.Publish({});
    m_found.clear();
}

DspChain QVPlugIns::Chain() {
    return [this](std::int16_t* samples, std::uint32_t bytes, std::uint32_t freq,
                  std::uint32_t chans) { RunPlugins(samples, bytes, freq, chans); };
}

void QVPlugIns::RunPlugins(std::int16_t* samples, std::uint32_t bytes, std::uint32_t freq,
                           std::uint32_t chans) {
    if (samples == nullptr || freq == 0 || chans == 0) {
        return;
    }
    // Frames of the stream's own channel count: a mono block is not stereo.
    const std::uint32_t frames = bytes / (2 * chans);
    if (frames > 0) {
        m_chain.Run(samples, frames, freq, chans);
    }
}

bool QVPlugIns::publish(const DspPlugin* skip) {
    PluginChain::Stages stages;
    for (const auto& record : m_loaded) {
        if (record.get() != skip && record->Active && record->Stage) {
            stages.push_back(record->Stage);
        }
    }
    return m_chain.Publish(std::move(stages));
}

void QVPlugIns::restoreControls(const DspPlugin& record) {
    if (m_controlsFile.isEmpty() || !record.Ladspa) {
        return;
    }
    const IniDocument doc = IniDocument::load(m_controlsFile);
    const QByteArray section = record.Name.toUtf8();
    const QList<QByteArray> keys = ControlKeys(*record.Ladspa);
    for (qsizetype i = 0; i < keys.size(); ++i) {
        if (const auto text = doc.value(section, keys[i])) {
            bool ok = false;
            const float v = text->toFloat(&ok);
            if (ok) {
                record.Ladspa->setValue(static_cast<std::size_t>(i), v);
            }
        }
    }
}

void QVPlugIns::saveControls(const DspPlugin& record) {
    if (m_controlsFile.isEmpty() || !record.Ladspa) {
        return;
    }
    IniDocument doc = IniDocument::load(m_controlsFile);
    const QByteArray section = record.Name.toUtf8();
    const QList<QByteArray> keys = ControlKeys(*record.Ladspa);
    for (qsizetype i = 0; i < keys.size(); ++i) {
        doc.setValue(section, keys[i],
                     QByteArray::number(record.Ladspa->value(static_cast<std::size_t>(i)), 'g', 9));
    }
    if (!doc.saveAtomically(m_controlsFile)) {
        // The values are in use; only keeping them failed, and the operator
        // must know before the next restart loses them.
        const QString text = QStringLiteral("Unable to write to %1").arg(m_controlsFile);
        const QString platform = QGuiApplication::platformName();
        if (platform == QLatin1String("offscreen") || platform == QLatin1String("minimal")) {
            qWarning("%s", qUtf8Printable(text));
        } else {
            QMessageBox::warning(m_dialogParent, record.Name, text);
        }
    }
}

}  // namespace qvm
