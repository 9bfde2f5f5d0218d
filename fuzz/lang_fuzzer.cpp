// Reads arbitrary bytes as a language file, through the file on disk and in
// memory, and makes the lookups the program makes: keys of the file, keys and
// texts cut from the input, message texts and message boxes. Aborts when a
// lookup breaks one of its promises: the binary search disagrees with a linear
// one, or a text grows beyond its limit.
#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <cstdint>
#include <cstdlib>

#include "lang/Language.h"
#include "lang/LanguageLookup.h"

namespace {

using namespace qvm;

class SilentBox : public MessagePresenter {
  public:
    MessageAnswer present(const QString& text, MessageKind, MessageButtons buttons) override {
        if (text.isEmpty()) {
            std::abort();
        }
        return buttons == MessageButtons::YesNo ? MessageAnswer::No : MessageAnswer::Ok;
    }
};

void Check(bool promise) {
    if (!promise) {
        std::abort();
    }
}

void CheckSearch(const LanguageList& list, const QString& key) {
    const int found = FindLanguageRec(list, key);
    if (found >= 0) {
        Check(CompareText(list[static_cast<size_t>(found)].key, key) == 0);
        return;
    }
    for (const tQVLanguage_Rec& rec : list) {
        Check(CompareText(rec.key, key) != 0);
    }
}

// Words of the name character set, as references and keys would use them.
QStringList Words(const QString& text, int most) {
    QStringList words;
    QString word;
    for (const QChar c : text) {
        const char16_t u = c.unicode();
        const bool name = u == u'-' || u == u'.' || u == u'_' || u == u':' ||
                          (u >= u'0' && u <= u'9') || (u >= u'A' && u <= u'Z') ||
                          (u >= u'a' && u <= u'z');
        if (name) {
            word += c;
        } else if (!word.isEmpty()) {
            words.append(word);
            word.clear();
            if (words.size() >= most) {
                return words;
            }
        }
    }
    if (!word.isEmpty()) {
        words.append(word);
    }
    return words;
}

struct Folder {
    QTemporaryDir dir;
    QString file() const { return dir.path() + QStringLiteral("/QVMirelta.Fuzz.lng"); }
};

Folder& TheFolder() {
    static Folder folder;
    return folder;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const QByteArray bytes(reinterpret_cast<const char*>(data), static_cast<qsizetype>(size));

    // In memory: the section reader and the lookups.
    const IniDocument doc = IniDocument::parse(bytes);
    const LanguageList constants = ReadSectionList(doc, QStringLiteral("Constants"));
    const LanguageList window = ReadSectionList(doc, QStringLiteral("FSettings"));
    for (size_t i = 1; i < constants.size(); ++i) {
        Check(CompareText(constants[i - 1].key, constants[i].key) < 0);
    }
    const QString text = QString::fromUtf8(bytes.left(4096));
    const QStringList words = Words(text, 48);
    for (const QString& word : words) {
        CheckSearch(constants, AsciiUpper(word));
        CheckSearch(window, word);
        Check(LookupText(constants, constants, word, word).size() <= kMaxTextLength);
        Check(LookupText(window, constants, word, QString()).size() <= kMaxTextLength);
    }
    int looked = 0;
    for (const tQVLanguage_Rec& rec : constants) {
        if (++looked > 48) {
            break;
        }
        CheckSearch(constants, rec.key);
        const QString value = LookupText(constants, constants, rec.key, QString());
        Check(value.size() <= kMaxTextLength);
        const FormatResult formatted = FormatWithoutArguments(value);
        Check(formatted.ok == formatted.error.isEmpty());
        Check(formatted.text.size() <= value.size());
    }
    Check(ExpandReferences(text, constants).size() <= kMaxTextLength);
    Check(ReplaceEscapes(text).size() <= 2 * text.size());

    // Through the file: selection, display name, texts and message boxes.
    Folder& folder = TheFolder();
    {
        QFile file(folder.file());
        if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate) ||
            file.write(bytes) != bytes.size()) {
            return 0;
        }
    }
    TLanguage lang(folder.dir.path());
    SilentBox box;
    lang.setPresenter(&box);
    lang.setTerminateRequest([] {});
    Check(
        lang.SelectStartLanguage(QString(), QStringLiteral("Setting"), QStringLiteral("English")));
    QStringList names;
    lang.GetLanguageNames(names);
    Check(names.size() == 1);
    Check(lang.IndexOfLanguage(names.front()) == 0);
    for (int i = 0; i < words.size() && i < 8; ++i) {
        Check(lang.GetMsgText(words[i]).size() <= kMaxTextLength);
        lang.ShowDialogMsg(words[i], box, MessageButtons::YesNo, MessageKind::Confirmation);
        Check(
            lang.GetGroupText(QStringLiteral("HTTP"), words[i], QStringLiteral("default")).size() <=
            kMaxTextLength);
    }
    return 0;
}
