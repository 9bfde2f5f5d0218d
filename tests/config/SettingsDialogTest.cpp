// The settings dialog driven through its widgets, offscreen, as a user would:
// refusals, the channel grid and editor, the switching panel, the restart
// boxes, the plug-in page over the real host, and saving.
#include "config/SettingsDialog.h"

#include <gtest/gtest.h>

#include <QCheckBox>
#include <QComboBox>
#include <QDir>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QPushButton>
#include <QRadioButton>
#include <QSlider>
#include <QSpinBox>
#include <QTabWidget>
#include <QTableWidget>
#include <QTimeEdit>
#include <QToolButton>

#include "channel/RestartPlan.h"
#include "config/SettingsFile.h"
#include "dsp/PlugIns.h"
#include "lang/Language.h"
#include "lang/LanguageLookup.h"
#include "lang/MessagePresenter.h"
#include "lang/WindowTranslation.h"
#include "support/TempDir.h"

namespace qvm::test {
namespace {

struct RecordingMessages final : MessagePresenter {
    QStringList texts;
    MessageAnswer present(const QString& text, MessageKind, MessageButtons) override {
        texts << text;
        return MessageAnswer::Ok;
    }
};

std::shared_ptr<ChannelSettings> Entry(const char* url, qint16 amp = 0, qint32 restart = 0) {
    auto entry = std::make_shared<ChannelSettings>();
    entry->URL = QString::fromLatin1(url);
    entry->Amp = amp;
    entry->Restart = restart;
    return entry;
}

class SettingsDialog : public ::testing::Test {
  protected:
    SettingsDialog() : language(QStringLiteral(QVM_SOURCE_LANG_DIR "/")) {
        language.LoadLanguage(QStringLiteral("English.lng"));
        config.settings.Device = QStringLiteral("Null output");
        config.pluginPath = dir.path();
    }

    TFSettings& open(const QString& iniPath = QString()) {
        SettingsDialogContext context(config, language);
        context.deviceNames = devices;
        context.plugins = plugins;
        context.executablePath = dir.file(QStringLiteral("QVMirelta"));
        context.iniPath = iniPath.isEmpty() ? dir.file(QStringLiteral("QVMirelta.ini")) : iniPath;
        context.autostart = {dir.file(QStringLiteral("autostart")),
                             dir.file(QStringLiteral("xdg-autostart"))};
        context.messages = &messages;
        dialog = std::make_unique<TFSettings>(std::move(context));
        return *dialog;
    }
    template <typename W>
    W* get(const char* name) const {
        W* w = dialog->findChild<W*>(QLatin1String(name));
        EXPECT_NE(w, nullptr) << name;
        return w;
    }
    void click(const char* name) const { get<QAbstractButton>(name)->click(); }
    // Types a channel into the editor and saves it on the selected row.
    void saveChannel(const char* url, bool always = false) const {
        get<QLineEdit>("EURL")->setText(QString::fromLatin1(url));
        get<QCheckBox>("CBPlayAlways")->setChecked(always);
        click("SaveChannel");
    }
    QString cell(int row, int column) const {
        const QTableWidgetItem* item = get<QTableWidget>("SGChannels")->item(row, column);
        return item != nullptr ? item->text() : QStringLiteral("<none>");
    }
    bool shown(const char* name) const { return !get<QWidget>(name)->isHidden(); }

