#include "lang/LanguageLookup.h"

#include <QHash>
#include <algorithm>

#include "core/Helpers.h"

namespace qvm {

void SortLanguageList(LanguageList& list) {
    std::stable_sort(list.begin(), list.end(),
                     [](const tQVLanguage_Rec& a, const tQVLanguage_Rec& b) {
                         return CompareText(a.key, b.key) < 0;
                     });
}

int FindLanguageRec(const LanguageList& list, const QString& key) {
    if (list.empty()) {
        return -1;
    }
    int c = CompareText(list.front().key, key);
    if (c > 0) {
        return -1;
    }
    if (c == 0) {
        return 0;
    }
    // From here on list[low] sorts before the key and list[high], once probed,
    // after it; an exact hit ends the search.
    int low = 0;
    int high = static_cast<int>(list.size()) - 1;
    int probe = high;
    while (true) {
        c = CompareText(list[static_cast<size_t>(probe)].key, key);
        if (c == 0) {
            return probe;
        }
        if (c < 0) {
            low = probe;
        } else {
            high = probe;
        }
        probe = low + (high - low) / 2;
        if (probe == low || low >= high) {
            return -1;
        }
    }
}

LanguageList ReadSectionList(const IniDocument& doc, const QString& section) {
    LanguageList list;
    const auto entries = doc.entries(section.toUtf8());
    list.reserve(static_cast<size_t>(entries.size()));
    for (const auto& [name, value] : entries) {
        // The reader gives only lines with a key before "=", already trimmed.
        if (name.startsWith(';')) {
            continue;
        }
        list.push_back({AsciiUpper(QString::fromUtf8(name)), QString::fromUtf8(value)});
    }
    SortLanguageList(list);
    // The stable sort keeps file order among equal keys: the first one counts.
    const auto equalKeys = [](const tQVLanguage_Rec& a, const tQVLanguage_Rec& b) {
        return CompareText(a.key, b.key) == 0;
    };
    list.erase(std::unique(list.begin(), list.end(), equalKeys), list.end());
    return list;
}

QString ReplaceEscapes(QString text) {
    static const struct {
        const char16_t* from;
        const char16_t* to;
        qsizetype toLength;
    } kEscapes[] = {
        {u"\\0", u"\0", 1},   {u"\\a", u"\a", 1}, {u"\\b", u"\b", 1}, {u"\\t", u"\t", 1},
        {u"\\n", u"\r\n", 2}, {u"\\v", u"\v", 1}, {u"\\f", u"\f", 1}, {u"\\r", u"\n\r", 2},
    };
    if (!text.contains(QLatin1Char('\\'))) {
        return text;
    }
    for (const auto& e : kEscapes) {
        text.replace(reinterpret_cast<const QChar*>(e.from), 2,
                     reinterpret_cast<const QChar*>(e.to), e.toLength);
    }
    return text;
}

namespace {

bool IsNameChar(QChar c) {
    const char16_t u = c.unicode();
    return u == u'-' || u == u'.' || (u >= u'0' && u <= u'9') || (u >= u'A' && u <= u'Z') ||
           (u >= u'a' && u <= u'z');
}

// The state of one lookup's reference expansion, shared by every nesting level.
class Expansion {
  public:
    Expansion(const LanguageList& constants, const QString& outerKey) : m_constants(constants) {
        if (!outerKey.isEmpty()) {
            m_active.append(outerKey);
        }
    }

    QString expand(QStringView text) {
        QString out;
        QString name;
        bool inReference = false;
        const auto append = [&](QStringView piece) {
            const qsizetype room = kMaxTextLength - out.size();
            const QStringView kept = piece.left(std::max<qsizetype>(room, 0));
            out += kept;
            m_work += kept.size();
        };
        const auto endReference = [&] {
            if (name.isEmpty()) {
                append(u".");
            } else {
                const QString found = constantText(name);
                if (!found.isEmpty()) {
                    append(found);
                } else {
                    append(u".");
                    append(name);
                }
            }
            name.clear();
            inReference = false;
        };
        for (const QChar c : text) {
            if (m_work >= kMaxExpansionWork || out.size() >= kMaxTextLength) {
                break;
            }
            ++m_work;
            if (inReference) {
                if (IsNameChar(c)) {
                    name += c;
                    continue;
                }
                endReference();
            }
            if (c == QLatin1Char('.')) {
                inReference = true;
            } else {
                append(QStringView(&c, 1));
            }
        }
        if (inReference) {
            endReference();
        }
        return out;
    }

