#include "ui/SkinTexts.h"

#include <cstring>

namespace qvm {

namespace {

struct QtText {
    const char* context;
    const char* source;
    const char* name;
};

// Qt's own texts (context and source as Qt 6 asks for them) and the table
// entry that replaces each.
constexpr QtText kQtTexts[] = {
    {"QPlatformTheme", "OK", "MSG_BTN_OK"},
    {"QPlatformTheme", "&Yes", "MSG_BTN_YES"},
    {"QPlatformTheme", "&No", "MSG_BTN_NO"},
    {"QPlatformTheme", "Cancel", "MSG_BTN_CANCEL"},
    {"QPlatformTheme", "Abort", "MSG_BTN_ABORT"},
    {"QPlatformTheme", "Retry", "MSG_BTN_RETRY"},
    {"QPlatformTheme", "Ignore", "MSG_BTN_IGNORE"},
    {"QPlatformTheme", "Yes to &All", "MSG_BTN_YESTOALL"},
    {"QPlatformTheme", "N&o to All", "MSG_BTN_NOTOALL"},
    {"QPlatformTheme", "Help", "MSG_BTN_HELP"},
    {"QPlatformTheme", "Open", "MSG_BTN_OPEN"},
    {"QPlatformTheme", "Save", "MSG_BTN_SAVE"},
    {"QPlatformTheme", "Close", "MSG_BTN_CLOSE"},
    {"QLineEdit", "&Undo", "EDIT_UNDO"},
    {"QLineEdit", "Cu&t", "EDIT_CUT"},
    {"QLineEdit", "&Copy", "EDIT_COPY"},
    {"QLineEdit", "&Paste", "EDIT_PASTE"},
    {"QLineEdit", "Delete", "EDIT_DELETE"},
    {"QLineEdit", "Select All", "EDIT_SELECTALL"},
    {"QWidgetTextControl", "&Undo", "EDIT_UNDO"},
    {"QWidgetTextControl", "Cu&t", "EDIT_CUT"},
    {"QWidgetTextControl", "&Copy", "EDIT_COPY"},
    {"QWidgetTextControl", "&Paste", "EDIT_PASTE"},
    {"QWidgetTextControl", "Delete", "EDIT_DELETE"},
    {"QWidgetTextControl", "Select All", "EDIT_SELECTALL"},
    {"QFileDialog", "File &name:", "MSG_FILENAME"},
    {"QFileDialog", "Files of type:", "MSG_FILETYPE"},
    {"QFileDialog", "New Folder", "MSG_NEWFOLDER"},
    {"QFileDialog", "Detail View", "MSG_LV_DETAILS"},
    {"QFileDialog", "List View", "MSG_LV_LIST"},
    {"QFileDialog", "Back", "MSG_BTN_BACK_HINT"},
    {"QFileDialog", "Parent Directory", "MSG_BTN_UP_HINT"},
    {"QFileDialog", "Create New Folder", "MSG_BTN_NEWFOLDER_HINT"},
};

}  // namespace

void SkinTextTranslator::setTable(const QStringList& table) {
    m_texts.clear();
    for (const QString& line : table) {
        const qsizetype eq = line.indexOf(QLatin1Char('='));
        if (eq > 0) {
            m_texts.insert(line.left(eq).toUpper(), line.mid(eq + 1));
        }
    }
}

QString SkinTextTranslator::translate(const char* context, const char* sourceText, const char*,
                                      int) const {
    if (context == nullptr || sourceText == nullptr) {
        return {};
    }
    for (const QtText& t : kQtTexts) {
        if (std::strcmp(t.context, context) == 0 && std::strcmp(t.source, sourceText) == 0) {
            // An empty answer lets Qt keep its own text.
            return m_texts.value(QString::fromLatin1(t.name));
        }
    }
    return {};
}

}  // namespace qvm