    TempDir dir;
    TLanguage language;
    Configuration config;
    QStringList devices{QStringLiteral("default"), QStringLiteral("Null output")};
    IDspHost* plugins = nullptr;
    RecordingMessages messages;
    std::unique_ptr<TFSettings> dialog;
};

TEST_F(SettingsDialog, SaveIsRefusedUntilTheSettingsAreComplete) {
    struct Case {
        const char* name;
        std::function<void(Configuration&, QStringList& devices)> arrange;
        const char* refusal;  // English text of the refusal, or null for a save
    };
    const Case cases[] = {
        {"no channel", [](Configuration&, QStringList&) {}, "Define at least one stream URL."},
        {"interactive mode with PID 0",
         [](Configuration& c, QStringList&) {
             c.channels = {Entry("http://a")};
             c.settings.SourceMode = 2;
         },
         "Enter a PID from 1 to 32767 for the interactive mode."},
        {"no device in the list",
         [](Configuration& c, QStringList& d) {
             c.channels = {Entry("http://a")};
             d.clear();
         },
         "Select a play device."},
        {"a device no longer listed",
         [](Configuration& c, QStringList&) {
             c.channels = {Entry("http://a")};
             c.settings.Device = QStringLiteral("USB Audio");
         },
         "Select a play device."},
        {"a sample rate outside the table",
         [](Configuration& c, QStringList&) {
             c.channels = {Entry("http://a")};
             c.settings.Bitrate = 7;
         },
         "Select a sample rate for the play device."},
        {"complete", [](Configuration& c, QStringList&) { c.channels = {Entry("http://a")}; },
         nullptr},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        config = Configuration();
        config.settings.Device = QStringLiteral("Null output");
        devices = {QStringLiteral("default"), QStringLiteral("Null output")};
        messages.texts.clear();
        c.arrange(config, devices);
        const PlayerSettings before = config.settings;
        open();
        click("SBSave");
        if (c.refusal != nullptr) {
            EXPECT_EQ(messages.texts, QStringList{QString::fromLatin1(c.refusal)});
            EXPECT_EQ(dialog->result(), QDialog::Rejected) << "the dialog stays open";
            EXPECT_EQ(config.settings, before) << "nothing is applied";
        } else {
            EXPECT_TRUE(messages.texts.isEmpty()) << messages.texts.join('|').toStdString();
            EXPECT_EQ(dialog->result(), QDialog::Accepted);
        }
    }
}

TEST_F(SettingsDialog, ChannelsAreAddedEditedMovedAndRemovedThroughTheGrid) {
    config.channels = {Entry("http://one"), Entry("http://two")};
    const std::shared_ptr<ChannelSettings> first = config.channels[0];
    open();
    ASSERT_EQ(get<QTableWidget>("SGChannels")->rowCount(), 3) << "two channels and the empty row";
    EXPECT_EQ(cell(2, 0), QStringLiteral("3"));

    // A URL of blanks cannot be saved; leading blanks are kept.
    dialog->selectRow(2);
    get<QLineEdit>("EURL")->setText(QStringLiteral("   "));
    EXPECT_FALSE(get<QPushButton>("SaveChannel")->isEnabled());
    saveChannel("  http://three", true);
    ASSERT_EQ(dialog->workingList().size(), 3) << "the empty row appends";
    EXPECT_EQ(dialog->workingList()[2]->URL, QStringLiteral("  http://three"));
    EXPECT_EQ(cell(2, 2), QStringLiteral("Yes"));
    EXPECT_EQ(config.channels.size(), 2) << "appending waits for Save settings";

    // An existing row changes the running entry at once.
    dialog->selectRow(0);
    EXPECT_EQ(get<QLineEdit>("EURL")->text(), QStringLiteral("http://one"));
    EXPECT_FALSE(get<QPushButton>("SBUpCh")->isEnabled());
    saveChannel("http://one-b");
    EXPECT_EQ(first->URL, QStringLiteral("http://one-b"));

    dialog->selectRow(0);
    click("SBDownCh");
    EXPECT_EQ(dialog->selectedRow(), 1) << "the selection moves with the row";
    EXPECT_EQ(cell(1, 1), QStringLiteral("http://one-b"));
    click("SBUpCh");
    EXPECT_EQ(cell(0, 1), QStringLiteral("http://one-b"));
    dialog->selectRow(2);
    EXPECT_FALSE(get<QPushButton>("SBDownCh")->isEnabled()) << "the last entry";
    click("SBRemoveCh");
    EXPECT_EQ(dialog->workingList().size(), 2);
    dialog->selectRow(2);
    EXPECT_FALSE(get<QPushButton>("SBRemoveCh")->isEnabled())
        << "nothing to remove on the empty row";
    EXPECT_EQ(config.channels[1]->URL, QStringLiteral("http://two"));

    dialog->selectRow(1);
    click("SBRemoveCh");
    click("SBSave");
    ASSERT_EQ(dialog->result(), QDialog::Accepted);
    ASSERT_EQ(config.channels.size(), 1);
    EXPECT_EQ(config.channels[0], first) << "the same entry, edited in place";
}

TEST_F(SettingsDialog, SwitchingPanelNeedsTwoChannelsAndRestoreBlockNeedsSubordination) {
    config.channels = {Entry("http://one")};
    config.settings.SourceMode = 2;
    config.settings.PID = 7;
    config.settings.RestoreMode = true;
    open();
    EXPECT_FALSE(get<QWidget>("PanSwitchMode")->isEnabled());
    EXPECT_FALSE(shown("RGSwitch"));
    dialog->selectRow(1);
    saveChannel("http://two");
    EXPECT_TRUE(get<QWidget>("PanSwitchMode")->isEnabled());
    EXPECT_TRUE(shown("RGSwitch"));
    EXPECT_TRUE(shown("CBRestoreBlock"));
    EXPECT_TRUE(get<QCheckBox>("CBRestoreBlock")->isChecked());
    EXPECT_TRUE(shown("FERunOnRestore"));

    get<RadioGroup>("RGSwitch")->choices().at(1)->setChecked(true);
    EXPECT_FALSE(shown("CBRestoreBlock")) << "cycle mode";
    EXPECT_FALSE(shown("FERunOnRestore"));
    click("SBSave");
    ASSERT_EQ(dialog->result(), QDialog::Accepted);
    EXPECT_EQ(config.settings.SwitchMode, 1);
    EXPECT_FALSE(config.settings.RestoreMode) << "a hidden box stores false";
}

TEST_F(SettingsDialog, AmplifierShowsDecibelsInTheLabelAndTheGrid) {
    for (const auto& [value, text] : {std::pair{25, "+2.5 Db"}, std::pair{-30, "-3.0 Db"},
                                      std::pair{0, "0.0 Db"}, std::pair{200, "+20.0 Db"}}) {
        EXPECT_EQ(TFSettings::GetS_Amp(value), QString::fromLatin1(text));
    }
    config.channels = {Entry("http://one")};
    open();
    get<QSlider>("SAmplifier")->setValue(25);
    EXPECT_EQ(get<QLabel>("LabAmplifier")->text(), QStringLiteral("+2.5 Db"));
    click("SaveChannel");
    EXPECT_EQ(cell(0, 3), QStringLiteral("+2.5 Db"));
    get<QSlider>("SAmplifier")->setValue(0);
    click("SaveChannel");
    EXPECT_EQ(cell(0, 3), QString()) << "no amplification: an empty cell";
}

TEST_F(SettingsDialog, RestartPlanIsPackedFromTheBoxes) {
    RestartPlan planned;
    planned.flags = RestartPlan::kAfterHours | RestartPlan::kOnlyWhenStudioPlays;
    planned.hours = 6;
    const qint32 after6hStudio = planned.Pack();
    config.channels = {Entry("http://plain"), Entry("http://planned", 0, after6hStudio)};
    config.settings.SourceMode = 2;
    config.settings.PID = 3;
    open();
    // Without a plan: 24 hours and 03:00, waiting hidden.
    EXPECT_EQ(get<QSpinBox>("ERLong")->value(), 24);
    EXPECT_EQ(get<QTimeEdit>("ERDaily")->time(), QTime(3, 0));
    EXPECT_FALSE(shown("ERDaily"));
    EXPECT_FALSE(shown("CBRPlays"));
    get<QCheckBox>("CBRDaily")->setChecked(true);
    EXPECT_TRUE(shown("ERDaily"));
    EXPECT_TRUE(shown("CBRPlays")) << "interactive mode and a plan";
    click("SaveChannel");
    const RestartPlan daily = RestartPlan::Unpack(config.channels[0]->Restart);
    EXPECT_EQ(daily.flags, RestartPlan::kDaily);
    EXPECT_NEAR(daily.timeOfDay * 24, 3.0, 1e-6);

    dialog->selectRow(1);
    EXPECT_TRUE(get<QCheckBox>("CBRLong")->isChecked());
    EXPECT_EQ(get<QSpinBox>("ERLong")->value(), 6);
    EXPECT_TRUE(get<QCheckBox>("CBRPlays")->isChecked());
    get<QCheckBox>("CBIMode")->setChecked(false);
    EXPECT_FALSE(shown("CBRPlays"));
    click("SaveChannel");
    EXPECT_EQ(RestartPlan::Unpack(config.channels[1]->Restart).flags, RestartPlan::kAfterHours)
        << "a hidden box adds no flag";
}

TEST_F(SettingsDialog, PluginsJoinAndLeaveTheLiveChainAndLockTheFolder) {
    QVPlugIns host;
    host.InitPlugins();
    plugins = &host;
    config.channels = {Entry("http://one")};
    config.pluginPath = QStringLiteral(QVM_TEST_PLUGIN_DIR "/");
    qputenv("LADSPA_PATH", dir.path().toUtf8());  // no LADSPA plug-ins here
    open();
    auto* available = get<QListWidget>("LBPlugin");
    auto* inUse = get<QListWidget>("LBUsePlugin");
    ASSERT_FALSE(available->findItems(QStringLiteral("dsp_gain.so"), Qt::MatchExactly).isEmpty());
    EXPECT_TRUE(get<QWidget>("DEPlugins")->isEnabled());

    available->setCurrentItem(
        available->findItems(QStringLiteral("dsp_gain.so"), Qt::MatchExactly)[0]);
    click("SBFilterAdd");
    click("SBFilterAdd");  // already in use: nothing
    ASSERT_EQ(inUse->count(), 1);
    EXPECT_EQ(host.LoadedPlugins().size(), 1) << "loaded into the live chain at once";
    EXPECT_TRUE(host.LoadedPlugins()[0].active);
    EXPECT_FALSE(get<QWidget>("DEPlugins")->isEnabled());

    available->setCurrentItem(
        available->findItems(QStringLiteral("dsp_initfail.so"), Qt::MatchExactly)[0]);
    click("SBFilterAdd");
    ASSERT_EQ(inUse->count(), 2);
    EXPECT_EQ(host.LoadedPlugins().size(), 2) << "a failed load keeps its place";
    inUse->setCurrentRow(0);
    click("SBFilterDel");
    EXPECT_EQ(host.LoadedPlugins().size(), 1);
    EXPECT_EQ(host.LoadedPlugins()[0].name, QStringLiteral("dsp_initfail.so"));
    EXPECT_FALSE(get<QWidget>("DEPlugins")->isEnabled()) << "one still in use";
    inUse->setCurrentRow(0);
    click("SBFilterDel");
    EXPECT_TRUE(get<QWidget>("DEPlugins")->isEnabled());
    qunsetenv("LADSPA_PATH");
}

TEST_F(SettingsDialog, SaveWritesTheFileAndAFailedSaveKeepsTheDialogOpen) {
    config.channels = {Entry("http://one")};
    open(dir.file(QStringLiteral("missing-folder/QVMirelta.ini")));
    get<QSpinBox>("EHTTPPort")->setValue(8090);
    click("SBSave");
    ASSERT_EQ(messages.texts.size(), 1);
    EXPECT_TRUE(messages.texts[0].startsWith(QStringLiteral("Unable to write to ")))
        << messages.texts[0].toStdString();
    EXPECT_EQ(dialog->result(), QDialog::Rejected) << "left open to try again";
    EXPECT_EQ(config.settings.HTTPPort, 8090) << "applied in memory all the same";

    messages.texts.clear();
    open();
    get<QSpinBox>("EHTTPRefresh")->setValue(15);
    get<QCheckBox>("CBAutoStart")->setChecked(true);
    click("SBSave");
    ASSERT_EQ(dialog->result(), QDialog::Accepted) << messages.texts.join('|').toStdString();
    Configuration back;
    ASSERT_TRUE(LoadSettings(back, dir.file(QStringLiteral("QVMirelta.ini")), dir.path()));
    EXPECT_EQ(back.settings.HTTPRefresh, 15);
    EXPECT_EQ(back.settings.HTTPPort, 8090);
    EXPECT_EQ(back.channels.size(), 1);
    EXPECT_TRUE(QDir(dir.file(QStringLiteral("autostart"))).exists())
        << "the autostart entry is written on apply";
}

// The keys under which the language files must hold every text of the
// dialog: captions of named labels, buttons and boxes, the pages, the grid's
// header cells, the switching choices and every hint. Value labels show
// numbers, not texts.
QStringList TextKeys(const TFSettings& dialog) {
    static const QStringList valueLabels = {"LabBufferSize", "sLabVolume", "LSilence",
                                            "LabAmplifier"};
    QStringList keys{QStringLiteral("Caption")};
    for (const QWidget* w : dialog.findChildren<QWidget*>()) {
        const QString name = w->objectName();
        if (name.isEmpty() || name.startsWith(QLatin1String("qt_")) || valueLabels.contains(name)) {
            continue;
        }
        if (!w->toolTip().isEmpty()) {
            keys << name + QStringLiteral(".Hint");
        }
        const auto* label = qobject_cast<const QLabel*>(w);
        const auto* button = qobject_cast<const QAbstractButton*>(w);
        const auto* box = qobject_cast<const QGroupBox*>(w);
        if ((label != nullptr && !label->text().isEmpty()) ||
            (button != nullptr && !button->text().isEmpty()) ||
            (box != nullptr && !box->title().isEmpty())) {
            keys << name;
        }
    }
    const auto* pages = dialog.findChild<QTabWidget*>(QStringLiteral("PC"));
    for (int i = 0; i < pages->count(); ++i) {
        keys << pages->widget(i)->objectName();
    }
    for (int c = 1; c <= 4; ++c) {
        keys << QStringLiteral("SGChannels.%1.1").arg(c);
    }
    keys << QStringLiteral("RGSwitch.1") << QStringLiteral("RGSwitch.2");
    return keys;
}

TEST_F(SettingsDialog, BothLanguageFilesHoldEveryTextOfTheDialog) {
    open();
    const QStringList keys = TextKeys(*dialog);
    ASSERT_GT(keys.size(), 50);
    for (const char* file : {"English.lng", "Deutsch.lng"}) {
        TLanguage lang(QStringLiteral(QVM_SOURCE_LANG_DIR "/"));
        ASSERT_TRUE(lang.LoadLanguage(QString::fromLatin1(file)));
        LanguageList section;
        lang.LoadSection(QStringLiteral("FSettings"), section);
        for (const QString& key : keys) {
            EXPECT_GE(FindLanguageRec(section, key.toUpper()), 0)
                << file << " lacks " << key.toStdString();
        }
    }
}

// Choosing another language changes the dialog and the other windows at once,
// saved or not.
TEST_F(SettingsDialog, ChoosingALanguageTranslatesAtOnce) {
    config.channels = {Entry("http://one")};
    int otherWindows = 0;
    SettingsDialogContext context(config, language);
    context.deviceNames = devices;
    context.messages = &messages;
    context.languageChanged = [&otherWindows] { ++otherWindows; };
    context.autostart = {dir.file(QStringLiteral("autostart")), QString()};
    dialog = std::make_unique<TFSettings>(std::move(context));
    EXPECT_EQ(dialog->windowTitle(), QStringLiteral("Settings"));
    auto* languages = get<QComboBox>("CBLanguage");
    const int german = languages->findText(QStringLiteral("Deutsch"), Qt::MatchStartsWith);
    ASSERT_GE(german, 0) << languages->count();
    languages->setCurrentIndex(german);
    EXPECT_EQ(otherWindows, 1);
    EXPECT_EQ(dialog->windowTitle(), QStringLiteral("Einstellungen"));
    EXPECT_EQ(get<QPushButton>("SBSave")->text(), QStringLiteral("Einstellungen speichern"));
    EXPECT_EQ(get<QTableWidget>("SGChannels")->horizontalHeaderItem(2)->text(),
              QStringLiteral("Immer"));
    EXPECT_EQ(get<RadioGroup>("RGSwitch")->choices().at(1)->text(),
              QStringLiteral("Im Kreis umschalten"));
    EXPECT_EQ(get<QLineEdit>("EURL")->text(), QStringLiteral("http://one")) << "values stay";
    EXPECT_EQ(config.settings.Language, QStringLiteral("English")) << "saved only by Save";
}

}  // namespace
}  // namespace qvm::test
