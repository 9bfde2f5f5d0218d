#include "config/SettingsDialog.h"

#include <QCheckBox>
#include <QComboBox>
#include <QDoubleSpinBox>
#include <QFileDialog>
#include <QFormLayout>
#include <QGridLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QPushButton>
#include <QRadioButton>
#include <QSlider>
#include <QSpinBox>
#include <QStyle>
#include <QTabWidget>
#include <QTableWidget>
#include <QTimeEdit>
#include <QToolButton>
#include <QVBoxLayout>
#include <cmath>
#include <memory>

#include "channel/RestartPlan.h"
#include "config/SettingsFile.h"
#include "core/Helpers.h"
#include "dsp/DspHost.h"
#include "lang/Language.h"
#include "lang/MessagePresenter.h"
#include "lang/WindowTranslation.h"

namespace qvm {
namespace {

QLabel* NamedLabel(const char* name, const QString& text, QWidget* parent) {
    auto* label = new QLabel(text, parent);
    label->setObjectName(QLatin1String(name));
    return label;
}

template <typename W>
W* Named(W* widget, const char* name) {
    widget->setObjectName(QLatin1String(name));
    return widget;
}

QSpinBox* IntBox(const char* name, int low, int high, QWidget* parent) {
    auto* box = Named(new QSpinBox(parent), name);
    box->setRange(low, high);
    return box;
}

QDoubleSpinBox* RealBox(const char* name, double low, double high, double step, QWidget* parent) {
    auto* box = Named(new QDoubleSpinBox(parent), name);
    box->setDecimals(1);
    box->setRange(low, high);
    box->setSingleStep(step);
    return box;
}

QSlider* Slider(const char* name, int low, int high, int step, QWidget* parent) {
    auto* slider = Named(new QSlider(Qt::Horizontal, parent), name);
    slider->setRange(low, high);
    slider->setSingleStep(step);
    slider->setPageStep(step);
    return slider;
}

// Slider whose double-click puts it back to 0 (the amplifier).
class ZeroingSlider final : public QSlider {
  public:
    using QSlider::QSlider;

