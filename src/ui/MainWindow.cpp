#include "ui/MainWindow.h"

#include <QCloseEvent>

#include <QEvent>
#include <QGuiApplication>
#include <QHBoxLayout>
#include <QLabel>
#include <QScreen>
#include <QSlider>
#include <QSystemTrayIcon>
#include <QTabBar>
#include <QTabWidget>
#include <QTimer>
#include <QToolButton>
#include <QToolTip>
#include <QVBoxLayout>
#include <algorithm>

#include "lang/Language.h"
#include "lang/LanguageKeys.h"
#include "lang/WindowTranslation.h"
#include "ui/ChannelPanel.h"
#include "ui/Icons.h"
#include "ui/LedMeter.h"
#include "ui/MeterFeed.h"
#include "ui/SkinTexts.h"

namespace qvm {

namespace {

constexpr int kClientWidth = 353;
constexpr int kMainPanelHeight = 117;
// Below the top of the page control: the tabs and one channel page.
constexpr int kPagesHeight = 222;
constexpr int kTrayFrameMs = 300;

// The skinned-controls text table as delivered; Language_Change translates it.
const char* const kSkinTexts[] = {
    "MI_MINCAPTION=Mi&nimize",
    "MI_MAXCAPTION=Ma&ximize",
    "MI_CLOSECAPTION=&Close",
    "MI_RESTORECAPTION=&Restore",
    "MI_MINTOTRAYCAPTION=Minimize to &tray",
    "MI_ROLLUPCAPTION=Roll &up",
    "MINBUTTON_HINT=Minimize",
    "MAXBUTTON_HINT=Maximize",
    "CLOSEBUTTON_HINT=Close",
    "TRAYBUTTON_HINT=Minimize to tray",
    "ROLLUPBUTTON_HINT=Roll up",
    "MENUBUTTON_HINT=System menu",
    "EDIT_UNDO=&Undo",
    "EDIT_COPY=&Copy",
    "EDIT_CUT=Cu&t",
    "EDIT_PASTE=&Paste",
    "EDIT_DELETE=&Delete",
    "EDIT_SELECTALL=Select &all",
    "MSG_BTN_YES=&Yes",
    "MSG_BTN_NO=&No",
    "MSG_BTN_OK=OK",
    "MSG_BTN_CANCEL=Cancel",
    "MSG_BTN_ABORT=&Abort",
    "MSG_BTN_RETRY=&Retry",
    "MSG_BTN_IGNORE=&Ignore",
    "MSG_BTN_ALL=&All",
    "MSG_BTN_NOTOALL=N&oToAll",
    "MSG_BTN_YESTOALL=&YesToAll",
    "MSG_BTN_HELP=&Help",
    "MSG_BTN_OPEN=&Open",
    "MSG_BTN_SAVE=&Save",
    "MSG_BTN_CLOSE=Close",
    "MSG_BTN_BACK_HINT=Go To Last Folder Visited",
    "MSG_BTN_UP_HINT=Up One Level",
    "MSG_BTN_NEWFOLDER_HINT=Create New Folder",
    "MSG_BTN_VIEWMENU_HINT=View Menu",
    "MSG_BTN_STRETCH_HINT=Stretch Picture",
    "MSG_CAP_WARNING=Warning",
    "MSG_CAP_ERROR=Error",
    "MSG_CAP_INFORMATION=Information",
    "MSG_CAP_CONFIRM=Confirm",
    "MSG_CAP_SHOWFLAG=Do not display this message again",
    "MSG_FILENAME=File name:",
    "MSG_FILETYPE=File type:",
    "MSG_NEWFOLDER=New Folder",
    "MSG_LV_DETAILS=Details",
    "MSG_LV_ICON=Large icons",
    "MSG_LV_SMALLICON=Small icons",
    "MSG_LV_LIST=List",
    "MSG_PREVIEWSKIN=Preview",
    "MSG_PREVIEWBUTTON=Button",
};

void SetTextColor(QWidget* widget, const QColor& color) {
    QPalette palette = widget->palette();
    palette.setColor(QPalette::WindowText, color);
    widget->setPalette(palette);
}

QColor WindowTextColor() {
    return QGuiApplication::palette().color(QPalette::WindowText);
}

QFont Bold(QFont font) {
    font.setBold(true);
    return font;
}

// A label whose long text is cut at the window's edge instead of widening the
// fixed-size window. Device names and titles come from outside: never markup.
QLabel* StripLabel(const char* name, QWidget* parent) {
    auto* label = new QLabel(parent);
    label->setObjectName(QString::fromLatin1(name));
    label->setMinimumWidth(1);
    label->setTextFormat(Qt::PlainText);
    return label;
}

class ChannelTabBar : public QTabBar {
  public:
    using QTabBar::QTabBar;
    void setFixedTabWidth(int width) {
        if (width != m_fixedWidth) {
            m_fixedWidth = width;
            updateGeometry();
            // Size hints are cached per tab; touching a text refreshes them.
            for (int i = 0; i < count(); ++i) {
                setTabText(i, tabText(i));
            }
        }
    }