  private:
    // The text of a plain constant, as a nested GetConst(name, "") gives it;
    // empty for an unknown name, and for a name that would recurse (a cycle) or
    // nest too deep, so that the reference stays as written.
    QString constantText(const QString& name) {
        if (m_work >= kMaxExpansionWork) {
            return {};
        }
        const QString key = AsciiUpper(name);
        const auto memo = m_memo.constFind(key);
        if (memo != m_memo.constEnd()) {
            return *memo;
        }
        const int at = FindLanguageRec(m_constants, key);
        if (at < 0) {
            m_memo.insert(key, QString());
            return {};
        }
        if (m_active.size() >= kMaxReferenceDepth || m_active.contains(key)) {
            ++m_cuts;
            return {};
        }
        const QString& raw = m_constants[static_cast<size_t>(at)].value;
        const QString value = ReplaceEscapes(raw.left(kMaxExpansionWork));
        m_work += value.size();
        const int cutsBefore = m_cuts;
        m_active.append(key);
        QString result = value.isEmpty() ? value : expand(value);
        m_active.removeLast();
        // A text cut short by a cycle or by the depth limit depends on where it
        // was reached from; only complete texts are reused.
        if (m_cuts == cutsBefore && m_work < kMaxExpansionWork) {
            m_memo.insert(key, result);
        }
        return result;
    }

    const LanguageList& m_constants;
    QStringList m_active;  // keys being expanded, outermost first
    QHash<QString, QString> m_memo;
    qsizetype m_work = 0;
    int m_cuts = 0;
};

}  // namespace

QString ExpandReferences(const QString& text, const LanguageList& constants) {
    return Expansion(constants, QString()).expand(text);
}

QString LookupText(const LanguageList& list, const LanguageList& constants, const QString& key,
                   const QString& def) {
    if (list.empty() || key.isEmpty()) {
        return def;
    }
    const QString upper = AsciiUpper(key.trimmed());
    QString result = def;
    const int at = FindLanguageRec(list, upper);
    if (at >= 0) {
        result = list[static_cast<size_t>(at)].value;
    }
    if (result.size() > kMaxExpansionWork) {
        result.truncate(kMaxExpansionWork);
    }
    result = ReplaceEscapes(std::move(result));
    if (result.isEmpty()) {
        return result;
    }
    // A constant that names itself is a cycle from the start.
    const bool fromConstants = at >= 0 && &list == &constants;
    return Expansion(constants, fromConstants ? upper : QString()).expand(result);
}

FormatResult FormatWithoutArguments(const QString& text) {
    FormatResult result;
    if (!text.contains(QLatin1Char('%'))) {
        result.text = text;
        return result;
    }
    QString out;
    out.reserve(text.size());
    for (qsizetype i = 0; i < text.size(); ++i) {
        if (text[i] != QLatin1Char('%')) {
            out += text[i];
            continue;
        }
        if (i + 1 < text.size() && text[i + 1] == QLatin1Char('%')) {
            out += QLatin1Char('%');
            ++i;
            continue;
        }
        result.ok = false;
        result.text = text;
        const qsizetype shown = std::min<qsizetype>(2, text.size() - i);
        result.error = QStringLiteral("The format sequence \"") + text.mid(i, shown) +
                       QStringLiteral("\" at position ") + QString::number(i + 1) +
                       QStringLiteral(" needs an argument");
        return result;
    }
    result.text = out;
    return result;
}

}  // namespace qvm
