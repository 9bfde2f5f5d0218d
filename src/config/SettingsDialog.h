#pragma once

#include <QDialog>
#include <QString>
#include <QStringList>
#include <functional>
#include <memory>

#include "config/Autostart.h"
#include "config/Settings.h"

class QCheckBox;
class QComboBox;
class QDoubleSpinBox;
class QGroupBox;
class QLabel;
class QLineEdit;
class QListWidget;
class QPushButton;
class QSlider;
class QSpinBox;
class QTabWidget;
class QTableWidget;
class QTimeEdit;
class QToolButton;

namespace qvm {

class IDspHost;
class MessagePresenter;
class RadioGroup;
class TLanguage;

// What the settings dialog works on. Everything is owned elsewhere and
// outlives the dialog.
struct SettingsDialogContext {
    SettingsDialogContext(Configuration& configuration, TLanguage& lang)
        : config(configuration), language(lang) {}

    Configuration& config;
    TLanguage& language;
    IDspHost* plugins = nullptr;  // the live chain; may be null
    QStringList deviceNames;      // the output devices as the device start-up listed them
    QString executablePath;       // for the autostart entry
    QString iniPath;              // where "Save settings" writes
    AutostartPlaces autostart = AutostartPlaces::standard();
    // Error boxes; null: a QtMessagePresenter over the dialog.
    MessagePresenter* messages = nullptr;
    // The language changed: every other open window is translated again.
    std::function<void()> languageChanged;
};

// A box holding a path with a button that opens a file or folder picker.
class PathEdit final : public QWidget {
    Q_OBJECT
  public:
    enum class Kind { File, Folder };
    PathEdit(Kind kind, QWidget* parent = nullptr);
    QString text() const;
    void setText(const QString& text);
    void setPickerTitle(const QString& title) { m_title = title; }
    QString pickerTitle() const { return m_title; }
    QLineEdit* edit() const { return m_edit; }

  signals:
    void textChanged(const QString& text);

  private:
    void pick();

    Kind m_kind;
    QString m_title;
    QLineEdit* m_edit;
};

// The settings dialog (TFSettings, "FSettings"): four pages over every
// setting, the channel list and the plug-in chain. Nothing reaches the
// settings until "Save settings" passes its checks; then they are applied in
// memory, written to the file, and the dialog closes with Accepted. Acting at
// once, saved or not: the language, the plug-in chain, and "Save channel" on
// an existing row (the entries are shared with the player's list).
class TFSettings final : public QDialog {
    Q_OBJECT
  public:
    explicit TFSettings(SettingsDialogContext context, QWidget* parent = nullptr);
    ~TFSettings() override;

    // value / 10 with one decimal and " Db", "+" before a positive value.
    static QString GetS_Amp(int value);

    // The working channel list as it stands (for tests and the main window).
    const ChannelList& workingList() const { return m_work; }
    int selectedRow() const { return m_row; }
    void selectRow(int row);

  private:
    void buildMain(QWidget* page);
    void buildStreams(QWidget* page);
    void buildPlugins(QWidget* page);
    void buildHttp(QWidget* page);
    void setPickerTitles();

    void FillMain();
    void FillHTTP();
    void FillPlugins();
    void ShowChannels();
    void SGChannelsClick();
    void SHow_PlanRestart(qint32 value);
    void ChangeShow_Restart();
    qint32 Apply_PlanRestart() const;
    void SaveChannelClick();
    void EURLChange();
    void SBRemoveChClick();
    void SBUpChClick();
    void SBDownChClick();
    void ShowSwithches();
    void CBIModeClick();
    void RGSwitchClick();
    void CBLanguageChange(int index);
    void DEPluginsChange();
    void SBFilterAddClick();
    void SBFilterDelClick();
    void LBUsePluginDblClick();
    void CheckChangePath();
    void SBSaveClick();
    bool ApplyParm();
    void updateRestartPlays();
    void refuse(const QString& key);
    void showError(const QString& text);

    SettingsDialogContext m_ctx;
    std::unique_ptr<MessagePresenter> m_ownMessages;  // when the context brings none
    ChannelList m_work;
    int m_row = 0;

    QTabWidget* m_pages;
    // Main
    QComboBox* CBLanguage;
    QCheckBox* CBHide;
    QCheckBox* CBAutoStart;
    QCheckBox* CBLog;
    QCheckBox* CBIMode;
    QSpinBox* EPID;
    QCheckBox* CBAMode;
    QComboBox* CBCard;
    QComboBox* CBBitrate;
    QSpinBox* ECardWait;
    QSlider* sBufferSize;
    QLabel* LabBufferSize;
    QSlider* SVolume;
    QLabel* sLabVolume;
    QDoubleSpinBox* EFadeOut;
    QDoubleSpinBox* EFadeIn;
    QLabel* LabDelaySend;
    QSpinBox* EDelaySend;
    QSlider* SSilence;
    QLabel* LSilence;
    QSpinBox* ESilenceTime;
    QSpinBox* ERestoreTime;
    QSpinBox* EBreakTime;
    QSpinBox* EConnectTime;
    QDoubleSpinBox* ECFadeOut;
    QDoubleSpinBox* ECFadeIn;
    PathEdit* FERunOnChange;
    QLabel* LabRunOnRestore;
    PathEdit* FERunOnRestore;
    QDoubleSpinBox* ETimedOut;
    // Streams
    QTableWidget* SGChannels;
    QLineEdit* EURL;
    QCheckBox* CBPlayAlways;
    QSlider* SAmplifier;
    QLabel* LabAmplifier;
    QCheckBox* CBRDaily;
    QTimeEdit* ERDaily;
    QCheckBox* CBRLong;
    QSpinBox* ERLong;
    QCheckBox* CBRPlays;
    QPushButton* SaveChannel;
    QPushButton* SBUpCh;
    QPushButton* SBDownCh;
    QPushButton* SBRemoveCh;
    QGroupBox* PanSwitchMode;
    RadioGroup* RGSwitch;
    QCheckBox* CBSBySilence;
    QCheckBox* CBSByBreak;
    QCheckBox* CBRestoreBlock;
    // Plugins
    PathEdit* DEPlugins;
    QListWidget* LBPlugin;
    QListWidget* LBUsePlugin;
    QToolButton* SBFilterAdd;
    QToolButton* SBFilterDel;
    // HTTP Server
    QSpinBox* EHTTPPort;
    QLineEdit* EHTTPUser;
    QLineEdit* EHTTPPass;
    QSpinBox* EHTTPRefresh;

    QPushButton* SBSave;
};

}  // namespace qvm
