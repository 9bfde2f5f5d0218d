// Arbitrary bytes as a settings file: the reader must neither crash nor hang,
// a rewrite must read back as what was loaded, and a second rewrite must
// change nothing. The same bytes as a desktop entry's Exec value must give a
// program path that survives being written and read again.
#include <cstdint>
#include <cstdio>
#include <cstdlib>

#include "config/Autostart.h"
#include "config/IniValues.h"
#include "config/SettingsFile.h"

namespace {

const QString kFolder = QStringLiteral("/opt/qvm/");

void Require(bool condition, const char* what) {
    if (!condition) {
        std::fprintf(stderr, "ini_fuzzer: %s\n", what);
        std::abort();
    }
}

// Reals are written with 15 significant digits, so a value read from a longer
// text comes back rounded once; every other field must come back exactly.
qvm::Configuration Rounded(qvm::Configuration config) {
    qvm::PlayerSettings& s = config.settings;
    for (double* value : {&s.Buffer, &s.SilenceTime, &s.RestoreTime, &s.BreakTime, &s.ConnectTime,
                          &s.FadeOut, &s.FadeIn, &s.ChFadeOut, &s.ChFadeIn, &s.TimeOut}) {
        const auto back = qvm::ParseIniReal(qvm::FormatIniReal(*value));
        Require(back.has_value(), "a written real does not read back");
        *value = *back;
    }
    return config;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const QByteArray bytes =
        QByteArray::fromRawData(reinterpret_cast<const char*>(data), static_cast<qsizetype>(size));

    const qvm::IniDocument doc = qvm::IniDocument::parse(bytes);
    const QByteArray text = doc.serialize();
    Require(qvm::IniDocument::parse(text).serialize() == text, "serialize is not stable");

    qvm::Configuration loaded;
    qvm::ReadSettings(loaded, doc, kFolder);
    Require(loaded.channels.size() <= qvm::kMaxLoadedChannels, "too many channels");
    Require(loaded.pluginFiles.size() <= qvm::kMaxLoadedPlugins, "too many plug-ins");
    Require(loaded.settings.SwitchMode == 0 || loaded.settings.SwitchMode == 1, "SwitchMode");
    Require(!loaded.settings.RestoreMode || loaded.settings.SourceMode == 2, "RestoreMode");
    for (const auto& channel : loaded.channels) {
        Require(!channel->URL.isEmpty() && channel->URL.toUtf8().size() <= qvm::kLongTextBytes,
                "URL");
    }

    qvm::IniDocument written = doc;
    qvm::Configuration toWrite = loaded;
    qvm::WriteSettings(toWrite, written);
    Require(toWrite == loaded, "a save changed a loaded record");
    const QByteArray saved = written.serialize();

    qvm::Configuration reloaded;
    qvm::ReadSettings(reloaded, qvm::IniDocument::parse(saved), kFolder);
    Require(reloaded == Rounded(loaded), "a saved file reads back different");

    qvm::IniDocument again = qvm::IniDocument::parse(saved);
    qvm::WriteSettings(reloaded, again);
    Require(again.serialize() == saved, "a second save changes the file");

    const QString program = qvm::ExecProgram(bytes);
    if (!program.isEmpty()) {
        Require(qvm::ExecProgram(qvm::ExecValueFor(program)) == program, "Exec round trip");
    }
    return 0;
}
