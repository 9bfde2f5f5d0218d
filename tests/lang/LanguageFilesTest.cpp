// The shipped language files against the program's key table, and the program's
// sources against the key table: a key used in code or listed in the table but
// missing from a language file fails here, not in front of a listener.
#include <gtest/gtest.h>

#include <QDirIterator>
#include <QFile>
#include <QRegularExpression>
#include <QSet>
#include <cstdlib>

#include "lang/LangTestSupport.h"
#include "lang/Language.h"
#include "lang/LanguageKeys.h"

namespace qvm {
namespace {

QString SourceDir() {
    const char* dir = std::getenv("QVM_SOURCE_DIR");
    return AddTrailingBackslash(
        QString::fromUtf8(dir != nullptr && *dir != '\0' ? dir : QVM_LANG_SOURCE_DIR));
}

QSet<QString> TableKeys() {
    QSet<QString> keys;
    for (const LanguageKey& key : LanguageKeyTable()) {
        keys.insert(AsciiUpper(key.fileKey()));
    }
    return keys;
}

TEST(LanguageKeyTable, HasNoDuplicatesAndMapsErrorCodes) {
    QSet<QString> seen;
    for (const LanguageKey& key : LanguageKeyTable()) {
        EXPECT_FALSE(seen.contains(AsciiUpper(key.fileKey()))) << key.fileKey().toStdString();
        seen.insert(AsciiUpper(key.fileKey()));
        EXPECT_FALSE(key.englishText().isEmpty()) << key.fileKey().toStdString();
    }
    EXPECT_EQ(keys::error::MEMORY.fileKey(), QStringLiteral("Error.MEMORY"));
    EXPECT_EQ(keys::msg::LabBreakTime_Hint.fileKey(), QStringLiteral("MSG.LabBreakTime.Hint"));
    EXPECT_EQ(keys::plain::Error.fileKey(), QStringLiteral("Error"));
    const struct {
        int code;
        const LanguageKey* key;
    } codes[] = {{-1, &keys::error::UNKNOWN},
                 {0, &keys::error::OK},
                 {1, &keys::error::MEMORY},
                 {20, &keys::error::ILLPARAM},
                 {46, &keys::error::BUSY},
                 {12, nullptr},
                 {47, nullptr},
                 {kNoErrorCode, nullptr}};
    for (const auto& c : codes) {
        EXPECT_EQ(ErrorTextKey(c.code), c.key) << c.code;
    }
}

TEST(ShippedLanguageFiles, HoldEveryKeyOfTheTableAndNoOther) {
    const QString folder = SourceDir() + QStringLiteral("lang/");
    ASSERT_FALSE(SourceDir().isEmpty()) << "QVM_SOURCE_DIR is not set";
    const TLanguage lang(folder);
    QStringList entries;
    for (const tQVLanguage_Rec& rec : lang.Languages()) {
        entries.append(rec.key);
    }
    EXPECT_TRUE(entries.contains(QStringLiteral("English.lng"))) << entries.join(' ').toStdString();
    EXPECT_TRUE(entries.contains(QStringLiteral("Deutsch.lng"))) << entries.join(' ').toStdString();

    const QSet<QString> table = TableKeys();
    QSet<QString> displayNames;
    for (int i = 0; i < static_cast<int>(lang.Languages().size()); ++i) {
        TLanguage selected(folder);
        ASSERT_TRUE(selected.SelectLanguage(i));
        const std::string file = selected.LanguageName(i).toStdString();
        const QByteArray raw = [&] {
            QFile f(selected.FileName());
            return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
        }();
        EXPECT_EQ(QString::fromUtf8(raw).toUtf8(), raw) << file << " is not valid UTF-8";
        EXPECT_FALSE(raw.startsWith("\xEF\xBB\xBF")) << file;

        LanguageList constants;
        selected.LoadSection(QStringLiteral("Constants"), constants);
        for (const LanguageKey& key : LanguageKeyTable()) {
            const int at = FindLanguageRec(constants, AsciiUpper(key.fileKey()));
            EXPECT_GE(at, 0) << file << " lacks " << key.fileKey().toStdString();
            if (at < 0) {
                continue;
            }
            const QString& value = constants[static_cast<size_t>(at)].value;
            EXPECT_FALSE(value.isEmpty()) << file << ": " << key.fileKey().toStdString();
            // A dot followed by letters would be taken for a reference.
            EXPECT_EQ(selected.Text(key), ReplaceEscapes(value))
                << file << ": " << key.fileKey().toStdString() << " expands a reference";
            if (key.group == KeyGroup::MSG || key.group == KeyGroup::Dialog) {
                EXPECT_TRUE(FormatWithoutArguments(value).ok)
                    << file << ": " << key.fileKey().toStdString() << " needs arguments";
            }
            if (selected.LanguageName(i) == QLatin1String("English.lng")) {
                EXPECT_EQ(value, key.englishText()) << key.fileKey().toStdString();
            }
        }
        for (const tQVLanguage_Rec& rec : constants) {
            EXPECT_TRUE(table.contains(rec.key))
                << file << " holds the unknown key " << rec.key.toStdString();
        }
        const QString display = lang.Languages()[static_cast<size_t>(i)].value;
        EXPECT_FALSE(displayNames.contains(display)) << "display name twice: " << file;
        displayNames.insert(display);
    }
}

// "File.cpp:12: MSG.Name" for every call with literal keys: GetMsgText("x"),
// GetDialogText("x"), ShowDialogMsg("x", ...), GetConst("x", ...),
// GetGroupText("g", "x", ...), the literals plain or in QStringLiteral,
// QLatin1String or QString.
struct LiteralKey {
    QString key;
    int line;
};

std::vector<LiteralKey> FindLiteralKeys(const QString& source) {
    static const QString literal = QStringLiteral(
        R"re((?:(?:QStringLiteral|QLatin1String|QLatin1StringView|QString)\s*\(\s*)?)re"
        R"re((?:u8?)?"((?:[^"\\\n]|\\.)*)"(?:_qs|_s|_L1)?)re");
    static const QRegularExpression single(
        QStringLiteral(R"(\b(GetMsgText|GetDialogText|ShowDialogMsg|GetConst)\s*\(\s*)") + literal);
    static const QRegularExpression grouped(QStringLiteral(R"(\bGetGroupText\s*\(\s*)") + literal +
                                            QStringLiteral(R"(\s*\)?\s*,\s*)") + literal);
    std::vector<LiteralKey> found;
    const auto lineOf = [&](qsizetype offset) {
        return static_cast<int>(source.left(offset).count(QLatin1Char('\n'))) + 1;
    };
    for (auto it = single.globalMatch(source); it.hasNext();) {
        const QRegularExpressionMatch m = it.next();
        const QString call = m.captured(1);
        QString key = m.captured(2);
        if (call == QLatin1String("GetMsgText")) {
            key = QStringLiteral("MSG.") + key;
        } else if (call != QLatin1String("GetConst")) {
            key = QStringLiteral("Dialog.") + key;
        }
        found.push_back({key.trimmed(), lineOf(m.capturedStart())});
    }
    for (auto it = grouped.globalMatch(source); it.hasNext();) {
        const QRegularExpressionMatch m = it.next();
        found.push_back({(m.captured(1) + QLatin1Char('.') + m.captured(2)).trimmed(),
                         lineOf(m.capturedStart())});
    }
    return found;
}

TEST(SourceKeys, TheScannerFindsLiteralKeysInEveryCallForm) {
    const struct {
        QString source;
        QStringList keys;
    } cases[] = {
        {R"(LabSource->setText(lang.GetMsgText("PlayChannel") + " 1");)", {"MSG.PlayChannel"}},
        {R"(lang->GetDialogText(QStringLiteral("OpenFile")))", {"Dialog.OpenFile"}},
        {R"(ShowDialogMsg("Exit", box,
               MessageButtons::YesNo, MessageKind::Confirmation))",
         {"Dialog.Exit"}},
        {R"(GetGroupText("HTTP", "Stopped", "Stopped"))", {"HTTP.Stopped"}},
        {R"(GetGroupText(QStringLiteral("MSG"),
                         QStringLiteral("LabBreakTime.Hint"), def))",
         {"MSG.LabBreakTime.Hint"}},
        {R"(GetGroupText(u"Error"_s, u"CODE"_s, d) GetGroupText("Error", "MEMORY ", d))",
         {"Error.CODE", "Error.MEMORY"}},
        {R"(GetConst(QLatin1String("Error"), QStringLiteral("Code")))", {"Error"}},
        {R"(GetMsgText(name); GetGroupText("HTTP", key, def); GetConst(key, "x"))", {}},
        {R"(// TLanguage::GetMsgText(const QString& name))", {}},
    };
    for (const auto& c : cases) {
        QStringList got;
        for (const LiteralKey& k : FindLiteralKeys(c.source)) {
            got.append(k.key);
        }
        EXPECT_EQ(got, c.keys) << c.source.toStdString();
    }
    EXPECT_EQ(FindLiteralKeys(QStringLiteral("\n\nGetMsgText(\"Stop\")")).at(0).line, 3);
}

TEST(SourceKeys, EveryLiteralKeyInTheSourcesIsInTheTable) {
    ASSERT_FALSE(SourceDir().isEmpty()) << "QVM_SOURCE_DIR is not set";
    const QSet<QString> table = TableKeys();
    int files = 0;
    QDirIterator it(SourceDir() + QStringLiteral("src"), {"*.h", "*.cpp"}, QDir::Files,
                    QDirIterator::Subdirectories);
    while (it.hasNext()) {
        const QString path = it.next();
        QFile file(path);
        ASSERT_TRUE(file.open(QIODevice::ReadOnly)) << path.toStdString();
        ++files;
        for (const LiteralKey& k : FindLiteralKeys(QString::fromUtf8(file.readAll()))) {
            EXPECT_TRUE(table.contains(AsciiUpper(k.key)))
                << path.toStdString() << ":" << k.line << ": the key " << k.key.toStdString()
                << " is not in src/lang/LanguageKeys.h";
        }
    }
    EXPECT_GT(files, 10) << "the source tree was not found";
}

}  // namespace
}  // namespace qvm
