#include "lang/WindowTranslation.h"

#include <QCheckBox>
#include <QComboBox>
#include <QDoubleSpinBox>
#include <QFile>
#include <QHeaderView>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QProgressDialog>
#include <QPushButton>
#include <QRadioButton>
#include <QSpinBox>
#include <QTabBar>
#include <QTabWidget>
#include <QTableWidget>
#include <QToolButton>
#include <QTreeWidget>
#include <QTreeWidgetItemIterator>
#include <cstring>

#include "lang/Language.h"

namespace qvm {

namespace {

struct KindRow {
    const char* className;
    TranslationKind kind;
};

constexpr KindRow kKinds[] = {
    {"QFrame", TranslationKind::Panel},
    {"QLabel", TranslationKind::Label},
    {"QToolButton", TranslationKind::SpeedButton},
    {"QPushButton", TranslationKind::Button},
    {"QGroupBox", TranslationKind::GroupBox},
    {"QCheckBox", TranslationKind::CheckRadioBox},
    {"QRadioButton", TranslationKind::CheckRadioBox},
    {"QLineEdit", TranslationKind::Edit},
    {"QSpinBox", TranslationKind::SpinEdit},
    {"QDoubleSpinBox", TranslationKind::SpinEdit},
    {"QTabWidget", TranslationKind::PageControl},
    {"QTabBar", TranslationKind::TabControl},
    {"qvm::RadioGroup", TranslationKind::RadioGroup},
    {"QComboBox", TranslationKind::ComboBox},
    {"QListWidget", TranslationKind::ListBox},
    {"QTableWidget", TranslationKind::StringGrid},
    {"QTreeWidget", TranslationKind::TreeView},
    {"QProgressDialog", TranslationKind::ProgressDialog},
};

// One window's section and the lookups in it.
class Section {
  public:
    Section(const TLanguage& language, const QString& name) : m_language(language) {
        language.LoadSection(name, m_list);
    }
    QString operator()(const QString& key, const QString& current) const {
        return m_language.Lookup(m_list, key, current);
    }

