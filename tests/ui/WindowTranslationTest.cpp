// Translating whole windows from a language file's window section, and the
// skinned-controls text table from "Constants".
#include "lang/WindowTranslation.h"

#include <gtest/gtest.h>

#include <QCheckBox>
#include <QComboBox>
#include <QDialog>
#include <QHeaderView>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QMenu>
#include <QMessageBox>
#include <QProgressDialog>
#include <QPushButton>
#include <QRadioButton>
#include <QSlider>
#include <QSpinBox>
#include <QTabBar>
#include <QTabWidget>
#include <QTableWidget>
#include <QToolButton>
#include <QTreeWidget>
#include <cstdlib>
#include <memory>

#include "lang/Language.h"
#include "support/TempDir.h"
#include "ui/MainWindow.h"
#include "ui/MainWindowView.h"
#include "ui/UiTestSupport.h"

namespace qvm {
namespace {

// A label class of our own: not one of the known kinds.
class OwnLabel : public QLabel {
    Q_OBJECT
  public:
    using QLabel::QLabel;
};

template <class T>
T* Make(QWidget* parent, const char* name) {
    auto* widget = new T(parent);
    widget->setObjectName(QString::fromLatin1(name));
    return widget;
}

struct Fixture {
    test::TempDir dir;
    TLanguage lang{dir.path()};
    Fixture() {
        dir.write(QStringLiteral("QVMirelta.Test.lng"), R"(
[Constants]
Language=Testisch
Button.YES=&Ja
Dialog.ERROR=Fehler
MSG.FILENAME=Dateiname:
EDIT_COPY=&Kopieren
[FTest]
Caption=Einstellungen
LabName=Name:
LabName.Hint=Der Name
CBHide=Im Infobereich verstecken
CBHide.Hint=Beim Minimieren verstecken
RGSwitch.2=Im Kreis
EName=Neuer Text
EPass=geheim
EPass.Hint=Kennwort
TBLevel.Hint=Pegel
SPort=99
SPort.Hint=Port
CBLang.1=Eins
CBLang.3=Drei
LBPlugins.2=Zweites
SGChannels.2.1=Adresse
SGChannels.2.2=nie
TVTree.3=Drittes
PageOne=Allgemein
PageOne.Hint=Allgemeine Einstellungen
TBTabs.2=Rechts
LabOwn=nie
LabInside=nie
BOk=&OK
BOk.Hint=Speichern
DLGStop=Anhalten
DLGStop.Text=Verbindungen werden getrennt
LabRef=Sprache: .Language
)");
        EXPECT_TRUE(lang.LoadLanguage(QStringLiteral("Test.lng")));
    }
};

TEST(TranslateWindow, AppliesTheRuleOfEachKnownKind) {
    Fixture f;
    QDialog window;
    window.setObjectName(QStringLiteral("FTest"));
    window.setWindowTitle(QStringLiteral("Settings"));
    auto* label = Make<QLabel>(&window, "LabName");
    label->setText(QStringLiteral("Name"));
    auto* check = Make<QCheckBox>(&window, "CBHide");
    check->setText(QStringLiteral("Hide"));
    auto* group = Make<RadioGroup>(&window, "RGSwitch");
    group->setTitle(QStringLiteral("Switch"));
    for (const char* choice : {"Subordination", "Cycle", "Off"}) {
        new QRadioButton(QString::fromLatin1(choice), group);
    }
    auto* edit = Make<QLineEdit>(&window, "EName");
    edit->setText(QStringLiteral("old"));
    auto* pass = Make<QLineEdit>(&window, "EPass");
    pass->setEchoMode(QLineEdit::Password);
    pass->setText(QStringLiteral("typed"));
    auto* slider = Make<QSlider>(&window, "TBLevel");
    auto* spin = Make<QSpinBox>(&window, "SPort");
    spin->setRange(0, 65535);
    spin->setValue(8000);
    auto* combo = Make<QComboBox>(&window, "CBLang");
    combo->addItems({QStringLiteral("One"), QStringLiteral("Two"), QStringLiteral("Three")});
    combo->setCurrentIndex(2);
    auto* list = Make<QListWidget>(&window, "LBPlugins");
    list->addItems({QStringLiteral("first"), QStringLiteral("second")});
    list->item(1)->setFlags(list->item(1)->flags() | Qt::ItemIsUserCheckable);
    list->item(1)->setCheckState(Qt::Checked);
    auto* grid = Make<QTableWidget>(&window, "SGChannels");
    grid->setColumnCount(2);
    grid->setRowCount(2);
    grid->setHorizontalHeaderLabels({QStringLiteral("Always"), QStringLiteral("URL")});
    grid->verticalHeader()->hide();
    grid->setItem(0, 1, new QTableWidgetItem(QStringLiteral("http://a/")));
    auto* tree = Make<QTreeWidget>(&window, "TVTree");
    auto* root = new QTreeWidgetItem(tree, {QStringLiteral("root")});
    new QTreeWidgetItem(root, {QStringLiteral("child")});
    new QTreeWidgetItem(tree, {QStringLiteral("third")});
    auto* pages = Make<QTabWidget>(&window, "PCPages");
    auto* page = Make<QWidget>(nullptr, "PageOne");
    pages->addTab(page, QStringLiteral("General"));
    auto* inside = Make<QLabel>(page, "LabRef");
    inside->setText(QStringLiteral("Language"));
    auto* tabs = Make<QTabBar>(&window, "TBTabs");
    tabs->addTab(QStringLiteral("Left"));
    tabs->addTab(QStringLiteral("Right"));
    auto* own = Make<OwnLabel>(&window, "LabOwn");
    own->setText(QStringLiteral("mine"));
    auto* apart = Make<QWidget>(&window, "PanApart");
    apart->setProperty("qvmTranslateSkip", true);
    auto* skipped = Make<QLabel>(apart, "LabInside");
    skipped->setText(QStringLiteral("inside"));
    auto* ok = Make<QPushButton>(&window, "BOk");
    ok->setText(QStringLiteral("OK"));
    auto* progress = Make<QProgressDialog>(&window, "DLGStop");
    progress->setWindowTitle(QStringLiteral("Stop the program"));
    progress->setLabelText(QStringLiteral("Stop connections"));

    TranslateWindow(&window, f.lang);

    const struct {
        const char* what;
        QString got;
        const char* expected;
    } cases[] = {
        {"caption", window.windowTitle(), "Einstellungen"},
        {"label", label->text(), "Name:"},
        {"label hint", label->toolTip(), "Der Name"},
        {"check box", check->text(), "Im Infobereich verstecken"},
        {"check box hint", check->toolTip(), "Beim Minimieren verstecken"},
        {"radio group title", group->title(), "Switch"},
        {"first choice", group->choices()[0]->text(), "Subordination"},
        {"second choice", group->choices()[1]->text(), "Im Kreis"},
        {"third choice", group->choices()[2]->text(), "Off"},
        {"edit", edit->text(), "Neuer Text"},
        {"password box", pass->text(), "typed"},
        {"password hint", pass->toolTip(), ""},
        {"track bar hint", slider->toolTip(), ""},
        {"spin edit hint", spin->toolTip(), "Port"},
        {"spin edit value", spin->text(), "8000"},
        {"combo item 1", combo->itemText(0), "Eins"},
        {"combo item 2", combo->itemText(1), "Two"},
        {"combo item 3", combo->itemText(2), "Drei"},
        {"list item 2", list->item(1)->text(), "Zweites"},
        {"grid header 2", grid->horizontalHeaderItem(1)->text(), "Adresse"},
        {"grid header 1", grid->horizontalHeaderItem(0)->text(), "Always"},
        {"grid data cell", grid->item(0, 1)->text(), "http://a/"},
        {"tree node 1", root->text(0), "root"},
        {"tree node 3", tree->topLevelItem(1)->text(0), "Drittes"},
        {"page caption", pages->tabText(0), "Allgemein"},
        {"page hint", pages->tabToolTip(0), "Allgemeine Einstellungen"},
        {"reference in a page", inside->text(), "Sprache: Testisch"},
        {"tab 2", tabs->tabText(1), "Rechts"},
        {"tab 1", tabs->tabText(0), "Left"},
        {"own class", own->text(), "mine"},
        {"window of its own", skipped->text(), "inside"},
        {"button", ok->text(), "&OK"},
        {"button hint", ok->toolTip(), "Speichern"},
        {"progress caption", progress->windowTitle(), "Anhalten"},
        {"progress label", progress->labelText(), "Verbindungen werden getrennt"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(c.got, QString::fromUtf8(c.expected)) << c.what;
    }
    EXPECT_EQ(combo->currentIndex(), 2);
    EXPECT_EQ(list->item(1)->checkState(), Qt::Checked);
}

TEST(TranslateWindow, LeavesEverythingWithoutALanguageFileOrSection) {
    Fixture f;
    QDialog window;
    window.setWindowTitle(QStringLiteral("Settings"));
    auto* label = Make<QLabel>(&window, "LabName");
    label->setText(QStringLiteral("Name"));

    window.setObjectName(QStringLiteral("FOther"));  // no such section
    TranslateWindow(&window, f.lang);
    EXPECT_EQ(window.windowTitle(), QStringLiteral("Settings"));
    EXPECT_EQ(label->text(), QStringLiteral("Name"));

    window.setObjectName(QStringLiteral("FTest"));
    const TLanguage none(f.dir.path());  // nothing selected
    TranslateWindow(&window, none);
    EXPECT_EQ(label->text(), QStringLiteral("Name"));

    // A frame (a widget inside another window) keeps its caption.
    QWidget frame;
    frame.setObjectName(QStringLiteral("FTest"));
    QWidget* inner = new QWidget(&frame);
    inner->setObjectName(QStringLiteral("FTest"));
    inner->setWindowTitle(QStringLiteral("frame"));
    TranslateWindow(inner, f.lang);
    EXPECT_EQ(inner->windowTitle(), QStringLiteral("frame"));
}

TEST(TranslateSkinTexts, TakesEachPrefixFromItsGroup) {
    Fixture f;
    QStringList table{
        QStringLiteral("MSG_BTN_YES=&Yes"),
        QStringLiteral("MSG_CAP_ERROR=Error"),
        QStringLiteral("MSG_FILENAME=File name:"),
        QStringLiteral("EDIT_COPY=&Copy"),
        QStringLiteral("FIND_REPLACE_All=Replace All"),
        QStringLiteral("msg_btn_no=&No"),
        QStringLiteral("=no name"),
        QStringLiteral("no equals sign"),
    };
    const QStringList english = table;
    TranslateSkinTexts(table, TLanguage(f.dir.path()));
    EXPECT_EQ(table, english) << "changed without a language";

    TranslateSkinTexts(table, f.lang);
    const QStringList expected{
        QStringLiteral("MSG_BTN_YES=&Ja"),
        QStringLiteral("MSG_CAP_ERROR=Fehler"),
        QStringLiteral("MSG_FILENAME=Dateiname:"),
        QStringLiteral("EDIT_COPY=&Kopieren"),
        QStringLiteral("FIND_REPLACE_ALL=Replace All"),
        QStringLiteral("MSG_BTN_NO=&No"),
        QStringLiteral("=no name"),
        QStringLiteral("no equals sign"),
    };
    EXPECT_EQ(table, expected);
}

QString ShippedLanguageFolder() {
    const char* dir = std::getenv("QVM_SOURCE_DIR");
    return QString::fromUtf8(dir != nullptr && *dir != '\0' ? dir : QVM_UI_SOURCE_DIR) +
           QStringLiteral("/lang/");
}

TEST(MainWindowTranslation, EveryShippedLanguageNamesRealControlsAndTranslatesThem) {
    const QString folder = ShippedLanguageFolder();
    const TLanguage scan(folder);
    ASSERT_GE(scan.Languages().size(), 2u);
    for (int i = 0; i < static_cast<int>(scan.Languages().size()); ++i) {
        TLanguage lang(folder);
        ASSERT_TRUE(lang.SelectLanguage(i));
        const std::string file = lang.LanguageName(i).toStdString();
        MainWindow window(QStringLiteral("1.0"));
        window.setLanguage(&lang);
        // The stop progress dialog exists only while stopping.
        MainWindowView view(window, &lang);
        view.setStopProgress(0);
        window.Language_Change();
        EXPECT_EQ(window.windowTitle(), QStringLiteral("Quellmark Mirelta 1.0")) << file;

        LanguageList section;
        lang.LoadSection(QStringLiteral("QV_Mirelta"), section);
        EXPECT_FALSE(section.empty()) << file << " has no main window section";
        for (const tQVLanguage_Rec& rec : section) {
            // Every key is a translatable control's name or its name and ".Hint".
            QString name = rec.key;
            const bool hint = name.endsWith(QLatin1String(".HINT"));
            if (hint || name.endsWith(QLatin1String(".TEXT"))) {
                name.chop(5);
            }
            QWidget* control = nullptr;
            for (QWidget* w : window.findChildren<QWidget*>()) {
                if (w->objectName().compare(name, Qt::CaseInsensitive) == 0) {
                    control = w;
                }
            }
            ASSERT_NE(control, nullptr) << file << ": no control " << name.toStdString();
            EXPECT_NE(KindOf(control), TranslationKind::None)
                << file << ": " << name.toStdString() << " is not translated";
            if (hint) {
                EXPECT_EQ(control->toolTip(), ReplaceEscapes(rec.value))
                    << file << ": " << rec.key.toStdString();
            }
        }
    }
}

TEST(MainWindowTranslation, GermanReplacesTheEnglishHints) {
    const QString folder = ShippedLanguageFolder();
    TLanguage lang(folder);
    ASSERT_TRUE(lang.LoadLanguage(QStringLiteral("Deutsch.lng")));
    MainWindow window(QStringLiteral("1.0"));
    auto* setting = window.findChild<QToolButton*>(QStringLiteral("SBSetting"));
    EXPECT_EQ(setting->toolTip(), QStringLiteral("Settings"));
    window.setLanguage(&lang);
    window.Language_Change();
    EXPECT_EQ(setting->toolTip(), QStringLiteral("Einstellungen"));
    EXPECT_TRUE(window.skinTexts().contains(QStringLiteral("EDIT_COPY=&Kopieren")));
    // Qt's own texts follow the table: message-box buttons and edit menus.
    QMessageBox box;
    box.setStandardButtons(QMessageBox::Yes | QMessageBox::No);
    EXPECT_EQ(box.button(QMessageBox::Yes)->text(), QStringLiteral("&Ja"));
    EXPECT_EQ(box.button(QMessageBox::No)->text(), QStringLiteral("&Nein"));
    QLineEdit edit;
    std::unique_ptr<QMenu> menu(edit.createStandardContextMenu());
    QStringList items;
    for (const QAction* action : menu->actions()) {
        items.append(action->text().section(QLatin1Char('\t'), 0, 0));
    }
    EXPECT_TRUE(items.contains(QStringLiteral("&Kopieren"))) << items.join(' ').toStdString();
    EXPECT_TRUE(items.contains(QStringLiteral("Alles a&uswählen")))
        << items.join(' ').toStdString();
    // The volume hint is the position, whatever the language.
    EXPECT_EQ(window.findChild<QSlider*>(QStringLiteral("TBVolume"))->toolTip(),
              QStringLiteral("100%"));
}

}  // namespace
}  // namespace qvm

#include "WindowTranslationTest.moc"
