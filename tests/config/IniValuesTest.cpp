#include "config/IniValues.h"

#include <gtest/gtest.h>

#include <cfloat>
#include <limits>

namespace qvm {
namespace {

TEST(ParseIniInteger, ReadsDecimalAndBothHexForms) {
    struct Case {
        const char* text;
        std::optional<qint32> expected;
    };
    const Case cases[] = {
        {"0", 0},
        {"42", 42},
        {"007", 7},
        {"-36", -36},
        {"+7", 7},
        {"0x1F9A", 8090},
        {"0X1f9a", 8090},
        {"$1F9A", 8090},
        {"-$10", -16},
        {"2147483647", std::numeric_limits<qint32>::max()},
        {"-2147483648", std::numeric_limits<qint32>::min()},
        {"0x7FFFFFFF", std::numeric_limits<qint32>::max()},
        // Outside 32 bits, however far: unreadable.
        {"2147483648", std::nullopt},
        {"-2147483649", std::nullopt},
        {"0x80000000", std::nullopt},
        {"99999999999999999999", std::nullopt},
        {"$FFFFFFFFFFFFFFFFFFFFFFFF", std::nullopt},
        // Not an integer at all.
        {"", std::nullopt},
        {"-", std::nullopt},
        {"$", std::nullopt},
        {"0x", std::nullopt},
        {"--1", std::nullopt},
        {"1.5", std::nullopt},
        {"1 2", std::nullopt},
        {"0x1G", std::nullopt},
        {"yes", std::nullopt},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(ParseIniInteger(c.text), c.expected) << c.text;
    }
}

TEST(ParseIniReal, TakesOnlyAPointAndFiniteValues) {
    struct Case {
        const char* text;
        std::optional<double> expected;
    };
    const Case cases[] = {
        {"2", 2.0},
        {"0.5", 0.5},
        {".5", 0.5},
        {"5.", 5.0},
        {"-1.5e3", -1500.0},
        {"1E2", 100.0},
        {"+0.25", 0.25},
        {"1,5", std::nullopt},
        {"1.5.1", std::nullopt},
        {"nan", std::nullopt},
        {"inf", std::nullopt},
        {"-infinity", std::nullopt},
        {"1e999", std::nullopt},
        {"1e-999", std::nullopt},
        {"0x10", std::nullopt},
        {"", std::nullopt},
        {".", std::nullopt},
        {"e5", std::nullopt},
        {"1e", std::nullopt},
        {"1.5s", std::nullopt},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(ParseIniReal(c.text), c.expected) << c.text;
    }
}

TEST(FormatIniReal, WritesTheShortestFormUpToFifteenDigits) {
    struct Case {
        double value;
        const char* expected;
    };
    const Case cases[] = {
        {2.0, "2"},         {0.5, "0.5"},    {-36.25, "-36.25"}, {1.0 / 3.0, "0.333333333333333"},
        {0.1 + 0.2, "0.3"}, {1e20, "1e+20"}, {65.5, "65.5"},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(FormatIniReal(c.value), QByteArray(c.expected)) << c.expected;
    }
}

TEST(FormatIniReal, EveryWrittenValueReadsBack) {
    // Fifteen digits round the largest double beyond its range; the writer
    // must fall back to more digits instead of writing an unreadable value.
    for (const double value : {DBL_MAX, -DBL_MAX, DBL_MIN, DBL_TRUE_MIN, 1.0 / 3.0, 1e15}) {
        const QByteArray text = FormatIniReal(value);
        const auto back = ParseIniReal(text);
        ASSERT_TRUE(back.has_value()) << text.constData();
        EXPECT_EQ(FormatIniReal(*back), text) << "a second round changes nothing";
        EXPECT_NEAR(*back, value, std::abs(value) * 1e-14) << text.constData();
    }
}

}  // namespace
}  // namespace qvm

namespace qvm {
namespace {

TEST(ParseIniText, KeepsByteOrderMarksAsCharacters) {
    EXPECT_EQ(ParseIniText("\xEF\xBB\xBF http://a"), QString(QChar(0xFEFF)) + " http://a");
    EXPECT_EQ(ParseIniText("\xEF\xBB\xBF\xEF\xBB\xBFx"),
              QString(QChar(0xFEFF)) + QChar(0xFEFF) + "x");
    EXPECT_EQ(ParseIniText("caf\xC3\xA9"), QStringLiteral("café"));
    EXPECT_EQ(ParseIniText("a\xFFz"), QString("a") + QChar(QChar::ReplacementCharacter) + "z");
    EXPECT_EQ(ParseIniText("\xE9"), QString(QChar(QChar::ReplacementCharacter)))
        << "a sequence cut off at the end is not dropped";
    const QString cut = ParseIniText("ab\xE2\x82");
    EXPECT_TRUE(cut.startsWith("ab") && cut.size() > 2) << "the broken tail becomes characters";
    // Whatever replaces broken bytes, writing the text back must read the same.
    for (const QString& text : {cut, ParseIniText("\xE9"), ParseIniText("a\xFFz")}) {
        EXPECT_EQ(ParseIniText(text.toUtf8()), text);
    }
}

}  // namespace
}  // namespace qvm
