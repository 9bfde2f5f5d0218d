#pragma once

#include <QString>
#include <vector>

#include "core/IniFile.h"

namespace qvm {

// One entry of a language list: in a section list the key in upper case and
// the text as written; in the list of languages the entry name (English.lng)
// and the display name.
struct tQVLanguage_Rec {
    QString key;
    QString value;
};

// Sorted by key without regard to ASCII case (SortLanguageList).
using LanguageList = std::vector<tQVLanguage_Rec>;

// Bounds of one lookup, so that a hostile language file can neither recurse
// without end nor blow a text up exponentially: references nest at most
// kMaxReferenceDepth deep (a deeper or cyclic reference stays as written), one
// lookup scans and writes at most kMaxExpansionWork characters over all its
// levels, and a text never grows beyond kMaxTextLength characters.
inline constexpr int kMaxReferenceDepth = 16;
inline constexpr qsizetype kMaxExpansionWork = 1 << 20;
inline constexpr qsizetype kMaxTextLength = 1 << 16;

// Stable sort by key, ASCII case ignored.
void SortLanguageList(LanguageList& list);

// Index of the entry whose key equals `key` without regard to ASCII case, or
// -1. The list must be sorted (SortLanguageList). The search probes the first
// entry, then the last, then halves the range between the last probe below and
// the last probe above the key.
int FindLanguageRec(const LanguageList& list, const QString& key);

// One section of a parsed language file as a sorted list: keys in ASCII upper
// case, values decoded from UTF-8. Lines whose key begins with ";" are skipped;
// of a key written twice only the first occurrence is kept.
LanguageList ReadSectionList(const IniDocument& doc, const QString& section);

// The escapes of a language text, each replaced everywhere in this order:
// \0 \a \b \t \n \v \f \r give the characters 0, 7, 8, 9, CR LF, 11, 12 and
// LF CR.
QString ReplaceEscapes(QString text);

// The lookup shared by every text of the program: `def` unless `list` holds
// `key` (ASCII case ignored, blanks around the key ignored as the file reader
// ignores them), then escapes replaced and references expanded. References
// (a dot followed by a name of "-", ".", digits and ASCII letters) are looked up
// in `constants`. With an empty list or an empty key, `def` comes back as it
// is. Thread-safe: reads its arguments only.
QString LookupText(const LanguageList& list, const LanguageList& constants, const QString& key,
                   const QString& def);

// Expands the references of `text` against `constants` (escapes are not
// touched). Used by LookupText.
QString ExpandReferences(const QString& text, const LanguageList& constants);

// A text formatted with no arguments: "%%" becomes "%"; any other "%" starts a
// sequence that needs an argument, so formatting fails and `error` says why.
struct FormatResult {
    bool ok = true;
    QString text;   // the formatted text, or the input unchanged on failure
    QString error;  // empty on success
};
FormatResult FormatWithoutArguments(const QString& text);

}  // namespace qvm
