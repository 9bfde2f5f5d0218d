#pragma once

#include <QGroupBox>
#include <QList>
#include <QStringList>

class QObject;
class QRadioButton;
class QWidget;

namespace qvm {

class TLanguage;

// The kinds of control a window translation knows, by the number the language
// files' window sections are written for. A control is matched by its own
// class name only (QMetaObject::className), so a subclass, or a class not in
// the list, keeps its texts whatever the section holds.
enum class TranslationKind {
    None = -1,
    Panel = 0,          // QFrame: hint
    Label = 1,          // QLabel: caption, hint
    SpeedButton = 3,    // QToolButton: caption, hint
    Button = 4,         // QPushButton: caption, hint
    GroupBox = 5,       // QGroupBox: caption, hint
    CheckRadioBox = 6,  // QCheckBox, QRadioButton: caption, hint
    Edit = 7,           // QLineEdit showing its text (a password box is not translated): text, hint
    SpinEdit = 8,       // QSpinBox, QDoubleSpinBox: hint (a number is no text to translate)
    PageControl = 10,   // QTabWidget: hint; each named page: caption and hint as a tab sheet
    TabControl = 11,    // QTabBar: hint, Name.1 .. Name.n
    RadioGroup = 12,    // qvm::RadioGroup: caption, hint, its radio buttons as Name.1 .. Name.n
    ComboBox = 13,      // QComboBox: edit text, hint, items; selection kept
    ListBox = 14,       // QListWidget: hint, items; check marks kept
    StringGrid = 16,    // QTableWidget: hint, fixed (header) cells as Name.c.r
    TreeView = 17,      // QTreeWidget: hint, nodes in overall order
    ProgressDialog = 18,  // QProgressDialog: caption from Name, label from Name.Text
};

TranslationKind KindOf(const QObject* object);

// A group of choices shown as radio buttons in a framed box. Its choices are
// the radio buttons it holds, in the order they were added.
class RadioGroup : public QGroupBox {
    Q_OBJECT
  public:
    using QGroupBox::QGroupBox;
    QList<QRadioButton*> choices() const;
};

// Translates `window` from the section of the current language file named
// after the window's objectName: its caption ("Caption", top-level windows
// only) and, control by control, every named control of a known kind. A
// missing key leaves the text as it is; so does having no current language
// file. A widget with the property "qvmTranslateSkip" set is a window of its
// own and is not walked, nor is anything inside it. UI thread only.
void TranslateWindow(QWidget* window, const TLanguage& language);

// Translates the skinned-controls text table in place: each "NAME=text" line
// becomes the upper-cased name, "=" and its text from "Constants"
// (MSG_CAP_x from Dialog.x, MSG_BTN_x from Button.x, other MSG_x from MSG.x,
// any other name from the plain key). Lines without a name before "=" stay as
// they are. Without a current language file nothing changes.
void TranslateSkinTexts(QStringList& table, const TLanguage& language);

}  // namespace qvm