  private:
    const TLanguage& m_language;
    LanguageList m_list;
};

QString Item(const QString& name, int index) {
    return name + QLatin1Char('.') + QString::number(index + 1);
}

void TranslateHint(QWidget* widget, const QString& name, const Section& lookup) {
    widget->setToolTip(lookup(name + QStringLiteral(".Hint"), widget->toolTip()));
}

void TranslateGrid(QTableWidget* grid, const QString& name, const Section& lookup) {
    // The fixed cells are the headers: with a row header shown, it is column 1
    // and the column headers start at column 2; likewise for rows.
    const bool fixedColumn = !grid->verticalHeader()->isHidden();
    const bool fixedRow = !grid->horizontalHeader()->isHidden();
    const auto cellKey = [&name](int c, int r) {
        return name + QLatin1Char('.') + QString::number(c + 1) + QLatin1Char('.') +
               QString::number(r + 1);
    };
    if (fixedRow) {
        for (int c = 0; c < grid->columnCount(); ++c) {
            QTableWidgetItem* item = grid->horizontalHeaderItem(c);
            if (item != nullptr) {
                item->setText(lookup(cellKey(c + (fixedColumn ? 1 : 0), 0), item->text()));
            }
        }
    }
    if (fixedColumn) {
        for (int r = 0; r < grid->rowCount(); ++r) {
            QTableWidgetItem* item = grid->verticalHeaderItem(r);
            if (item != nullptr) {
                item->setText(lookup(cellKey(0, r + (fixedRow ? 1 : 0)), item->text()));
            }
        }
    }
}

void TranslateControl(QObject* object, TranslationKind kind, const Section& lookup) {
    const QString name = object->objectName();
    if (kind == TranslationKind::ProgressDialog) {
        auto* dialog = static_cast<QProgressDialog*>(object);
        dialog->setWindowTitle(lookup(name, dialog->windowTitle()));
        dialog->setLabelText(lookup(name + QStringLiteral(".Text"), dialog->labelText()));
        return;
    }
    auto* widget = static_cast<QWidget*>(object);
    switch (kind) {
        case TranslationKind::Label: {
            auto* label = static_cast<QLabel*>(widget);
            label->setText(lookup(name, label->text()));
            break;
        }
        case TranslationKind::SpeedButton:
        case TranslationKind::Button:
        case TranslationKind::CheckRadioBox: {
            auto* button = static_cast<QAbstractButton*>(widget);
            button->setText(lookup(name, button->text()));
            break;
        }
        case TranslationKind::GroupBox: {
            auto* box = static_cast<QGroupBox*>(widget);
            box->setTitle(lookup(name, box->title()));
            break;
        }
        case TranslationKind::RadioGroup: {
            auto* group = static_cast<RadioGroup*>(widget);
            group->setTitle(lookup(name, group->title()));
            const QList<QRadioButton*> choices = group->choices();
            for (int i = 0; i < choices.size(); ++i) {
                choices[i]->setText(lookup(Item(name, i), choices[i]->text()));
            }
            break;
        }
        case TranslationKind::Edit: {
            auto* edit = static_cast<QLineEdit*>(widget);
            if (edit->echoMode() != QLineEdit::Normal) {
                return;  // a password box keeps what the user typed, and its hint
            }
            edit->setText(lookup(name, edit->text()));
            break;
        }
        case TranslationKind::PageControl: {
            auto* pages = static_cast<QTabWidget*>(widget);
            for (int i = 0; i < pages->count(); ++i) {
                const QString page = pages->widget(i)->objectName();
                if (page.isEmpty()) {
                    continue;
                }
                pages->setTabText(i, lookup(page, pages->tabText(i)));
                pages->setTabToolTip(i,
                                     lookup(page + QStringLiteral(".Hint"), pages->tabToolTip(i)));
            }
            break;
        }
        case TranslationKind::TabControl: {
            auto* tabs = static_cast<QTabBar*>(widget);
            for (int i = 0; i < tabs->count(); ++i) {
                tabs->setTabText(i, lookup(Item(name, i), tabs->tabText(i)));
            }
            break;
        }
        case TranslationKind::ComboBox: {
            auto* combo = static_cast<QComboBox*>(widget);
            const int selected = combo->currentIndex();
            const QString editText =
                combo->isEditable() ? lookup(name, combo->currentText()) : QString();
            for (int i = 0; i < combo->count(); ++i) {
                combo->setItemText(i, lookup(Item(name, i), combo->itemText(i)));
            }
            if (selected >= 0) {
                combo->setCurrentIndex(selected);
            }
            if (combo->isEditable()) {
                combo->setEditText(editText);
            }
            break;
        }
        case TranslationKind::ListBox: {
            // setText leaves an item's check mark alone.
            auto* list = static_cast<QListWidget*>(widget);
            for (int i = 0; i < list->count(); ++i) {
                list->item(i)->setText(lookup(Item(name, i), list->item(i)->text()));
            }
            break;
        }
        case TranslationKind::StringGrid:
            TranslateGrid(static_cast<QTableWidget*>(widget), name, lookup);
            break;
        case TranslationKind::TreeView: {
            int i = 0;
            for (QTreeWidgetItemIterator it(static_cast<QTreeWidget*>(widget)); *it; ++it, ++i) {
                (*it)->setText(0, lookup(Item(name, i), (*it)->text(0)));
            }
            break;
        }
        default:
            break;
    }
    TranslateHint(widget, name, lookup);
}

void Walk(QObject* parent, const Section& lookup) {
    for (QObject* child : parent->children()) {
        if (child->property("qvmTranslateSkip").toBool()) {
            continue;
        }
        const TranslationKind kind = KindOf(child);
        const QString name = child->objectName();
        if (kind != TranslationKind::None && !name.isEmpty() &&
            !name.startsWith(QLatin1String("qt_"))) {
            TranslateControl(child, kind, lookup);
        }
        if (kind != TranslationKind::ProgressDialog) {
            Walk(child, lookup);
        }
    }
}

bool HasLanguageFile(const TLanguage& language) {
    const QString file = language.FileName();
    return !file.isEmpty() && QFile::exists(file);
}

}  // namespace

TranslationKind KindOf(const QObject* object) {
    if (object == nullptr || !object->isWidgetType()) {
        return TranslationKind::None;
    }
    const char* className = object->metaObject()->className();
    for (const KindRow& row : kKinds) {
        if (std::strcmp(row.className, className) == 0) {
            return row.kind;
        }
    }
    return TranslationKind::None;
}

QList<QRadioButton*> RadioGroup::choices() const {
    return findChildren<QRadioButton*>(QString(), Qt::FindDirectChildrenOnly);
}

void TranslateWindow(QWidget* window, const TLanguage& language) {
    if (window == nullptr || !HasLanguageFile(language)) {
        return;
    }
    const Section lookup(language, window->objectName());
    if (window->isWindow()) {
        window->setWindowTitle(lookup(QStringLiteral("Caption"), window->windowTitle()));
    }
    Walk(window, lookup);
}

void TranslateSkinTexts(QStringList& table, const TLanguage& language) {
    if (language.FileName().isEmpty()) {
        return;
    }
    struct Prefix {
        QLatin1String prefix;
        QString group;
    };
    const Prefix prefixes[] = {
        {QLatin1String("MSG_CAP_"), QStringLiteral("Dialog")},
        {QLatin1String("MSG_BTN_"), QStringLiteral("Button")},
        {QLatin1String("MSG_"), QStringLiteral("MSG")},
    };
    QStringList translated;
    translated.reserve(table.size());
    for (const QString& line : table) {
        const qsizetype eq = line.indexOf(QLatin1Char('='));
        if (eq < 1) {
            translated.append(line);
            continue;
        }
        const QString name = AsciiUpper(line.left(eq));
        const QString text = line.mid(eq + 1);
        QString result;
        bool grouped = false;
        for (const Prefix& p : prefixes) {
            if (name.startsWith(p.prefix)) {
                result = language.GetGroupText(p.group, name.mid(p.prefix.size()), text);
                grouped = true;
                break;
            }
        }
        if (!grouped) {
            result = language.GetConst(name, text);
        }
        translated.append(name + QLatin1Char('=') + result);
    }
    table = translated;
}

}  // namespace qvm
