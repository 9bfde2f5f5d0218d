#include "core/DeviceStartup.h"

#include <cmath>

#include "core/TimeBase.h"

namespace qvm {

namespace {

constexpr int kWaitIntervalMs = 250;

// Seconds to whole milliseconds, as the engine's options take them.
std::uint32_t Milliseconds(double seconds) {
    return static_cast<std::uint32_t>(std::trunc(seconds * 1000.0));
}

}  // namespace

DeviceStartup::DeviceStartup(audio::IAudioEngine& engine, PlayerSettings& settings,
                             DeviceStartupHost& host)
    : m_engine(engine), m_settings(settings), m_host(host) {}

void DeviceStartup::BeginWait() { m_waitStart = TickCount64(); }

void DeviceStartup::Update_Devices() {
    m_deviceNames.clear();
    audio::DeviceInfo info;
    for (int device = 1; m_engine.GetDeviceInfo(device, info); ++device) {
        m_deviceNames.append(QString::fromStdString(info.name));
    }
}

void DeviceStartup::WaitDeviceTick() {
    if (m_state != State::Missing) {
        return;
    }
    m_host.SetTimerInterval(kWaitIntervalMs);
    Update_Devices();
    m_deviceIndex = -1;
    for (int i = 0; i < m_deviceNames.size(); ++i) {
        if (m_deviceNames[i].compare(m_settings.Device, Qt::CaseInsensitive) == 0) {
            m_deviceIndex = i;
            break;
        }
    }
    if (m_deviceIndex >= 0) {
        StartDevice();
    }
    if (m_waitStart != 0 && m_settings.Wait > 0 &&
        TickCount64() - m_waitStart > static_cast<std::uint64_t>(m_settings.Wait) * 1000) {
        m_waitStart = 0;
        m_host.SendStudioNote(kNoteDeviceTimeout);
    }
}

bool DeviceStartup::tryInit(int rate) {
    if (!m_engine.Init(m_deviceIndex + 1, static_cast<std::uint32_t>(rate))) {
        return false;
    }
    m_deviceRate = rate;
    return true;
}

void DeviceStartup::StartDevice() {
    const std::string mismatch = m_engine.VersionMismatch();
    if (!mismatch.empty()) {
        m_state = State::Failed;
        m_host.FatalError(QStringLiteral("An incorrect version of %1 was loaded")
                              .arg(QString::fromStdString(mismatch)));
        return;
    }

    // An index outside the table (a hand-edited file) is taken as the first
    // rate, so that the device opens and a later save writes a valid index.
    if (!SampleRateForIndex(m_settings.Bitrate)) {
        m_settings.Bitrate = 0;
    }
    const int wanted = *SampleRateForIndex(m_settings.Bitrate);
    if (!tryInit(wanted)) {
        const bool onFirst = m_settings.Bitrate == 0;
        const int fallbackIndex = onFirst ? 1 : 0;
        if (!tryInit(kSampleRates[static_cast<std::size_t>(fallbackIndex)])) {
            m_state = State::Failed;
            m_host.ShowDeviceText(QStringLiteral("Error initialyze device ") + m_settings.Device);
            return;
        }
        m_settings.Bitrate = fallbackIndex;
    }
    m_state = State::Started;
    m_host.ShowDeviceText(QStringLiteral("%1 (%2)").arg(m_settings.Device).arg(m_deviceRate));

    m_hlsAvailable = false;
    m_hlsAvailable = m_engine.HlsSupported();

    // Written so that a value that is not a number also ends up in range.
    if (!(m_settings.Buffer >= 0.5)) {
        m_settings.Buffer = 0.5;
    } else if (m_settings.Buffer > kMaxBufferSeconds) {
        m_settings.Buffer = kMaxBufferSeconds;
    }
    if (!(m_settings.TimeOut >= 1.0)) {
        m_settings.TimeOut = 1.0;
    } else if (m_settings.TimeOut > 65.5) {
        m_settings.TimeOut = 65.5;
    }
    audio::NetConfig net;
    net.bufferMs = Milliseconds(m_settings.Buffer);
    net.timeoutMs = Milliseconds(m_settings.TimeOut);
    net.readTimeoutMs = net.timeoutMs;
    net.userAgent = "QVMirelta";
    m_engine.SetNetConfig(net);

    m_host.StartMainLoop();
    if (m_host.ChannelCount() == 0) {
        m_host.SetOnAirIndex(-1);
        return;
    }
    if (m_host.OnAirIndex() < 0) {
        m_host.SetOnAirIndex(0);
    }
    if ((m_settings.SourceMode & 1) != 0) {
        if (!m_host.Playing()) {
            m_host.PlayStopClick();
        }
    } else {
        m_host.SetVolumeTrackBar(0);
    }
    if ((m_settings.SourceMode & 2) != 0) {
        m_host.SendStudioNote(kNoteDeviceReady);
    }
}

}  // namespace qvm