  protected:
    void mouseDoubleClickEvent(QMouseEvent*) override { setValue(0); }
};

}  // namespace

// --- PathEdit ---

PathEdit::PathEdit(Kind kind, QWidget* parent) : QWidget(parent), m_kind(kind) {
    auto* layout = new QHBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->setSpacing(2);
    m_edit = new QLineEdit(this);
    auto* button = new QToolButton(this);
    button->setText(QStringLiteral("…"));
    layout->addWidget(m_edit, 1);
    layout->addWidget(button);
    connect(m_edit, &QLineEdit::textChanged, this, &PathEdit::textChanged);
    connect(button, &QToolButton::clicked, this, &PathEdit::pick);
}

QString PathEdit::text() const {
    return m_edit->text();
}

void PathEdit::setText(const QString& text) {
    m_edit->setText(text);
}

void PathEdit::pick() {
    const QString chosen = m_kind == Kind::File
                               ? QFileDialog::getOpenFileName(this, m_title, m_edit->text(),
                                                              QStringLiteral("All files (*)"))
                               : QFileDialog::getExistingDirectory(this, m_title, m_edit->text());
    if (!chosen.isEmpty()) {
        m_edit->setText(chosen);
    }
}

// --- TFSettings ---

TFSettings::TFSettings(SettingsDialogContext context, QWidget* parent)
    : QDialog(parent), m_ctx(std::move(context)) {
    if (m_ctx.messages == nullptr) {
        m_ownMessages = std::make_unique<QtMessagePresenter>(&m_ctx.language, this);
        m_ctx.messages = m_ownMessages.get();
    }
    setObjectName(QStringLiteral("FSettings"));
    setWindowTitle(QStringLiteral("Settings"));
    auto* layout = new QVBoxLayout(this);
    m_pages = Named(new QTabWidget(this), "PC");
    layout->addWidget(m_pages);
    const struct {
        const char* name;
        const char* caption;
        void (TFSettings::*build)(QWidget*);
    } pages[] = {{"TabMain", "Main", &TFSettings::buildMain},
                 {"TabStreams", "Streams", &TFSettings::buildStreams},
                 {"TabPlugins", "Plugins", &TFSettings::buildPlugins},
                 {"TabHTTP", "HTTP Server", &TFSettings::buildHttp}};
    for (const auto& p : pages) {
        auto* page = Named(new QWidget(m_pages), p.name);
        (this->*p.build)(page);
        m_pages->addTab(page, QLatin1String(p.caption));
    }
    auto* saveRow = Named(new QFrame(this), "PanSave");
    auto* saveLayout = new QHBoxLayout(saveRow);
    saveLayout->setContentsMargins(0, 0, 0, 0);
    SBSave = Named(new QPushButton(QStringLiteral("Save settings"), saveRow), "SBSave");
    SBSave->setDefault(false);
    SBSave->setAutoDefault(false);
    saveLayout->addStretch();
    saveLayout->addWidget(SBSave);
    saveLayout->addStretch();
    layout->addWidget(saveRow);
    connect(SBSave, &QPushButton::clicked, this, &TFSettings::SBSaveClick);

    // FormCreate, in its order.
    SGChannels->setRowCount(1);
    TranslateWindow(this, m_ctx.language);
    setPickerTitles();
    m_pages->setCurrentIndex(0);
    m_work = m_ctx.config.channels;
    {
        const QSignalBlocker block(CBLanguage);
        QStringList names;
        m_ctx.language.GetLanguageNames(names);
        CBLanguage->addItems(names);
        CBLanguage->setCurrentIndex(m_ctx.language.IndexOfLanguage(m_ctx.config.settings.Language));
    }
    ERDaily->setDisplayFormat(QStringLiteral("HH:mm"));
    FillMain();
    ShowChannels();
    FillPlugins();
    FillHTTP();
    // The folder cannot change under plug-ins in use, from the start.
    CheckChangePath();
}

TFSettings::~TFSettings() = default;

void TFSettings::buildMain(QWidget* page) {
    auto* grid = new QGridLayout(page);
    // Left column: general options, work mode, device.
    auto* left = new QVBoxLayout;
    auto* general = new QFormLayout;
    CBLanguage = Named(new QComboBox(page), "CBLanguage");
    general->addRow(NamedLabel("LabLanguage", QStringLiteral("Language"), page), CBLanguage);
    left->addLayout(general);
    CBHide = Named(new QCheckBox(QStringLiteral("Hide to tray"), page), "CBHide");
    CBAutoStart = Named(new QCheckBox(QStringLiteral("Autostart with the desktop session"), page),
                        "CBAutoStart");
    CBLog = Named(new QCheckBox(QStringLiteral("Enable log files"), page), "CBLog");
    left->addWidget(CBHide);
    left->addWidget(CBAutoStart);
    left->addWidget(CBLog);

    auto* mode = Named(new QGroupBox(QStringLiteral("Work mode"), page), "GBWorkMode");
    auto* modeLayout = new QGridLayout(mode);
    CBIMode = Named(new QCheckBox(QStringLiteral("Interactive mode. PID"), mode), "CBIMode");
    EPID = IntBox("EPID", 0, 32767, mode);
    CBAMode = Named(new QCheckBox(QStringLiteral("Autoplay 1st channel "), mode), "CBAMode");
    modeLayout->addWidget(CBIMode, 0, 0);
    modeLayout->addWidget(EPID, 0, 1);
    modeLayout->addWidget(CBAMode, 1, 0, 1, 2);
    left->addWidget(mode);

    auto* device = Named(new QGroupBox(QStringLiteral("Play device"), page), "GBPlayDevice");
    auto* deviceLayout = new QFormLayout(device);
    CBCard = Named(new QComboBox(device), "CBCard");
    CBCard->setMinimumContentsLength(24);
    CBBitrate = Named(new QComboBox(device), "CBBitrate");
    ECardWait = IntBox("ECardWait", 5, 180, device);
    deviceLayout->addRow(CBCard);
    deviceLayout->addRow(NamedLabel("LabBitrate", QStringLiteral("Sample rate"), device),
                         CBBitrate);
    deviceLayout->addRow(NamedLabel("LabCardWait", QStringLiteral("Wait device"), device),
                         ECardWait);
    sBufferSize = Slider("sBufferSize", 5, 600, 5, device);
    LabBufferSize = Named(new QLabel(device), "LabBufferSize");
    LabBufferSize->setMinimumWidth(fontMetrics().horizontalAdvance(QStringLiteral("000.0 ")));
    auto* buffer = new QHBoxLayout;
    buffer->addWidget(sBufferSize, 1);
    buffer->addWidget(LabBufferSize);
    deviceLayout->addRow(NamedLabel("LabBuffer", QStringLiteral("Buffer size (sec)"), device),
                         buffer);
    SVolume = Slider("SVolume", 0, 100, 5, device);
    sLabVolume = Named(new QLabel(device), "sLabVolume");
    sLabVolume->setMinimumWidth(fontMetrics().horizontalAdvance(QStringLiteral("100% ")));
    auto* volume = new QHBoxLayout;
    volume->addWidget(SVolume, 1);
    volume->addWidget(sLabVolume);
    deviceLayout->addRow(NamedLabel("LabVolume", QStringLiteral("Volume"), device), volume);
    EFadeOut = RealBox("EFadeOut", 0, 10, 1, device);
    EFadeIn = RealBox("EFadeIn", 0, 10, 1, device);
    deviceLayout->addRow(NamedLabel("LabFadeOut", QStringLiteral("Main fade out (sec)"), device),
                         EFadeOut);
    deviceLayout->addRow(NamedLabel("LabFadeIn", QStringLiteral("Main fade in (sec)"), device),
                         EFadeIn);
    LabDelaySend = NamedLabel("LabDelaySend", QStringLiteral("Delay send (ms)"), device);
    EDelaySend = IntBox("EDelaySend", 0, 2000, device);
    deviceLayout->addRow(LabDelaySend, EDelaySend);
    left->addWidget(device);
    left->addStretch();
    grid->addLayout(left, 0, 0);

    // Right column: silence, switching times, programs to run.
    auto* silence =
        Named(new QGroupBox(QStringLiteral("Silence and connection settings"), page), "GBSilence");
    auto* form = new QFormLayout(silence);
    SSilence = Slider("SSilence", -42, -3, 1, silence);
    LSilence = Named(new QLabel(silence), "LSilence");
    LSilence->setMinimumWidth(fontMetrics().horizontalAdvance(QStringLiteral("-42dB ")));
    auto* level = new QHBoxLayout;
    level->addWidget(SSilence, 1);
    level->addWidget(LSilence);
    form->addRow(NamedLabel("LabSilence", QStringLiteral("Silence level (dB)"), silence), level);
    ESilenceTime = IntBox("ESilenceTime", 0, 60, silence);
    ERestoreTime = IntBox("ERestoreTime", 1, 60, silence);
    EBreakTime = IntBox("EBreakTime", 1, 30, silence);
    EConnectTime = IntBox("EConnectTime", 1, 60, silence);
    form->addRow(NamedLabel("LabSilenceTime", QStringLiteral("Silence time (sec)"), silence),
                 ESilenceTime);
    form->addRow(NamedLabel("LabRestoreTime", QStringLiteral("Restore time (sec)"), silence),
                 ERestoreTime);
    form->addRow(NamedLabel("LabBreakTime", QStringLiteral("Break time (sec)"), silence),
                 EBreakTime);
    form->addRow(NamedLabel("LabConnectTime", QStringLiteral("Connection time (sec)"), silence),
                 EConnectTime);
    ECFadeOut = RealBox("ECFadeOut", 0, 10, 1, silence);
    ECFadeIn = RealBox("ECFadeIn", 0, 10, 1, silence);
    form->addRow(NamedLabel("LabCFadeOut", QStringLiteral("Channel fade out (sec)"), silence),
                 ECFadeOut);
    form->addRow(NamedLabel("LabCFadeIn", QStringLiteral("Channel fade in (sec)"), silence),
                 ECFadeIn);
    FERunOnChange = Named(new PathEdit(PathEdit::Kind::File, silence), "FERunOnChange");
    form->addRow(NamedLabel("LabRunOnChange", QStringLiteral("Run on change channel"), silence),
                 FERunOnChange);
    LabRunOnRestore =
        NamedLabel("LabRunOnRestore", QStringLiteral("Run on restore channel"), silence);
    FERunOnRestore = Named(new PathEdit(PathEdit::Kind::File, silence), "FERunOnRestore");
    form->addRow(LabRunOnRestore, FERunOnRestore);
    ETimedOut = RealBox("ETimedOut", 1, 60, 0.5, silence);
    form->addRow(NamedLabel("LabTimedOut", QStringLiteral("Connection timed out"), silence),
                 ETimedOut);
    grid->addWidget(silence, 0, 1, Qt::AlignTop);
    grid->setColumnStretch(1, 1);

    connect(CBIMode, &QCheckBox::toggled, this, &TFSettings::CBIModeClick);
    connect(SVolume, &QSlider::valueChanged, this,
            [this](int v) { sLabVolume->setText(QString::number(v) + QLatin1Char('%')); });
    connect(sBufferSize, &QSlider::valueChanged, this,
            [this](int v) { LabBufferSize->setText(QString::asprintf("%5.1f", v / 10.0)); });
    connect(SSilence, &QSlider::valueChanged, this,
            [this](int v) { LSilence->setText(QString::number(v) + QStringLiteral("dB")); });
    connect(CBLanguage, &QComboBox::currentIndexChanged, this, &TFSettings::CBLanguageChange);
}

void TFSettings::buildStreams(QWidget* page) {
    auto* layout = new QVBoxLayout(page);
    SGChannels = Named(new QTableWidget(0, 4, page), "SGChannels");
    SGChannels->setHorizontalHeaderLabels({QStringLiteral("№"), QStringLiteral("URL"),
                                           QStringLiteral("Play"), QStringLiteral("Amp")});
    SGChannels->verticalHeader()->hide();
    SGChannels->setSelectionBehavior(QAbstractItemView::SelectRows);
    SGChannels->setSelectionMode(QAbstractItemView::SingleSelection);
    SGChannels->setEditTriggers(QAbstractItemView::NoEditTriggers);
    SGChannels->horizontalHeader()->setSectionResizeMode(QHeaderView::ResizeToContents);
    SGChannels->horizontalHeader()->setSectionResizeMode(1, QHeaderView::Stretch);
    layout->addWidget(SGChannels, 1);

    auto* editor = new QGridLayout;
    EURL = Named(new QLineEdit(page), "EURL");
    editor->addWidget(NamedLabel("LabURL", QStringLiteral("URL of stream (http://...)"), page), 0,
                      0);
    editor->addWidget(EURL, 0, 1, 1, 3);
    CBPlayAlways =
        Named(new QCheckBox(QStringLiteral("A stream plays always"), page), "CBPlayAlways");
    editor->addWidget(CBPlayAlways, 1, 1, 1, 3);
    SAmplifier = Named(new ZeroingSlider(Qt::Horizontal, page), "SAmplifier");
    SAmplifier->setRange(-200, 200);
    SAmplifier->setPageStep(10);
    LabAmplifier = Named(new QLabel(page), "LabAmplifier");
    LabAmplifier->setMinimumWidth(fontMetrics().horizontalAdvance(QStringLiteral("+20.0 Db ")));
    editor->addWidget(NamedLabel("LabAmp", QStringLiteral("Amplifier"), page), 2, 0);
    editor->addWidget(SAmplifier, 2, 1, 1, 2);
    editor->addWidget(LabAmplifier, 2, 3);
    editor->setColumnStretch(1, 1);
    layout->addLayout(editor);

    auto* lower = new QHBoxLayout;
    auto* restart = Named(new QGroupBox(QStringLiteral("To restart a stream"), page), "GBRestart");
    auto* restartLayout = new QGridLayout(restart);
    CBRDaily = Named(new QCheckBox(QStringLiteral("Daily in (time)"), restart), "CBRDaily");
    ERDaily = Named(new QTimeEdit(restart), "ERDaily");
    CBRLong =
        Named(new QCheckBox(QStringLiteral("Stream longer what (hours)"), restart), "CBRLong");
    ERLong = IntBox("ERLong", 1, 255, restart);
    CBRPlays = Named(new QCheckBox(QStringLiteral("To restart only when Studio plays"), restart),
                     "CBRPlays");
    restartLayout->addWidget(CBRDaily, 0, 0);
    restartLayout->addWidget(ERDaily, 0, 1);
    restartLayout->addWidget(CBRLong, 1, 0);
    restartLayout->addWidget(ERLong, 1, 1);
    restartLayout->addWidget(CBRPlays, 2, 0, 1, 2);
    restartLayout->setRowStretch(3, 1);
    lower->addWidget(restart);

    auto* buttons = new QVBoxLayout;
    SaveChannel = Named(new QPushButton(QStringLiteral("Save channel"), page), "SaveChannel");
    SBUpCh = Named(new QPushButton(QStringLiteral("Up"), page), "SBUpCh");
    SBUpCh->setToolTip(QStringLiteral("Up channel"));
    SBDownCh = Named(new QPushButton(QStringLiteral("Down"), page), "SBDownCh");
    SBDownCh->setToolTip(QStringLiteral("Down channel"));
    SBRemoveCh = Named(new QPushButton(QStringLiteral("Remove"), page), "SBRemoveCh");
    SBRemoveCh->setToolTip(QStringLiteral("Remove channel"));
    for (QPushButton* b : {SaveChannel, SBUpCh, SBDownCh, SBRemoveCh}) {
        b->setAutoDefault(false);
        buttons->addWidget(b);
    }
    buttons->addStretch();
    lower->addLayout(buttons);

    PanSwitchMode = Named(new QGroupBox(QStringLiteral("Switching mode"), page), "PanSwitchMode");
    auto* switching = new QVBoxLayout(PanSwitchMode);
    RGSwitch = Named(new RadioGroup(PanSwitchMode), "RGSwitch");
    auto* rgLayout = new QVBoxLayout(RGSwitch);
    for (const char* text : {"Play in subordination", "Switch in cycle mode"}) {
        auto* choice = new QRadioButton(QLatin1String(text), RGSwitch);
        rgLayout->addWidget(choice);
        connect(choice, &QRadioButton::toggled, this, [this](bool on) {
            if (on) {
                RGSwitchClick();
            }
        });
    }
    switching->addWidget(RGSwitch);
    CBSBySilence =
        Named(new QCheckBox(QStringLiteral("Switch by silence"), PanSwitchMode), "CBSBySilence");
    CBSByBreak =
        Named(new QCheckBox(QStringLiteral("Switch by break"), PanSwitchMode), "CBSByBreak");
    CBRestoreBlock =
        Named(new QCheckBox(QStringLiteral("To restore only when Studio plays"), PanSwitchMode),
              "CBRestoreBlock");
    switching->addWidget(CBSBySilence);
    switching->addWidget(CBSByBreak);
    switching->addWidget(CBRestoreBlock);
    switching->addStretch();
    lower->addWidget(PanSwitchMode, 1);
    layout->addLayout(lower);

    connect(SGChannels, &QTableWidget::currentCellChanged, this,
            [this](int row, int, int previous, int) {
                if (row >= 0 && row != previous) {
                    m_row = row;
                    SGChannelsClick();
                }
            });
    connect(EURL, &QLineEdit::textChanged, this, &TFSettings::EURLChange);
    connect(SAmplifier, &QSlider::valueChanged, this,
            [this](int v) { LabAmplifier->setText(GetS_Amp(v)); });
    connect(CBRDaily, &QCheckBox::toggled, this, &TFSettings::ChangeShow_Restart);
    connect(CBRLong, &QCheckBox::toggled, this, &TFSettings::ChangeShow_Restart);
    connect(SaveChannel, &QPushButton::clicked, this, &TFSettings::SaveChannelClick);
    connect(SBUpCh, &QPushButton::clicked, this, &TFSettings::SBUpChClick);
    connect(SBDownCh, &QPushButton::clicked, this, &TFSettings::SBDownChClick);
    connect(SBRemoveCh, &QPushButton::clicked, this, &TFSettings::SBRemoveChClick);
    connect(m_pages, &QTabWidget::currentChanged, this, [this, page](int) {
        if (m_pages->currentWidget() == page) {
            SGChannelsClick();
        }
    });
}

void TFSettings::buildPlugins(QWidget* page) {
    auto* layout = new QVBoxLayout(page);
    auto* path = new QFormLayout;
    DEPlugins = Named(new PathEdit(PathEdit::Kind::Folder, page), "DEPlugins");
    path->addRow(NamedLabel("LabPlugins", QStringLiteral("Path to plugins"), page), DEPlugins);
    layout->addLayout(path);
    auto* lists = new QHBoxLayout;
    LBPlugin = Named(new QListWidget(page), "LBPlugin");
    lists->addWidget(LBPlugin, 1);
    auto* arrows = new QVBoxLayout;
    SBFilterAdd = Named(new QToolButton(page), "SBFilterAdd");
    SBFilterAdd->setIcon(style()->standardIcon(QStyle::SP_ArrowRight));
    SBFilterAdd->setToolTip(QStringLiteral("Add"));
    SBFilterDel = Named(new QToolButton(page), "SBFilterDel");
    SBFilterDel->setIcon(style()->standardIcon(QStyle::SP_ArrowLeft));
    SBFilterDel->setToolTip(QStringLiteral("Remove"));
    arrows->addStretch();
    arrows->addWidget(SBFilterAdd);
    arrows->addWidget(SBFilterDel);
    arrows->addStretch();
    lists->addLayout(arrows);
    auto* inUse = Named(new QGroupBox(QStringLiteral("In use"), page), "GBInUse");
    auto* inUseLayout = new QVBoxLayout(inUse);
    LBUsePlugin = Named(new QListWidget(inUse), "LBUsePlugin");
    inUseLayout->addWidget(LBUsePlugin);
    lists->addWidget(inUse, 1);
    layout->addLayout(lists, 1);

    connect(DEPlugins, &PathEdit::textChanged, this, &TFSettings::DEPluginsChange);
    connect(SBFilterAdd, &QToolButton::clicked, this, &TFSettings::SBFilterAddClick);
    connect(SBFilterDel, &QToolButton::clicked, this, &TFSettings::SBFilterDelClick);
    connect(LBUsePlugin, &QListWidget::itemDoubleClicked, this, &TFSettings::LBUsePluginDblClick);
}

void TFSettings::buildHttp(QWidget* page) {
    auto* outer = new QVBoxLayout(page);
    auto* form = new QFormLayout;
    EHTTPPort = IntBox("EHTTPPort", 0, 65535, page);
    EHTTPPort->setToolTip(QStringLiteral(
        "0 - Disable, 8090 - Recommended\r\nAt Change of value program restart is required"));
    EHTTPUser = Named(new QLineEdit(page), "EHTTPUser");
    EHTTPPass = Named(new QLineEdit(page), "EHTTPPass");
    EHTTPPass->setEchoMode(QLineEdit::Password);
    EHTTPRefresh = IntBox("EHTTPRefresh", 0, 600, page);
    form->addRow(NamedLabel("LabHTTPPort", QStringLiteral("Port"), page), EHTTPPort);
    form->addRow(NamedLabel("LabHTTPUser", QStringLiteral("Username"), page), EHTTPUser);
    form->addRow(NamedLabel("LabHTTPPass", QStringLiteral("Password"), page), EHTTPPass);
    form->addRow(NamedLabel("LabHTTPRefresh", QStringLiteral("Refresh"), page), EHTTPRefresh);
    outer->addLayout(form);
    outer->addStretch();
}

void TFSettings::setPickerTitles() {
    const QString open = m_ctx.language.GetDialogText(QStringLiteral("OpenFile"));
    FERunOnChange->setPickerTitle(open);
    FERunOnRestore->setPickerTitle(open);
    DEPlugins->setPickerTitle(m_ctx.language.GetDialogText(QStringLiteral("SelectFolder")));
}

QString TFSettings::GetS_Amp(int value) {
    return (value > 0 ? QStringLiteral("+") : QString()) +
           QString::asprintf("%3.1f", value / 10.0) + QStringLiteral(" Db");
}

void TFSettings::FillMain() {
    const PlayerSettings& s = m_ctx.config.settings;
    CBBitrate->clear();
    for (const int rate : kSampleRates) {
        CBBitrate->addItem(QString::number(rate));
    }
    CBCard->clear();
    CBCard->addItems(m_ctx.deviceNames);
    CBCard->setCurrentIndex(-1);
    for (int i = 0; i < m_ctx.deviceNames.size(); ++i) {
        if (m_ctx.deviceNames[i].compare(s.Device, Qt::CaseInsensitive) == 0) {
            CBCard->setCurrentIndex(i);
            break;
        }
    }
    CBIMode->setChecked((s.SourceMode & 2) != 0);
    CBAMode->setChecked((s.SourceMode & 1) != 0);
    EPID->setValue(s.PID);
    CBAutoStart->setChecked(IsAutostartOn(m_ctx.executablePath, m_ctx.autostart));
    CBHide->setChecked(s.Hide);
    CBLog->setChecked(s.Log);
    CBBitrate->setCurrentIndex(s.Bitrate >= 0 && s.Bitrate < CBBitrate->count() ? s.Bitrate : -1);
    ECardWait->setValue(s.Wait);
    SVolume->setValue(s.Volume);
    sBufferSize->setValue(static_cast<int>(s.Buffer * 10));
    SSilence->setValue(s.SilenceLevel);
    ESilenceTime->setValue(static_cast<int>(s.SilenceTime));
    ERestoreTime->setValue(static_cast<int>(s.RestoreTime));
    EBreakTime->setValue(static_cast<int>(s.BreakTime));
    EConnectTime->setValue(static_cast<int>(s.ConnectTime));
    EFadeOut->setValue(s.FadeOut);
    EFadeIn->setValue(s.FadeIn);
    ECFadeOut->setValue(s.ChFadeOut);
    ECFadeIn->setValue(s.ChFadeIn);
    ETimedOut->setValue(s.TimeOut);
    const QList<QRadioButton*> choices = RGSwitch->choices();
    choices.at(s.SwitchMode == 1 ? 1 : 0)->setChecked(true);
    CBSBySilence->setChecked((s.SwitchBy & 1) != 0);
    CBSByBreak->setChecked((s.SwitchBy & 2) != 0);
    EDelaySend->setValue(s.Delay);
    CBRestoreBlock->setChecked(s.RestoreMode);
    FERunOnChange->setText(s.RunOnChange);
    FERunOnRestore->setText(s.RunOnRestore);
    // The value labels show the values just filled in, whether or not the
    // sliders moved.
    sLabVolume->setText(QString::number(SVolume->value()) + QLatin1Char('%'));
    LabBufferSize->setText(QString::asprintf("%5.1f", sBufferSize->value() / 10.0));
    LSilence->setText(QString::number(SSilence->value()) + QStringLiteral("dB"));
    CBIModeClick();
    RGSwitchClick();
}

void TFSettings::FillHTTP() {
    const PlayerSettings& s = m_ctx.config.settings;
    EHTTPPort->setValue(s.HTTPPort);
    EHTTPUser->setText(s.HTTPUser);
    EHTTPPass->setText(s.HTTPPass);
    EHTTPRefresh->setValue(s.HTTPRefresh);
}

void TFSettings::FillPlugins() {
    DEPlugins->setText(m_ctx.config.pluginPath);
    DEPluginsChange();  // also when the text did not change
    LBUsePlugin->clear();
    LBUsePlugin->addItems(m_ctx.config.pluginFiles);
}

void TFSettings::ShowChannels() {
    const int count = static_cast<int>(m_work.size());
    const QSignalBlocker block(SGChannels);
    SGChannels->setRowCount(count + 1);
    const auto cell = [this](int row, int column, const QString& text) {
        auto* item = new QTableWidgetItem(text);
        item->setFlags(Qt::ItemIsSelectable | Qt::ItemIsEnabled);
        SGChannels->setItem(row, column, item);
    };
    for (int i = 0; i <= count; ++i) {
        cell(i, 0, QString::number(i + 1));
        if (i < count) {
            const ChannelSettings& entry = *m_work[i];
            cell(i, 1, entry.URL);
            cell(i, 2, entry.Always ? QStringLiteral("Yes") : QString());
            cell(i, 3, entry.Amp != 0 ? GetS_Amp(entry.Amp) : QString());
        } else {
            for (int c = 1; c < 4; ++c) {
                cell(i, c, QString());
            }
        }
    }
    m_row = std::clamp(m_row, 0, count);
    SGChannels->setCurrentCell(m_row, 0);
    SGChannelsClick();
    ShowSwithches();
}

void TFSettings::selectRow(int row) {
    SGChannels->setCurrentCell(row, 0);
}

void TFSettings::SGChannelsClick() {
    const int count = static_cast<int>(m_work.size());
    if (m_row < count) {
        const ChannelSettings& entry = *m_work[m_row];
        EURL->setText(entry.URL);
        CBPlayAlways->setChecked(entry.Always);
        SAmplifier->setValue(entry.Amp);
        SHow_PlanRestart(entry.Restart);
    } else {
        EURL->clear();
        CBPlayAlways->setChecked(false);
        SAmplifier->setValue(0);
        SHow_PlanRestart(0);
    }
    LabAmplifier->setText(GetS_Amp(SAmplifier->value()));
    SBUpCh->setEnabled(m_row > 0 && m_row < count);
    SBDownCh->setEnabled(m_row < count - 1);
    SBRemoveCh->setEnabled(m_row < count && !EURL->text().isEmpty());
    ShowSwithches();
}

void TFSettings::SHow_PlanRestart(qint32 value) {
    RestartPlan plan = RestartPlan::Unpack(value);
    if (value == 0) {
        plan.hours = 24;
        plan.timeOfDay = 3.0 / 24.0;
    }
    CBRLong->setChecked((plan.flags & RestartPlan::kAfterHours) != 0);
    ERLong->setValue(plan.hours);
    CBRDaily->setChecked((plan.flags & RestartPlan::kDaily) != 0);
    const int minutes = static_cast<int>(std::lround(plan.timeOfDay * 1440.0)) % 1440;
    ERDaily->setTime(QTime(minutes / 60, minutes % 60));
    updateRestartPlays();
    CBRPlays->setChecked(!CBRPlays->isHidden() &&
                         (plan.flags & RestartPlan::kOnlyWhenStudioPlays) != 0);
    ChangeShow_Restart();
}

void TFSettings::updateRestartPlays() {
    CBRPlays->setVisible(CBIMode->isChecked() && (CBRLong->isChecked() || CBRDaily->isChecked()));
}

void TFSettings::ChangeShow_Restart() {
    ERDaily->setVisible(CBRDaily->isChecked());
    ERLong->setVisible(CBRLong->isChecked());
    updateRestartPlays();
}

qint32 TFSettings::Apply_PlanRestart() const {
    RestartPlan plan;
    if (CBRPlays->isChecked() && !CBRPlays->isHidden()) {
        plan.flags |= RestartPlan::kOnlyWhenStudioPlays;
    }
    if (CBRLong->isChecked()) {
        plan.flags |= RestartPlan::kAfterHours;
        plan.hours = static_cast<std::uint8_t>(ERLong->value());
    }
    if (CBRDaily->isChecked()) {
        plan.flags |= RestartPlan::kDaily;
        const QTime t = ERDaily->time();
        plan.timeOfDay = (t.hour() * 60 + t.minute()) / 1440.0;
    }
    return plan.Pack();
}

void TFSettings::SaveChannelClick() {
    std::shared_ptr<ChannelSettings> entry;
    if (m_row < m_work.size()) {
        entry = m_work[m_row];
    } else {
        entry = std::make_shared<ChannelSettings>();
        m_work.append(entry);
    }
    entry->Always = CBPlayAlways->isChecked();
    entry->URL = CutUtf8(EURL->text(), kLongTextBytes);
    entry->Amp = static_cast<qint16>(SAmplifier->value());
    entry->Restart = Apply_PlanRestart();
    ShowChannels();
}

void TFSettings::EURLChange() {
    SaveChannel->setEnabled(!EURL->text().trimmed().isEmpty());
}

void TFSettings::SBRemoveChClick() {
    if (!m_work.isEmpty() && m_row < m_work.size()) {
        m_work.removeAt(m_row);
        ShowChannels();
    }
}

void TFSettings::SBUpChClick() {
    if (m_row > 0 && m_row < m_work.size()) {
        m_work.swapItemsAt(m_row, m_row - 1);
        --m_row;
        ShowChannels();
    }
}

void TFSettings::SBDownChClick() {
    if (m_row < m_work.size() - 1) {
        m_work.swapItemsAt(m_row, m_row + 1);
        ++m_row;
        ShowChannels();
    }
}

void TFSettings::ShowSwithches() {
    const bool several = m_work.size() > 1;
    for (QWidget* w :
         std::initializer_list<QWidget*>{PanSwitchMode, CBSBySilence, CBSByBreak, CBRestoreBlock}) {
        w->setEnabled(several);
    }
    RGSwitch->setVisible(several);
    const QList<QRadioButton*> choices = RGSwitch->choices();
    CBRestoreBlock->setVisible(CBIMode->isChecked() && choices.at(0)->isChecked());
}

void TFSettings::CBIModeClick() {
    const bool on = CBIMode->isChecked();
    EPID->setVisible(on);
    EDelaySend->setVisible(on);
    LabDelaySend->setVisible(on);
    updateRestartPlays();
    ShowSwithches();
}

void TFSettings::RGSwitchClick() {
    const bool subordination = RGSwitch->choices().at(0)->isChecked();
    FERunOnRestore->setVisible(subordination);
    LabRunOnRestore->setVisible(subordination);
    ShowSwithches();
}

void TFSettings::CBLanguageChange(int index) {
    if (index < 0) {
        return;
    }
    m_ctx.language.SelectLanguage(index);
    TranslateWindow(this, m_ctx.language);
    setPickerTitles();
    if (m_ctx.languageChanged) {
        m_ctx.languageChanged();
    }
}

void TFSettings::DEPluginsChange() {
    LBPlugin->clear();
    if (m_ctx.plugins == nullptr) {
        return;
    }
    m_ctx.plugins->ScanPlugins(AddTrailingBackslash(DEPlugins->text()));
    LBPlugin->addItems(m_ctx.plugins->FoundPlugins());
}

void TFSettings::SBFilterAddClick() {
    const QListWidgetItem* chosen = LBPlugin->currentItem();
    if (chosen == nullptr || !chosen->isSelected()) {
        return;
    }
    const QString name = chosen->text();
    for (int i = 0; i < LBUsePlugin->count(); ++i) {
        if (LBUsePlugin->item(i)->text().compare(name, Qt::CaseInsensitive) == 0) {
            return;
        }
    }
    LBUsePlugin->addItem(name);
    if (m_ctx.plugins != nullptr) {
        m_ctx.plugins->LoadPlugin(AddTrailingBackslash(DEPlugins->text()), name);
    }
    CheckChangePath();
}

void TFSettings::SBFilterDelClick() {
    const int index = LBUsePlugin->currentRow();
    if (index < 0 || LBUsePlugin->currentItem() == nullptr ||
        !LBUsePlugin->currentItem()->isSelected()) {
        return;
    }
    if (m_ctx.plugins != nullptr) {
        m_ctx.plugins->UnloadPlugin(index);
    }
    delete LBUsePlugin->takeItem(index);
    CheckChangePath();
}

void TFSettings::LBUsePluginDblClick() {
    const int index = LBUsePlugin->currentRow();
    if (index >= 0 && m_ctx.plugins != nullptr) {
        m_ctx.plugins->ConfigPlugin(index);
    }
}

void TFSettings::CheckChangePath() {
    DEPlugins->setEnabled(LBUsePlugin->count() == 0);
}

void TFSettings::refuse(const QString& key) {
    m_ctx.language.ShowDialogMsg(key, *m_ctx.messages, MessageButtons::Ok, MessageKind::Error);
}

void TFSettings::showError(const QString& text) {
    m_ctx.messages->present(text, MessageKind::Error, MessageButtons::Ok);
}

void TFSettings::SBSaveClick() {
    if (!ApplyParm()) {
        return;
    }
    const ConfigResult saved = SaveSettings(m_ctx.config, m_ctx.iniPath);
    if (!saved) {
        // Applied in memory already; the dialog stays open so the station can
        // try again (or fix the folder's permissions first).
        showError(saved.error);
        return;
    }
    accept();
}

bool TFSettings::ApplyParm() {
    if (m_work.isEmpty()) {
        refuse(QStringLiteral("Define1URL"));
        return false;
    }
    if (CBIMode->isChecked() && EPID->value() < 1) {
        refuse(QStringLiteral("DefPID"));
        return false;
    }
    if (CBCard->currentIndex() < 0) {
        refuse(QStringLiteral("SelectDevice"));
        return false;
    }
    if (CBBitrate->currentIndex() < 0) {
        refuse(QStringLiteral("SelectBitrate"));
        return false;
    }
    PlayerSettings& s = m_ctx.config.settings;
    if (CBLanguage->currentIndex() >= 0) {
        s.Language =
            CutUtf8(m_ctx.language.LanguageName(CBLanguage->currentIndex()), kShortTextBytes);
    }
    s.SourceMode = (CBAMode->isChecked() ? 1 : 0) + (CBIMode->isChecked() ? 2 : 0);
    s.PID = static_cast<qint16>(EPID->value());
    if (const ConfigResult autostart =
            SetAutostart(m_ctx.executablePath, CBAutoStart->isChecked(), m_ctx.autostart);
        !autostart) {
        // The rest applies all the same; the station learns the entry failed.
        showError(autostart.error);
    }
    s.Hide = CBHide->isChecked();
    s.Log = CBLog->isChecked();
    s.Device = CutUtf8(CBCard->currentText(), kLongTextBytes);
    s.Bitrate = CBBitrate->currentIndex();
    s.Wait = ECardWait->value();
    s.Volume = SVolume->value();
    s.Buffer = sBufferSize->value() / 10.0;
    s.SilenceLevel = static_cast<qint16>(SSilence->value());
    s.SilenceTime = ESilenceTime->value();
    s.RestoreTime = ERestoreTime->value();
    s.BreakTime = EBreakTime->value();
    s.ConnectTime = EConnectTime->value();
    s.FadeOut = EFadeOut->value();
    s.FadeIn = EFadeIn->value();
    s.Delay = static_cast<quint16>(EDelaySend->value());
    s.ChFadeOut = ECFadeOut->value();
    s.ChFadeIn = ECFadeIn->value();
    s.SwitchMode = RGSwitch->choices().at(1)->isChecked() ? 1 : 0;
    s.SwitchBy = static_cast<quint8>((CBSBySilence->isChecked() ? 1 : 0) +
                                     (CBSByBreak->isChecked() ? 2 : 0));
    s.TimeOut = ETimedOut->value();
    if (CBRestoreBlock->isHidden()) {
        CBRestoreBlock->setChecked(false);
    }
    s.RestoreMode = CBRestoreBlock->isChecked();
    s.RunOnChange = CutUtf8(FERunOnChange->text().trimmed(), kShortTextBytes);
    s.RunOnRestore = CutUtf8(FERunOnRestore->text().trimmed(), kShortTextBytes);
    s.HTTPPort = EHTTPPort->value();
    s.HTTPUser = CutUtf8(EHTTPUser->text(), kShortTextBytes);
    s.HTTPPass = CutUtf8(EHTTPPass->text(), kShortTextBytes);
    s.HTTPRefresh = EHTTPRefresh->value();
    m_ctx.config.channels = m_work;
    m_ctx.config.pluginPath = CutUtf8(DEPlugins->text(), kLongTextBytes);
    QStringList files;
    for (int i = 0; i < LBUsePlugin->count(); ++i) {
        files.append(LBUsePlugin->item(i)->text());
    }
    m_ctx.config.pluginFiles = files;
    return true;
}

}  // namespace qvm
