#include "core/Player.h"

#include <sys/resource.h>
#include <QCoreApplication>
#include <QGuiApplication>
#include <QMetaObject>
#include <algorithm>
#include <cmath>

#include "channel/Channel.h"
#include "config/SettingsFile.h"
#include "core/HeapTrim.h"
#include "core/ShellOpen.h"
#include "core/TerminationSignals.h"
#include "lang/Language.h"

namespace qvm {

namespace {

constexpr int kMainLoopMs = 10;
constexpr double kNoLevelDb = -90;
// The nice value asked for; an unprivileged process is refused and keeps its
// own, which is fine.
constexpr int kRaisedNice = -10;

}  // namespace

Player::Player(audio::IAudioEngine& engine, std::unique_ptr<TLanguage> language,
               PlayerOptions options, IPlayerView* view, PlayerHooks hooks)
    : m_engine(engine),
      m_language(std::move(language)),
      m_options(std::move(options)),
      m_view(view != nullptr ? view : &m_nullView),
      m_hooks(std::move(hooks)),
      m_log(m_options.exeFolder) {
    m_log.setEcho(m_options.logToStderr);
    m_ctx = std::make_unique<ChannelContext>(m_engine, m_config.settings, *m_language, &m_log);
    m_ctx->wallClock = m_options.wallClock;
    m_ctx->mainFaderValue = [this] { return m_mainFader ? m_mainFader->Value() : 0.0; };
    m_timer.setTimerType(Qt::PreciseTimer);
    QObject::connect(&m_timer, &QTimer::timeout, &m_timer, [this] { TimerTick(); });
}

Player::~Player() {
    m_timer.stop();
    m_termination.reset();
    // Channels stop and free their streams before the context goes.
    m_channels.clear();
    if (m_hooks.dspHost != nullptr && !m_closed) {
        m_hooks.dspHost->FreePlugins();
    }
}

// --- start-up ---

bool Player::FormCreate() {
    m_restoreFloor = 0;
    m_pressedChannel = -1;
    m_pendingStop = false;
    m_pendingPlay = false;
    m_pendingChannel = -1;
    setSilence(false);
    m_view->translateSkinTexts();
    m_view->applyTitle();

    m_confirmExit = true;
    SetOnAirIndex(-1);
    m_sourceShown = false;
    m_sourceIndex = -1;
    setSourceText(QString());

    if (m_hooks.dspHost != nullptr) {
        m_hooks.dspHost->InitPlugins();
    }
    if (m_options.raisePriority) {
        // Best effort: timer ticks and the mixer keep their pace under load.
        // On Linux this is the UI thread's nice value; the threads it starts
        // later (the mixer among them) inherit it.
        setpriority(PRIO_PROCESS, 0, kRaisedNice);
    }

    if (const ConfigResult loaded = LoadSettings(m_config, m_options.iniPath, m_options.exeFolder);
        !loaded) {
        // The station must hear of it: it runs without its channels, and the
        // file is kept from being saved over. Headless, this goes to stderr.
        m_view->messagePresenter().present(loaded.error, MessageKind::Error, MessageButtons::Ok);
    }
    const PlayerSettings& s = m_config.settings;
    applySendDelay();
    m_log.setEnabled(s.Log);

    if (m_hooks.dspHost != nullptr) {
        for (const QString& file : m_config.pluginFiles) {
            const qsizetype before = m_hooks.dspHost->LoadedPlugins().size();
            if (!m_hooks.dspHost->LoadPlugin(m_config.pluginPath, file)) {
                // The player goes on without it, but the station must be
                // able to find out why its limiter is not on air.
                const QList<LoadedPluginInfo> loaded = m_hooks.dspHost->LoadedPlugins();
                const QString why = loaded.size() > before ? loaded.back().error : QString();
                m_log.Log(m_language->Text(keys::msg::PluginFailed) + QLatin1Char(' ') + file +
                          (why.isEmpty() ? QString() : QStringLiteral(" (%1)").arg(why)));
            }
        }
        m_ctx->dspChain = m_hooks.dspHost->Chain();
    }

    m_mainFader = std::make_unique<TQVFader>(m_options.wallClock);
    const auto onMainFader = [this](TQVFader&, double v) { OnMainFader(v); };
    m_mainFader->OnStart = onMainFader;
    m_mainFader->OnChange = onMainFader;
    m_mainFader->OnEnd = onMainFader;

    if (m_hooks.createStudioLink) {
        m_studio = m_hooks.createStudioLink();
    }

    // The track bar is put at the volume and its change handling runs even
    // when the position stays, so that the main volume is set in any case.
    m_mainFader->SetValue(s.Volume);
    m_volumePosition = std::clamp(static_cast<int>(m_mainFader->Value()), 0, 100);
    m_view->setVolumePosition(m_volumePosition);
    TBVolumeChange();

    Update_Channels();

    m_device = std::make_unique<DeviceStartup>(m_engine, m_config.settings, *this);
    m_device->BeginWait();
    m_device->WaitDeviceTick();
    if (m_fatal) {
        return false;
    }
    if (m_device->DeviceIndex() < 0) {
        m_handler = TimerHandler::WaitDevice;
    }

    m_view->setHideToTray(s.Hide);
    if (s.Hide) {
        m_view->minimizeToTray();
    }

    m_timer.setInterval(kMainLoopMs);
    if (m_handler != TimerHandler::None) {
        m_timer.start();
    }

    if (s.HTTPPort > 0 && m_hooks.activateHttpServer) {
        m_hooks.activateHttpServer(s.HTTPPort);
    }
    m_view->Language_Change();

    if (m_options.catchTermination) {
        m_termination = std::make_unique<TerminationSignals>();
        QObject::connect(m_termination.get(), &TerminationSignals::terminationRequested,
                         m_termination.get(), [this](int) { WMSystem_Shutdown_Query(); });
    }
    // The desktop session ends: no question may hold it up. The session
    // manager then has the application quit, and whatever way the event loop
    // ends, the channels are stopped and the studio told before it does.
    if (auto* app = qobject_cast<QGuiApplication*>(QCoreApplication::instance())) {
        QObject::connect(app, &QGuiApplication::commitDataRequest, &m_timer,
                         [this](QSessionManager&) { m_confirmExit = false; });
    }
    if (auto* app = QCoreApplication::instance()) {
        QObject::connect(app, &QCoreApplication::aboutToQuit, &m_timer,
                         [this] { WMSystem_Shutdown_Query(); });
    }
    return true;
}

void Player::TimerTick() {
    switch (m_handler) {
        case TimerHandler::WaitDevice:
            m_device->WaitDeviceTick();
            break;
        case TimerHandler::NuclearWork:
            NuclearWork();
            break;
        case TimerHandler::None:
            break;
    }
    if (!m_closed && m_hooks.afterTick) {
        m_hooks.afterTick();
    }
}

// --- DeviceStartupHost ---

void Player::SetTimerInterval(int ms) {
    m_timer.setInterval(ms);
}

void Player::ShowDeviceText(const QString& text) {
    m_view->setDeviceText(text);
}

void Player::SendStudioNote(std::uint32_t message) {
    if (m_studio) {
        m_studio->Broadcast(static_cast<std::uint16_t>(message), 0);
    }
}

void Player::FatalError(const QString& text) {
    m_fatal = true;
    m_handler = TimerHandler::None;
    m_timer.stop();
    m_view->messagePresenter().present(text, MessageKind::Error, MessageButtons::Ok);
    quit(1);
}

void Player::StartMainLoop() {
    // The first line of a run in the journal: the device plays from here on.
    m_log.Log(QStringLiteral("Started on %1 at %2 Hz")
                  .arg(m_config.settings.Device)
                  .arg(m_device ? m_device->DeviceRate() : 0));
    m_deviceStarted = true;
    m_handler = TimerHandler::NuclearWork;
    m_timer.setInterval(kMainLoopMs);
}

void Player::SetOnAirIndex(int index) {
    m_ctx->onAirIndex.store(index, std::memory_order_relaxed);
}

void Player::SetVolumeTrackBar(int position) {
    position = std::clamp(position, 0, 100);
    if (position == m_volumePosition) {
        return;
    }
    m_volumePosition = position;
    m_view->setVolumePosition(position);
    TBVolumeChange();
}

void Player::quit(int code) {
    if (m_hooks.quit) {
        m_hooks.quit(code);
        return;
    }
    // Queued, so that it also ends a loop that has not started yet.
    QMetaObject::invokeMethod(
        QCoreApplication::instance(), [code] { QCoreApplication::exit(code); },
        Qt::QueuedConnection);
}

// --- main loop ---

void Player::NuclearWork() {
    if (m_closed) {
        return;
    }
    const auto begin = static_cast<std::int64_t>(TickCount64());
    if (m_lastMainTick != 0) {
        m_health.longestTickGapMs = std::max(m_health.longestTickGapMs, begin - m_lastMainTick);
    }
    m_lastMainTick = begin;
    setSourceVisible(m_playing);
    if (m_pendingStop.exchange(false, std::memory_order_relaxed)) {
        MainStop(false, false);
    }
    if (m_pendingPlay.exchange(false, std::memory_order_relaxed)) {
        MainPlay(true);
    }
    const int pressed = m_pendingChannel.exchange(-1, std::memory_order_relaxed);
    if (validIndex(pressed)) {
        ChannelPressPlayBtn(pressed);
    }

    const auto now = static_cast<std::int64_t>(TickCount64());
    bool onAirSeen = false;
    // A channel's tick may change the list only through the controller, which
    // never adds or removes channels; the bound is read on every round anyway.
    for (int i = 0; i < ChannelCount(); ++i) {
        TfrChannelForm& ch = *m_channels[static_cast<std::size_t>(i)];
        ch.Tick(now);
        if (i != OnAirIndex()) {
            continue;
        }
        onAirSeen = true;
        const PeakDb level = ch.Get_Channel_Level();
        m_view->setLevels(level.left, level.right);
        if (i != m_sourceIndex) {
            m_sourceIndex = i;
            setSourceText(m_language->Text(keys::msg::PlayChannel) + QLatin1Char(' ') +
                          QString::number(i + 1));
        }
        if (ch.TitleChanged()) {
            ch.setTitleChanged(false);
            Send_Studio_Title(ch.Title());
        }
    }
    if (!onAirSeen) {
        m_view->setLevels(kNoLevelDb, kNoLevelDb);
    }
    drainMainQueue();
    checkHealth(now);
    m_health.longestTickMs =
        std::max(m_health.longestTickMs, static_cast<std::int64_t>(TickCount64()) - begin);
}

void Player::checkHealth(std::int64_t now) {
    // Often enough that a lost device shows within a second of its loss.
    constexpr std::int64_t kCheckMs = 100;
    constexpr std::int64_t kLateWindowMs = 60000;
    if (now < m_nextHealthCheck) {
        return;
    }
    m_nextHealthCheck = now + kCheckMs;
    const audio::EngineStats stats = m_engine.GetStats();
    m_health.stalls = stats.stalls;
    m_health.latePeriods = stats.latePeriods;
    m_health.deviceLosses = stats.deviceLosses;
    m_health.rejoins = stats.rejoins;
    if (stats.deviceLost != m_health.deviceLost) {
        // Shown where the device is shown, and logged: the output is dead air
        // until the device is back, which the engine waits for by itself.
        m_health.deviceLost = stats.deviceLost;
        const QString& device = m_config.settings.Device;
        const QString state =
            m_language->Text(stats.deviceLost ? keys::msg::DeviceLost : keys::msg::DeviceBack);
        ShowDeviceText(stats.deviceLost
                           ? QStringLiteral("%1 (%2)").arg(device, state)
                           : QStringLiteral("%1 (%2)").arg(device).arg(m_device->DeviceRate()));
        m_log.Log(QStringLiteral("%1: %2").arg(device, state));
    }
    if (m_lateWindowEnd == 0) {
        m_lateWindowEnd = now + kLateWindowMs;
        m_lateAtWindowStart = stats.latePeriods;
    } else if (now >= m_lateWindowEnd) {
        if (stats.latePeriods > m_lateAtWindowStart) {
            m_log.Log(m_language->Text(keys::msg::LatePeriods) + QLatin1Char(' ') +
                      QString::number(stats.latePeriods - m_lateAtWindowStart));
        }
        m_lateWindowEnd = now + kLateWindowMs;
        m_lateAtWindowStart = stats.latePeriods;
    }
    checkMemory(now);
    ReapDetached();
}

void Player::checkMemory(std::int64_t now) {
    constexpr std::int64_t kTrimMs = 10 * 60 * 1000;
    constexpr int kTrimsPerReport = 6;  // hourly
    if (m_nextHeapTrim == 0) {
        m_nextHeapTrim = now + kTrimMs;
        return;
    }
    if (now < m_nextHeapTrim) {
        return;
    }
    m_nextHeapTrim = now + kTrimMs;
    const HeapFigures heap = TrimHeap();
    if (++m_heapTrims % kTrimsPerReport == 0) {
        constexpr double kMb = 1024.0 * 1024.0;
        m_log.Log(
            QStringLiteral("Memory: %1 MB resident, %2 MB in use by the heap, %3 MB free in it")
                .arg(static_cast<double>(heap.residentBytes) / kMb, 0, 'f', 1)
                .arg(static_cast<double>(heap.inUseBytes) / kMb, 0, 'f', 1)
                .arg(static_cast<double>(heap.freeBytes) / kMb, 0, 'f', 1));
    }
}

void Player::drainMainQueue() {
    // Interactive mode is read for every tick, so a change in the settings
    // dialog applies at once.
    const bool send = (m_config.settings.SourceMode & 2) != 0 && m_studio;
    int slot = 0;
    while (const PcmBlock* block =
               m_ctx->mainQueue.Pop(static_cast<std::int64_t>(TickCount64()), &slot)) {
        if (send) {
            BuildPcmData(*block, m_pcmMessage);
            m_studio->SendData(kPcmDataKind, m_pcmMessage);
        }
        m_ctx->mainQueue.Release(slot);
    }
}

void Player::applySendDelay() {
    // The file may hold up to 65535 ms, the settings dialog offers up to
    // kMaxSendDelayMs, and the channel queues hold that much: a longer delay
    // would drop blocks, and the silence detector, seeing only some of them,
    // would take several times SilenceTime to switch. The file keeps its value.
    const int delay = std::min<int>(m_config.settings.Delay, kMaxSendDelayMs);
    m_ctx->sendDelay.store(delay, std::memory_order_relaxed);
}

void Player::Send_Studio_Title(const QString& title) {
    if (m_studio && !m_studio->SendData(kTitleDataKind, BuildTitleData(title))) {
        return;
    }
    m_view->setSentTitle(title);
}

void Player::setSourceVisible(bool visible) {
    if (m_sourceShown && visible == m_sourceVisible) {
        return;
    }
    m_sourceShown = true;
    m_sourceVisible = visible;
    m_view->setSourceVisible(visible);
}

void Player::setSourceText(const QString& text) {
    m_view->setSourceText(text);
}

// --- window actions ---

void Player::SBPlayStopClick() {
    if (m_playing) {
        MainStop(false, false);
    } else {
        MainPlay(true);
    }
}

void Player::OnVolumeMoved(int position) {
    SetVolumeTrackBar(position);
}

void Player::SBSettingClick() {
    if (m_closed) {
        return;
    }
    if (m_hooks.showSettingsDialog) {
        m_hooks.showSettingsDialog();
    }
    // The dialog's event loop may have run the shutdown; nothing may restart
    // channels after it has begun.
    if (m_closed || m_closing) {
        return;
    }
    const PlayerSettings& s = m_config.settings;
    if (m_mainFader && m_mainFader->Value() > 0) {
        m_mainFader->FadeTo(s.Volume, s.FadeIn);
    }
    m_view->Language_Change();
    m_sourceIndex = -1;  // the language may have changed
    Update_Channels();
    applySendDelay();
    m_log.setEnabled(s.Log);
    m_view->setHideToTray(s.Hide);
}

// --- shutdown ---

bool Player::FormClose() {
    if (m_closed) {
        return true;
    }
    // The progress dialog pumps events: a second close request meanwhile
    // (another signal, the window's close box) waits for this one.
    if (m_closing) {
        return false;
    }
    if (m_confirmExit && m_playing) {
        const MessageAnswer answer =
            m_language->ShowDialogMsg(keys::dialog::Exit.keyName(), m_view->messagePresenter(),
                                      MessageButtons::YesNo, MessageKind::Confirmation);
        if (answer != MessageAnswer::Yes) {
            return false;
        }
    }
    m_closing = true;
    // What the run was like, for whoever reads the log after months.
    m_log.Log(QStringLiteral("Shutdown: %1 late periods, %2 stalls, %3 device losses, %6 "
                             "connections restored unheard; main loop ticks at most %4 ms apart, "
                             "the longest took %5 ms")
                  .arg(m_health.latePeriods)
                  .arg(m_health.stalls)
                  .arg(m_health.deviceLosses)
                  .arg(m_health.longestTickGapMs)
                  .arg(m_health.longestTickMs)
                  .arg(m_health.rejoins));
    if (m_hooks.deactivateHttpServer) {
        m_hooks.deactivateHttpServer();
    }
    if (m_hooks.closeSettingsDialog) {
        m_hooks.closeSettingsDialog();
    }
    if (m_playing) {
        MainStop(false, true);
    }
    m_timer.stop();
    m_handler = TimerHandler::None;

    if (m_studio) {
        m_studio->Broadcast(kLinkControl, kControlGoodbye);
        m_studio.reset();
    }
    m_view->shrinkToMainPanel();
    // Index 0 first; every channel stops and frees its streams as it goes.
    for (auto& ch : m_channels) {
        ch.reset();
    }
    m_channels.clear();

    m_ctx->mainQueue.Clear(true);
    m_mainFader.reset();
    m_config.channels.clear();
    if (m_hooks.dspHost != nullptr) {
        m_hooks.dspHost->FreePlugins();
    }
    m_config.pluginFiles.clear();
    m_closed = true;
    m_closing = false;
    quit(0);
    return true;
}

void Player::WMSystem_Shutdown_Query() {
    m_confirmExit = false;
    FormClose();
}

}  // namespace qvm