  protected:
    QSize tabSizeHint(int index) const override {
        QSize size = QTabBar::tabSizeHint(index);
        if (m_fixedWidth > 0) {
            size.setWidth(m_fixedWidth);
        }
        return size;
    }
    QSize minimumTabSizeHint(int index) const override {
        return m_fixedWidth > 0 ? tabSizeHint(index) : QTabBar::minimumTabSizeHint(index);
    }

  private:
    int m_fixedWidth = 0;
};

}  // namespace

// PC: the page control whose tabs can be given one equal width.
class ChannelTabs : public QTabWidget {
  public:
    explicit ChannelTabs(QWidget* parent) : QTabWidget(parent), m_bar(new ChannelTabBar(this)) {
        setTabBar(m_bar);
        setObjectName(QStringLiteral("PC"));
        setDocumentMode(false);
        setUsesScrollButtons(true);
    }
    void setFixedTabWidth(int width) { m_bar->setFixedTabWidth(width); }

  private:
    ChannelTabBar* m_bar;
};

MainWindow::MainWindow(const QString& fileVersion, QWidget* parent)
    : QMainWindow(parent, Qt::Window | Qt::CustomizeWindowHint | Qt::WindowTitleHint |
                              Qt::WindowSystemMenuHint | Qt::WindowMinimizeButtonHint |
                              Qt::WindowCloseButtonHint) {
    setObjectName(QStringLiteral("QV_Mirelta"));
    setWindowTitle(QStringLiteral("Quellmark Mirelta ") + fileVersion);
    for (const char* line : kSkinTexts) {
        m_skinTexts.append(QString::fromLatin1(line));
    }
    m_skinTranslator = new SkinTextTranslator(this);
    m_skinTranslator->setTable(m_skinTexts);
    QCoreApplication::installTranslator(m_skinTranslator);

    auto* client = new QWidget(this);
    client->setObjectName(QStringLiteral("Client"));
    auto* clientLayout = new QVBoxLayout(client);
    clientLayout->setContentsMargins(0, 0, 0, 0);
    clientLayout->setSpacing(0);

    auto* mainPanel = new QFrame(client);
    m_mainPanel = mainPanel;
    mainPanel->setObjectName(QStringLiteral("MainPanel"));
    mainPanel->setFixedHeight(kMainPanelHeight);
    auto* panel = new QVBoxLayout(mainPanel);
    panel->setContentsMargins(1, 1, 1, 0);
    panel->setSpacing(1);

    m_labDevice = StripLabel("LabDevice", mainPanel);
    m_labDevice->setFrameStyle(QFrame::Panel | QFrame::Sunken);
    m_labDevice->setFixedHeight(21);
    m_labDevice->setIndent(4);
    m_labDevice->setAlignment(Qt::AlignLeft | Qt::AlignVCenter);
    panel->addWidget(m_labDevice);

    auto* panLed = new QFrame(mainPanel);
    panLed->setObjectName(QStringLiteral("PanLed"));
    panLed->setFixedHeight(26);
    auto* ledLayout = new QHBoxLayout(panLed);
    ledLayout->setContentsMargins(0, 0, 0, 0);
    m_led = new TLedMetter(panLed);
    m_led->setObjectName(QStringLiteral("Led"));
    m_meterFeed = std::make_unique<MeterFeed>(m_led);
    ledLayout->addWidget(m_led);
    panel->addWidget(panLed);

    auto* controls = new QHBoxLayout;
    controls->setContentsMargins(2, 0, 2, 0);
    controls->setSpacing(4);
    m_sbPlayStop = new QToolButton(mainPanel);
    m_sbPlayStop->setObjectName(QStringLiteral("SBPlayStop"));
    m_sbPlayStop->setFixedSize(34, 30);
    m_sbPlayStop->setIconSize(QSize(24, 24));
    m_sbPlayStop->setToolTip(QStringLiteral("Play/Stop"));
    m_tbVolume = new QSlider(Qt::Horizontal, mainPanel);
    m_tbVolume->setObjectName(QStringLiteral("TBVolume"));
    m_tbVolume->setRange(0, 100);
    m_tbVolume->setValue(100);
    m_tbVolume->setTickPosition(QSlider::TicksBelow);
    m_tbVolume->setTickInterval(10);
    m_tbVolume->setPageStep(10);
    m_sbSetting = new QToolButton(mainPanel);
    m_sbSetting->setObjectName(QStringLiteral("SBSetting"));
    m_sbSetting->setFixedSize(34, 30);
    m_sbSetting->setIconSize(QSize(24, 24));
    m_sbSetting->setIcon(SettingsImage());
    m_sbSetting->setToolTip(QStringLiteral("Settings"));
    controls->addWidget(m_sbPlayStop);
    controls->addWidget(m_tbVolume, 1);
    controls->addWidget(m_sbSetting);
    panel->addLayout(controls);

    m_labSource = StripLabel("LabSource", mainPanel);
    m_labSource->setFont(Bold(m_labSource->font()));
    m_labSource->setAlignment(Qt::AlignCenter);
    m_labSource->setFixedHeight(18);
    // While stopped the label is hidden; its place stays, so nothing moves.
    QSizePolicy sourcePolicy = m_labSource->sizePolicy();
    sourcePolicy.setRetainSizeWhenHidden(true);
    m_labSource->setSizePolicy(sourcePolicy);
    m_labSource->hide();
    panel->addWidget(m_labSource);
    panel->addStretch(1);

    auto* strip = new QFrame(mainPanel);
    m_panDataControl = strip;
    strip->setObjectName(QStringLiteral("PanDataControl"));
    strip->setFixedHeight(16);
    strip->setToolTip(QStringLiteral("Sended title"));
    auto* stripLayout = new QHBoxLayout(strip);
    stripLayout->setContentsMargins(2, 0, 2, 0);
    stripLayout->setSpacing(2);
    m_labSendTitle = StripLabel("LabSendTitle", strip);
    m_labSendTitle->setToolTip(QStringLiteral("Send title"));
    m_labMainStatus = StripLabel("LabMainStatus", strip);
    m_labMainStatus->setFixedWidth(75);
    m_labMainStatus->setFont(Bold(m_labMainStatus->font()));
    m_labMainStatus->setAlignment(Qt::AlignCenter);
    m_labMainStatus->setToolTip(QStringLiteral("Online status"));
    m_labWindows = StripLabel("LabWindows", strip);
    m_labWindows->setFixedWidth(31);
    m_labWindows->setFont(Bold(m_labWindows->font()));
    m_labWindows->setAlignment(Qt::AlignCenter);
    m_labWindows->setToolTip(QStringLiteral("Connection PID status"));
    stripLayout->addWidget(m_labSendTitle, 1);
    stripLayout->addWidget(m_labMainStatus);
    stripLayout->addWidget(m_labWindows);
    strip->hide();
    panel->addWidget(strip);
    clientLayout->addWidget(mainPanel);

    m_pc = new ChannelTabs(client);
    clientLayout->addWidget(m_pc, 1);
    setCentralWidget(client);

    m_trayTimer = new QTimer(this);
    m_trayTimer->setInterval(kTrayFrameMs);
    connect(m_trayTimer, &QTimer::timeout, this, [this] {
        m_trayFrame = m_trayFrame % (kTrayFrames - 1) + 1;
        if (m_trayIcon != nullptr) {
            m_trayIcon->setIcon(TrayIconFrame(m_trayFrame));
        }
    });

    connect(m_sbPlayStop, &QToolButton::clicked, this, &MainWindow::playStopClicked);
    connect(m_sbSetting, &QToolButton::clicked, this, &MainWindow::settingsClicked);
    connect(m_tbVolume, &QSlider::valueChanged, this, [this](int position) {
        updateVolumeHint();
        emit volumeChanged(position);
    });

    setPlaying(false);
    setSilenceState(false);
    setStudioWindowCount(0);
    updateVolumeHint();

    setFixedSize(kClientWidth, kMainPanelHeight + kPagesHeight);
    if (const QScreen* screen = QGuiApplication::primaryScreen()) {
        const QRect area = screen->availableGeometry();
        move(area.center() - rect().center());
    }
}

MainWindow::~MainWindow() {
    QCoreApplication::removeTranslator(m_skinTranslator);
}

void MainWindow::setLanguage(const TLanguage* language) {
    m_language = language;
}

QString MainWindow::text(const char* group, const char* name, const char* english) const {
    const QString def = QString::fromUtf8(english);
    if (m_language == nullptr) {
        return def;
    }
    return m_language->GetGroupText(QString::fromLatin1(group), QString::fromLatin1(name), def);
}

void MainWindow::Language_Change() {
    if (m_language == nullptr) {
        return;
    }
    TranslateWindow(this, *m_language);
    translateSkinTexts();
    // The online/silence word is the language's own status word.
    setSilenceState(m_silence);
}

void MainWindow::translateSkinTexts() {
    if (m_language == nullptr) {
        return;
    }
    TranslateSkinTexts(m_skinTexts, *m_language);
    m_skinTranslator->setTable(m_skinTexts);
    // Installing again tells every widget to fetch its Qt texts anew.
    QCoreApplication::installTranslator(m_skinTranslator);
}

void MainWindow::applyTitle() {
    QGuiApplication::setApplicationDisplayName(windowTitle());
    if (m_trayIcon != nullptr) {
        m_trayIcon->setToolTip(windowTitle());
    }
}

void MainWindow::setDeviceText(const QString& text) {
    m_labDevice->setText(text);
}

void MainWindow::setLevels(double leftDb, double rightDb) {
    m_meterFeed->setLevels(leftDb, rightDb);
}

void MainWindow::setHeadless(bool headless) {
    m_headless = headless;
    updatePresenting();
}

bool MainWindow::presenting() const {
    return !m_headless && isVisible() && !isMinimized();
}

void MainWindow::updatePresenting() {
    const bool presenting = this->presenting();
    m_meterFeed->setPresenting(presenting);
    for (ChannelPanel* panel : m_panels) {
        panel->setPresenting(presenting);
    }
}

void MainWindow::showEvent(QShowEvent* event) {
    QMainWindow::showEvent(event);
    updatePresenting();
}

void MainWindow::hideEvent(QHideEvent* event) {
    QMainWindow::hideEvent(event);
    updatePresenting();
}

void MainWindow::setPlaying(bool playing) {
    const bool changed = playing != m_playing || m_sbPlayStop->icon().isNull();
    m_playing = playing;
    m_labSource->setVisible(playing);
    if (changed) {
        m_sbPlayStop->setIcon(MainPlayStopImage(playing ? 1 : 0));
        updateTrayAnimation();
    }
}

void MainWindow::setOnAirChannel(int onAirIndex) {
    // Called every tick; the text is looked up each time, so a language
    // chosen meanwhile shows at once, but only a change is drawn.
    const QString word = m_language != nullptr
                             ? m_language->GetMsgText(QStringLiteral("PlayChannel"))
                             : keys::msg::PlayChannel.englishText();
    const QString text = word + QLatin1Char(' ') + QString::number(onAirIndex + 1);
    if (text != m_labSource->text()) {
        m_labSource->setText(text);
    }
}

void MainWindow::setSourceText(const QString& text) {
    if (text != m_labSource->text()) {
        m_labSource->setText(text);
    }
}

void MainWindow::setSourceVisible(bool visible) {
    m_labSource->setVisible(visible);
}

void MainWindow::closeEvent(QCloseEvent* event) {
    if (m_closeHandler && !m_closeHandler()) {
        event->ignore();
        return;
    }
    QMainWindow::closeEvent(event);
}

void MainWindow::setSilenceState(bool silence) {
    m_silence = silence;
    const LanguageKey& word = silence ? keys::msg::Silence : keys::msg::Online;
    m_labMainStatus->setText(m_language != nullptr ? m_language->Text(word) : word.englishText());
    SetTextColor(m_labMainStatus, silence ? QColor(Qt::red) : WindowTextColor());
}

void MainWindow::setStudioWindowCount(int count) {
    m_studioWindows = count;
    if (count == 0) {
        m_labWindows->setText(QStringLiteral("Off"));
        SetTextColor(m_labWindows, Qt::red);
    } else if (count == 1) {
        m_labWindows->setText(QStringLiteral("On"));
        SetTextColor(m_labWindows, WindowTextColor());
    } else {
        // More than one studio window is as good as one; a count below zero
        // (a bookkeeping fault) keeps the warning colour.
        m_labWindows->setText(QString::number(count));
        SetTextColor(m_labWindows, count > 1 ? WindowTextColor() : QColor(Qt::red));
    }
}

void MainWindow::setSentTitle(const QString& title) {
    m_labSendTitle->setText(title);
}

void MainWindow::setVolumePosition(int position) {
    m_tbVolume->setValue(std::clamp(position, 0, 100));
}

int MainWindow::volumePosition() const {
    return m_tbVolume->value();
}

void MainWindow::updateVolumeHint() {
    // A hint being shown would keep the old figure.
    if (QToolTip::isVisible()) {
        QToolTip::hideText();
    }
    m_tbVolume->setToolTip(QString::number(m_tbVolume->value()) + QLatin1Char('%'));
}

void MainWindow::setInteractive(bool interactive) {
    m_panDataControl->setVisible(interactive);
}

void MainWindow::setHideToTray(bool hide) {
    m_hideToTray = hide;
}

bool MainWindow::trayIconActive() const {
    return m_trayIcon != nullptr && m_trayIcon->isVisible();
}

bool MainWindow::trayIconAnimated() const {
    return m_trayTimer->isActive();
}

void MainWindow::ensureTrayIcon() {
    if (m_trayIcon != nullptr) {
        return;
    }
    m_trayIcon = new QSystemTrayIcon(TrayIconFrame(0), this);
    m_trayIcon->setObjectName(QStringLiteral("RTIcon"));
    connect(m_trayIcon, &QSystemTrayIcon::activated, this,
            [this](QSystemTrayIcon::ActivationReason reason) {
                if (reason == QSystemTrayIcon::DoubleClick) {
                    restoreFromTray();
                }
            });
}

void MainWindow::updateTrayAnimation() {
    const bool animate = m_playing && trayIconActive();
    if (animate && !m_trayTimer->isActive()) {
        m_trayTimer->start();
    } else if (!animate && m_trayTimer->isActive()) {
        m_trayTimer->stop();
    }
    if (!animate && m_trayIcon != nullptr) {
        m_trayFrame = 0;
        m_trayIcon->setIcon(TrayIconFrame(0));
    }
}

void MainWindow::changeEvent(QEvent* event) {
    QMainWindow::changeEvent(event);
    if (event->type() == QEvent::WindowStateChange) {
        updatePresenting();
        if (isMinimized()) {
            onMinimize();
        }
    }
}

void MainWindow::onMinimize() {
    // Hiding without a notification area to come back from would lose the
    // window: then it stays minimised on the task bar.
    if (m_hideToTray && QSystemTrayIcon::isSystemTrayAvailable()) {
        ensureTrayIcon();
        m_trayIcon->setToolTip(windowTitle());
        m_trayIcon->show();
        QTimer::singleShot(0, this, [this] {
            if (isMinimized()) {
                hide();
            }
        });
    } else if (m_trayIcon != nullptr) {
        m_trayIcon->hide();
    }
    updateTrayAnimation();
}

void MainWindow::restoreFromTray() {
    showNormal();
    if (m_trayIcon != nullptr) {
        m_trayIcon->hide();
    }
    updateTrayAnimation();
    raise();
    activateWindow();
}

void MainWindow::shrinkToMainPanel() {
    m_pc->hide();
    setFixedHeight(kMainPanelHeight);
}

int MainWindow::channelPageCount() const {
    return static_cast<int>(m_panels.size());
}

ChannelPanel* MainWindow::channelPanel(int index) const {
    if (index < 0 || index >= channelPageCount()) {
        return nullptr;
    }
    return m_panels[static_cast<size_t>(index)];
}

QTabWidget* MainWindow::pageControl() const {
    return m_pc;
}

ChannelPanel* MainWindow::addChannelPage() {
    auto* panel = new ChannelPanel;
    panel->setHints(text("MSG", "LabBreakTime.Hint", "Time from connect"),
                    text("MSG", "LabPlayTime.Hint", "Playtime"),
                    text("MSG", "LabToConnect.Hint", "Time to reconnect"),
                    text("MSG", "ImgSilence.Hint", "Silence and connection detector"));
    m_pc->addTab(panel, QString::number(channelPageCount() + 1));
    m_panels.push_back(panel);
    panel->setPresenting(presenting());
    return panel;
}

void MainWindow::removeLastChannelPage() {
    if (m_panels.empty()) {
        return;
    }
    ChannelPanel* panel = m_panels.back();
    m_panels.pop_back();
    m_pc->removeTab(m_pc->indexOf(panel));
    delete panel;
}

void MainWindow::labelChannelTabs() {
    const int n = channelPageCount();
    QString word;
    if (n <= 5) {
        word = text("MSG", "Channel", "Channel") + QLatin1Char(' ');
    } else if (n <= 8) {
        word = text("MSG", "ChannelSh", "Ch.") + QLatin1Char(' ');
    }
    // The page control spans the client width; before the window is first
    // shown its own width is not laid out yet.
    m_pc->setFixedTabWidth(n >= 9 ? kClientWidth / n - 4 : 0);
    for (int k = 0; k < n; ++k) {
        m_pc->setTabText(k, word + QString::number(k + 1));
    }
}

}  // namespace qvm
