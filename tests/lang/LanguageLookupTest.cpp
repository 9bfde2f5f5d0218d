#include "lang/LanguageLookup.h"

#include <gtest/gtest.h>

#include "lang/LangTestSupport.h"

namespace qvm {
namespace {

LanguageList Constants(const QByteArray& lines) {
    return ReadSectionList(IniDocument::parse("[Constants]\n" + lines),
                           QStringLiteral("Constants"));
}

QString Get(const LanguageList& constants, const QString& key, const QString& def = QString()) {
    return LookupText(constants, constants, key, def);
}

TEST(FindLanguageRec, FindsEveryKeyAndNothingBetween) {
    // Lists of 0 to 9 keys "B", "D", "F", ...; every key is found at its index,
    // every letter between or around them is not, in any letter case.
    for (int size = 0; size < 10; ++size) {
        LanguageList list;
        for (int i = 0; i < size; ++i) {
            list.push_back({QString(QChar(u'B' + 2 * i)), QString::number(i)});
        }
        for (char16_t c = u'A'; c <= u'U'; ++c) {
            const int offset = c - u'B';
            const bool present = offset >= 0 && offset % 2 == 0 && offset / 2 < size;
            const int expected = present ? offset / 2 : -1;
            EXPECT_EQ(FindLanguageRec(list, QString(QChar(c))), expected)
                << "size " << size << " key " << char(c);
            EXPECT_EQ(FindLanguageRec(list, QString(QChar(c)).toLower()), expected);
        }
    }
}

TEST(ReadSectionList, UpperCasesSortsAndKeepsTheFirstOfDuplicates) {
    const IniDocument doc = IniDocument::parse(
        "[Other]\nA=other\n"
        "[constants]\n; note=not a key\n;=\n=no key\nzeta=z\nKey=first\nKEY=second\n"
        "alpha=a\n b = spaced \nEmpty=\n"
        "[Constants]\nLate=late section\n");
    const LanguageList list = ReadSectionList(doc, QStringLiteral("Constants"));
    std::vector<std::pair<QString, QString>> got;
    for (const auto& rec : list) {
        got.emplace_back(rec.key, rec.value);
    }
    const std::vector<std::pair<QString, QString>> expected = {
        {"ALPHA", "a"}, {"B", "spaced"}, {"EMPTY", ""}, {"KEY", "first"}, {"ZETA", "z"}};
    EXPECT_EQ(got, expected);
}

TEST(ReplaceEscapes, ReplacesEachSequenceInItsOrder) {
    const struct {
        QString in;
        QString out;
    } cases[] = {
        {"one\\ntwo", "one\r\ntwo"},  {"one\\rtwo", "one\n\rtwo"},
        {"\\0", QString(QChar(0))},   {"\\a\\b\\t\\v\\f", "\a\b\t\v\f"},
        {"\\n\\n", "\r\n\r\n"},       {"\\N \\x \\", "\\N \\x \\"},
        {"\\\\n", "\\\r\n"},  // the second backslash and the n form the escape
        {"no escapes", "no escapes"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(ReplaceEscapes(c.in), c.out) << c.in.toStdString();
    }
}

TEST(LookupText, ExpandsReferencesToPlainConstants) {
    const LanguageList constants = Constants(
        "Button.OK=OK\nName=World\nGreeting=Hello .Name\nEmpty=\nEsc=one\\ntwo\n"
        "Deep1=.Deep2\nDeep2=.Deep3\nDeep3=.Deep4\nDeep4=.Deep5\nDeep5=.Deep6\nDeep6=.Deep7\n"
        "Deep7=.Deep8\nDeep8=.Deep9\nDeep9=.Deep10\nDeep10=bottom\n"
        "Version=2.1.0\nNumber=3.5 sec\nAt=.Button.OK and .Button.OK\n");
    const struct {
        QString text;
        QString out;
    } cases[] = {
        {"Press .Button.OK", "Press OK"},
        {"Press .Button.OK now", "Press OK now"},
        {"Press .button.ok", "Press OK"},
        {"(.Name)", "(World)"},
        {"a.Name", "aWorld"},
        {".Greeting!", "Hello World!"},
        {".Esc", "one\r\ntwo"},
        {".Deep1", "bottom"},
        {".At", "OK and OK"},
        {".Missing stays", ".Missing stays"},
        {"x .Name-y", "x .Name-y"},
        {".Empty", ".Empty"},
        {"..Button.OK", "..Button.OK"},
        {"End of sentence.", "End of sentence."},
        {"Press .Button.OK.", "Press .Button.OK."},  // the name takes the final dot
        {"3.5 sec", "3.5 sec"},
        {"2.1.0", "2.1.0"},
        {".Version", "2.1.0"},
        {".Number", "3.5 sec"},
        {".", "."},
        {"", ""},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(ExpandReferences(c.text, constants), c.out) << c.text.toStdString();
        EXPECT_EQ(Get(constants, QStringLiteral("Missing key"), c.text), c.out)
            << "a default passes through the same expansion: " << c.text.toStdString();
    }
}

TEST(LookupText, FindsKeysWhateverTheirCaseOrSurroundingBlanks) {
    const LanguageList constants = Constants("Dialog.OpenFile=Open\nError.MEMORY =Memory\n");
    EXPECT_EQ(Get(constants, QStringLiteral("dialog.openfile")), QStringLiteral("Open"));
    EXPECT_EQ(Get(constants, QStringLiteral("DIALOG.OPENFILE")), QStringLiteral("Open"));
    // The file reader trims names, so a key written with a trailing blank is
    // found only when the lookup trims too.
    EXPECT_EQ(Get(constants, QStringLiteral("Error.MEMORY ")), QStringLiteral("Memory"));
    EXPECT_EQ(Get(constants, QStringLiteral("Missing"), QStringLiteral("a\\tb")),
              QStringLiteral("a\tb"));
    EXPECT_EQ(Get(constants, QString(), QStringLiteral("a\\tb")), QStringLiteral("a\\tb"))
        << "an empty key gives the default untouched";
    const LanguageList none;
    EXPECT_EQ(Get(none, QStringLiteral("Missing"), QStringLiteral("a\\t.Name")),
              QStringLiteral("a\\t.Name"))
        << "an empty list gives the default untouched";
}

TEST(LookupText, EndsReferenceCycles) {
    const LanguageList constants =
        Constants("Self=a .Self b\nA=x .B\nB=y .A\nC=.C\nUsesSelf=[.Self]\n");
    EXPECT_EQ(Get(constants, QStringLiteral("Self")), QStringLiteral("a .Self b"));
    EXPECT_EQ(Get(constants, QStringLiteral("A")), QStringLiteral("x y .A"));
    EXPECT_EQ(Get(constants, QStringLiteral("B")), QStringLiteral("y x .B"));
    EXPECT_EQ(Get(constants, QStringLiteral("C")), QStringLiteral(".C"));
    EXPECT_EQ(Get(constants, QStringLiteral("UsesSelf")), QStringLiteral("[a .Self b]"));
    EXPECT_EQ(ExpandReferences(QStringLiteral(".A"), constants), QStringLiteral("x y .A"));
}

TEST(LookupText, StaysBoundedOnHostileChains) {
    // A chain far deeper than any translator writes: the expansion stops at the
    // depth limit and leaves the remaining reference as written.
    QByteArray deep;
    const int chain = 5000;
    for (int i = 0; i < chain; ++i) {
        deep += "K" + QByteArray::number(i) + "=.K" + QByteArray::number(i + 1) + "\n";
    }
    deep += "K" + QByteArray::number(chain) + "=end\n";
    const QString deepText = Get(Constants(deep), QStringLiteral("K0"));
    EXPECT_TRUE(deepText.startsWith(QLatin1String(".K"))) << deepText.toStdString();
    EXPECT_LT(deepText.size(), 16);

    // Each level doubles the text; the last level ends in a plain text, in a
    // cycle, or (60 levels) lies beyond the depth limit. The result is cut at
    // the text limit instead of growing to 2^60 characters.
    const struct {
        int levels;
        QByteArray leaf;
        QString begin;
    } wideCases[] = {
        {15, "leaf", "leaf leaf leaf"},
        {15, "leaf .W0", "leaf .W0 leaf .W0"},
        {60, "leaf", ".W16 .W16"},
    };
    for (const auto& c : wideCases) {
        QByteArray wide;
        for (int i = 0; i < c.levels; ++i) {
            wide += "W" + QByteArray::number(i) + "=.W" + QByteArray::number(i + 1) + " .W" +
                    QByteArray::number(i + 1) + "\n";
        }
        wide += "W" + QByteArray::number(c.levels) + "=" + c.leaf + "\n";
        const QString text = Get(Constants(wide), QStringLiteral("W0"));
        EXPECT_GT(text.size(), 1000) << c.levels << " " << c.leaf.constData();
        EXPECT_LE(text.size(), kMaxTextLength);
        EXPECT_TRUE(text.startsWith(c.begin)) << text.left(40).toStdString();
    }

    // Many references to a long text: the total work is bounded too.
    const QByteArray longValue(200000, 'x');
    QByteArray many = "Long=" + longValue + "\nMany=";
    for (int i = 0; i < 2000; ++i) {
        many += ".Long ";
    }
    const QString manyText = Get(Constants(many + "\n"), QStringLiteral("Many"));
    EXPECT_LE(manyText.size(), kMaxTextLength);
    EXPECT_TRUE(manyText.startsWith(QString(1000, QLatin1Char('x'))));
}

TEST(FormatWithoutArguments, TurnsDoublePercentIntoOneAndRefusesArguments) {
    const struct {
        QString in;
        bool ok;
        QString out;
    } cases[] = {
        {"100%% sure", true, "100% sure"},
        {"%%%%", true, "%%"},
        {"plain", true, "plain"},
        {"", true, ""},
        {"%d items", false, "%d items"},
        {"%%%d", false, "%%%d"},
        {"50%", false, "50%"},
        {"%s and %%", false, "%s and %%"},
    };
    for (const auto& c : cases) {
        const FormatResult r = FormatWithoutArguments(c.in);
        EXPECT_EQ(r.ok, c.ok) << c.in.toStdString();
        EXPECT_EQ(r.text, c.out) << c.in.toStdString();
        EXPECT_EQ(r.error.isEmpty(), c.ok) << c.in.toStdString();
    }
    EXPECT_EQ(FormatWithoutArguments(QStringLiteral("ab %d")).error,
              QStringLiteral("The format sequence \"%d\" at position 4 needs an argument"));
}

}  // namespace
}  // namespace qvm
