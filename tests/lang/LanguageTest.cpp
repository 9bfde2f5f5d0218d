#include "lang/Language.h"

#include <gtest/gtest.h>

#include <sys/stat.h>
#include <QDir>
#include <QFile>
#include <QRandomGenerator>
#include <atomic>
#include <thread>

#include "lang/LangTestSupport.h"

namespace qvm {
namespace {

using test::RecordingPresenter;
using test::TempDir;
using test::WriteLanguage;

TEST(ScanLanguages, ListsLanguageFilesSortedWithTheirDisplayNames) {
    TempDir dir;
    WriteLanguage(dir, QStringLiteral("English.lng"), "Language=English\n");
    WriteLanguage(dir, QStringLiteral("deutsch.lng"), "Language=Deutsch\n");
    WriteLanguage(dir, QStringLiteral("Zulu.LNG"), "Other=1\n");
    WriteLanguage(dir, QStringLiteral("Bairisch.lng"), "Language=\n");
    dir.write(QStringLiteral("QVMirelta.apfel.lng"), QByteArray("\x00\xff[\x01=\n", 6));
    // Not languages: a folder, a fifo, other prefixes and extensions.
    QDir(dir.path()).mkdir(QStringLiteral("QVMirelta.Folder.lng"));
    ASSERT_EQ(mkfifo(dir.file(QStringLiteral("QVMirelta.Pipe.lng")).toUtf8().constData(), 0600), 0);
    WriteLanguage(dir, QStringLiteral("English.lng.bak"), "Language=Backup\n");
    WriteLanguage(dir, QStringLiteral(".lng"), "Language=Nameless\n");
    dir.write(QStringLiteral("Other.French.lng"), "[Constants]\nLanguage=French\n");
    dir.write(QStringLiteral("QVMirelta.ini"), "[Setting]\nLanguage=Zulu.LNG\n");

    const TLanguage lang(dir.path());
    QStringList entries;
    for (const tQVLanguage_Rec& rec : lang.Languages()) {
        entries.append(rec.key);
    }
    EXPECT_EQ(entries,
              QStringList({"apfel.lng", "Bairisch.lng", "deutsch.lng", "English.lng", "Zulu.LNG"}));
    QStringList names = {QStringLiteral("stale entry")};
    lang.GetLanguageNames(names);
    EXPECT_EQ(names, QStringList({"apfel", "Bairisch", "Deutsch", "English", "Zulu"}));
    EXPECT_EQ(lang.FileMask(), dir.path() + QStringLiteral("QVMirelta.*.lng"));
    EXPECT_TRUE(lang.FileName().isEmpty()) << "no language is selected by the scan";
}

struct StartCase {
    const char* what;
    QStringList files;    // entry names; display name = name without extension
    QByteArray settings;  // content of QVMirelta.ini; empty: no file
    QString section;
    QString defaultName;
    QString expected;  // entry name selected
};

TEST(SelectStartLanguage, ChoosesTheConfiguredLanguage) {
    const QString setting = QStringLiteral("Setting");
    const QString english = QStringLiteral("English");
    const QStringList two = {"Deutsch.lng", "English.lng"};
    const QStringList three = {"Afrikaans.lng", "Deutsch.lng", "English.lng"};
    const StartCase cases[] = {
        {"one file whatever the setting",
         {"Deutsch.lng"},
         "[Setting]\nLanguage=English.lng\n",
         setting,
         english,
         "Deutsch.lng"},
        {"case of the entry name ignored", two, "[Setting]\nLanguage=deutsch.LNG\n", setting,
         english, "Deutsch.lng"},
        {"exact entry name", two, "[Setting]\nLanguage=English.lng\n", setting, english,
         "English.lng"},
        {"missing key takes the default English", three, "[Setting]\nVolume=80\n", setting, english,
         "English.lng"},
        {"missing settings file takes the default", three, "", setting, english, "English.lng"},
        {"default name given by the caller", three, "", setting, "deutsch", "Deutsch.lng"},
        {"name without extension", three, "[Setting]\nLanguage=Deutsch\n", setting, english,
         "Deutsch.lng"},
        {"unknown name takes entry 0", three, "[Setting]\nLanguage=Klingon.lng\n", setting, english,
         "Afrikaans.lng"},
        {"the given section", three,
         "[Setting]\nLanguage=English.lng\n[Other]\nLanguage=Deutsch.lng\n", "other", english,
         "Deutsch.lng"},
        {"garbage settings file", three, QByteArray("\xff\x00[Setting\n=Language\n", 21), setting,
         english, "English.lng"},
    };
    for (const StartCase& c : cases) {
        TempDir dir;
        for (const QString& file : c.files) {
            WriteLanguage(dir, file, "X=1\n");
        }
        if (!c.settings.isEmpty()) {
            dir.write(QStringLiteral("QVMirelta.ini"), c.settings);
        }
        TLanguage lang(dir.path());
        RecordingPresenter box;
        lang.setPresenter(&box);
        EXPECT_TRUE(lang.SelectStartLanguage(QString(), c.section, c.defaultName)) << c.what;
        EXPECT_EQ(lang.FileName(), dir.path() + QStringLiteral("QVMirelta.") + c.expected)
            << c.what;
        EXPECT_TRUE(box.shown.empty()) << c.what;
    }
}

TEST(SelectStartLanguage, FindsDisplayNamesAndReadsTheGivenSettingsFile) {
    TempDir dir;
    WriteLanguage(dir, QStringLiteral("By.lng"), "Language=Bairisch\n");
    WriteLanguage(dir, QStringLiteral("English.lng"), "Language=English\n");
    dir.write(QStringLiteral("custom.ini"), "[Setting]\nLanguage=bairisch\n");
    dir.write(QStringLiteral("QVMirelta.ini"), "[Setting]\nLanguage=English.lng\n");
    TLanguage lang(dir.path());
    EXPECT_TRUE(lang.SelectStartLanguage(QStringLiteral("custom.ini"), QStringLiteral("Setting"),
                                         QStringLiteral("English")))
        << "a name without a folder is taken from the program's folder";
    EXPECT_EQ(lang.FileName(), dir.file(QStringLiteral("QVMirelta.By.lng")));
    EXPECT_TRUE(lang.SelectStartLanguage(dir.file(QStringLiteral("QVMirelta.ini")),
                                         QStringLiteral("Setting"), QStringLiteral("English")));
    EXPECT_EQ(lang.FileName(), dir.file(QStringLiteral("QVMirelta.English.lng")));
}

TEST(SelectStartLanguage, WithoutLanguageFilesShowsTheMaskAndAsksToEnd) {
    TempDir dir;
    dir.write(QStringLiteral("QVMirelta.ini"), "[Setting]\nLanguage=English.lng\n");
    dir.write(QStringLiteral("Other.English.lng"), "[Constants]\n");
    TLanguage lang(dir.path());
    RecordingPresenter box(MessageAnswer::No);
    int terminateRequests = 0;
    lang.setPresenter(&box);
    lang.setTerminateRequest([&] { ++terminateRequests; });

    EXPECT_FALSE(
        lang.SelectStartLanguage(QString(), QStringLiteral("Setting"), QStringLiteral("English")));
    ASSERT_EQ(box.shown.size(), 1u);
    EXPECT_EQ(box.shown[0].text, QStringLiteral("The language files don't exits!\r") + dir.path() +
                                     QStringLiteral("QVMirelta.*.lng"));
    EXPECT_EQ(box.shown[0].kind, MessageKind::Error);
    EXPECT_EQ(box.shown[0].buttons, MessageButtons::Ok);
    EXPECT_EQ(terminateRequests, 1);
    EXPECT_TRUE(lang.FileName().isEmpty());
}

TEST(TLanguage, SelectsFindsAndNamesLanguages) {
    TempDir dir;
    WriteLanguage(dir, QStringLiteral("By.lng"), "Language=Bairisch\nWord=Servus\n");
    WriteLanguage(dir, QStringLiteral("English.lng"), "Language=English\nWord=Hello\n");
    TLanguage lang(dir.path());

    const struct {
        QString name;
        int index;
    } lookups[] = {{"english", 1},   {"English.lng", 1}, {"ENGLISH.LNG", 1},
                   {"bairisch", 0},  {"by", 0},          {"By.lng", 0},
                   {"Bavarian", -1}, {"", -1},           {"lng", -1}};
    for (const auto& l : lookups) {
        EXPECT_EQ(lang.IndexOfLanguage(l.name), l.index) << l.name.toStdString();
    }
    EXPECT_EQ(lang.LanguageName(0), QStringLiteral("By.lng"));
    EXPECT_EQ(lang.LanguageName(1), QStringLiteral("English.lng"));
    EXPECT_EQ(lang.LanguageName(2), QString());
    EXPECT_EQ(lang.LanguageName(-1), QString());

    EXPECT_TRUE(lang.SelectLanguage(1));
    EXPECT_EQ(lang.GetConst(QStringLiteral("Word"), QString()), QStringLiteral("Hello"));
    for (const int outside : {-1, 2, 100}) {
        EXPECT_FALSE(lang.SelectLanguage(outside));
        EXPECT_EQ(lang.GetConst(QStringLiteral("Word"), QString()), QStringLiteral("Hello"))
            << "no change";
    }
    EXPECT_FALSE(lang.LoadLanguage(QString()));
    EXPECT_EQ(lang.FileName(), dir.file(QStringLiteral("QVMirelta.English.lng")));

    EXPECT_TRUE(lang.LoadLanguage(QStringLiteral("By")));
    EXPECT_EQ(lang.FileName(), dir.file(QStringLiteral("QVMirelta.By.lng")));
    EXPECT_EQ(lang.GetConst(QStringLiteral("Word"), QString()), QStringLiteral("Servus"));
}

TEST(TLanguage, LooksTextsUpInTheSelectedFile) {
    TempDir dir;
    WriteLanguage(dir, QStringLiteral("Test.lng"),
                  "Dialog.OpenFile=Open a file\nButton.OK=Okay\nMSG.Online=Live\n"
                  "MSG.Percent=100%% sure\nMSG.Format=%d items\nMSG.Press=Press .Button.OK\n"
                  "Dup=first\nDUP=second\nError.MEMORY=Out of memory\nError.ILLPARAM:=Illegal\n"
                  "HTTP.Stopped=Halted\n");
    TLanguage lang(dir.path());
    // Before a language is selected every default comes back untouched.
    EXPECT_EQ(lang.GetConst(QStringLiteral("Button.OK"), QStringLiteral("a\\n.Button.OK")),
              QStringLiteral("a\\n.Button.OK"));
    EXPECT_EQ(lang.GetMsgText(QStringLiteral("Online")), QString());
    ASSERT_TRUE(lang.SelectLanguage(0));

    const struct {
        QString got;
        QString expected;
    } cases[] = {
        {lang.GetDialogText(QStringLiteral("openfile")), "Open a file"},
        {lang.GetGroupText(QStringLiteral("DIALOG"), QStringLiteral("OpenFile"), "x"),
         "Open a file"},
        {lang.GetGroupText(QStringLiteral("Error"), QStringLiteral("MEMORY "), "Memory error"),
         "Out of memory"},
        {lang.GetGroupText(QStringLiteral("Error"), QStringLiteral("ILLPARAM:"), "x"), "Illegal"},
        {lang.GetGroupText(QStringLiteral("Error"), QStringLiteral("NOHW"), "No hardware"),
         "No hardware"},
        {lang.GetConst(QStringLiteral("dup"), QString()), "first"},
        {lang.GetMsgText(QStringLiteral("online")), "Live"},
        {lang.GetMsgText(QStringLiteral("Percent")), "100% sure"},
        {lang.GetMsgText(QStringLiteral("Format")), "%d items"},
        {lang.GetMsgText(QStringLiteral("Press")), "Press Okay"},
        {lang.GetMsgText(QStringLiteral("Missing")), ""},
        {lang.GetDialogText(QStringLiteral("Missing")), ""},
        {lang.GetConst(QStringLiteral("Missing"), QStringLiteral("a\\tb .Button.OK")), "a\tb Okay"},
        {lang.Text(keys::http::Stopped), "Halted"},
        {lang.Text(keys::http::AlreadyStopped), "Already stopped"},
        {lang.Text(keys::error::MEMORY), "Out of memory"},
        {lang.Text(keys::plain::Error), "Code"},
        // Messages from the key table read as GetMsgText: no English default.
        {lang.Text(keys::msg::Online), "Live"},
        {lang.Text(keys::msg::Silence), ""},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(c.got, c.expected);
    }

    LanguageList section;
    dir.write(QStringLiteral("QVMirelta.Test.lng"),
              "[Constants]\nButton.OK=Fine\n[FSettings]\nCBHide=Hide .Button.OK\n");
    lang.LoadSection(QStringLiteral("fsettings"), section);
    ASSERT_EQ(section.size(), 1u);
    EXPECT_EQ(section[0].key, QStringLiteral("CBHIDE"));
    EXPECT_EQ(lang.Lookup(section, QStringLiteral("CBHide"), QString()),
              QStringLiteral("Hide Okay"))
        << "references use the Constants loaded at selection";
}

TEST(TLanguage, MissingUnreadableOrGarbageFilesGiveDefaults) {
    TempDir dir;
    WriteLanguage(dir, QStringLiteral("Gone.lng"), "Word=here\n");
    dir.write(QStringLiteral("QVMirelta.Binary.lng"), [] {
        QByteArray bytes(64 * 1024, '\0');
        QRandomGenerator random(42);
        for (char& b : bytes) {
            b = static_cast<char>(random.bounded(256));
        }
        return bytes;
    }());
    dir.write(QStringLiteral("QVMirelta.Line.lng"), QByteArray(1000 * 1024, 'x'));
    dir.write(QStringLiteral("QVMirelta.NoSection.lng"), "Word=no section\nLanguage=None\n");
    dir.write(QStringLiteral("QVMirelta.Headers.lng"), "[Constants]\n[Constants\n[\n]\n[]=\n");
    dir.write(QStringLiteral("QVMirelta.Utf.lng"), "[Constants]\nWord=\xff\xfe\xc3\n");
    // Below the reader's size limit, but far beyond any text: the lookup cuts it.
    dir.write(QStringLiteral("QVMirelta.HugeValue.lng"),
              "[Constants]\nWord=" + QByteArray(600 * 1024, 'y') + "\nRefs=" +
                  QByteArray(300 * 1024 / 6 * 6, '.').replace("......", ".Word ") + "\n");
    dir.write(QStringLiteral("QVMirelta.TooBig.lng"),
              "[Constants]\nWord=big\n; " + QByteArray(IniDocument::kMaxFileSize, ';') + "\n");
    dir.write(QStringLiteral("QVMirelta.Bom.lng"),
              "\xEF\xBB\xBF[Constants]\nLanguage=Bom\nWord=bom\n");
    TLanguage lang(dir.path());
    QFile::remove(dir.file(QStringLiteral("QVMirelta.Gone.lng")));
    ASSERT_EQ(mkfifo(dir.file(QStringLiteral("QVMirelta.Fifo.lng")).toUtf8().constData(), 0600), 0);

    const struct {
        QString name;
        QString word;  // Word, with "default" as the default
        QString display;
    } cases[] = {
        {"Gone.lng", "default", "Gone"},
        {"Fifo.lng", "default", ""},
        {"Binary.lng", "default", "Binary"},
        {"Line.lng", "default", "Line"},
        {"NoSection.lng", "default", "NoSection"},
        {"Headers.lng", "default", "Headers"},
        {"Utf.lng", QString::fromUtf8("\xff\xfe\xc3"), "Utf"},
        {"HugeValue.lng", QString(kMaxTextLength, QLatin1Char('y')), "HugeValue"},
        {"TooBig.lng", "default", "TooBig"},
        {"Bom.lng", "bom", "Bom"},
    };
    for (const auto& c : cases) {
        ASSERT_TRUE(lang.LoadLanguage(c.name)) << c.name.toStdString();
        EXPECT_EQ(lang.GetConst(QStringLiteral("Word"), QStringLiteral("default")), c.word)
            << c.name.toStdString();
        EXPECT_EQ(lang.GetMsgText(QStringLiteral("Online")), QString());
        const QString refs = lang.GetConst(QStringLiteral("Refs"), QString());
        EXPECT_LE(refs.size(), kMaxTextLength);
        RecordingPresenter box;
        EXPECT_EQ(lang.ShowDialogMsg(QStringLiteral("Exit"), box, MessageButtons::YesNo,
                                     MessageKind::Confirmation),
                  MessageAnswer::Ok);
        ASSERT_EQ(box.shown.size(), 1u);
        EXPECT_TRUE(box.shown[0].text.endsWith(QLatin1String("--> Dialog.Exit <---")));
        const int index = lang.IndexOfLanguage(c.name);
        if (c.display.isEmpty()) {
            EXPECT_EQ(index, -1) << "a fifo is no language";
        } else {
            ASSERT_GE(index, 0) << c.name.toStdString();
            EXPECT_EQ(lang.Languages()[static_cast<size_t>(index)].value, c.display);
        }
    }
}

TEST(ShowDialogMsg, ShowsTheTextOrTheLanguageFileError) {
    TempDir dir;
    WriteLanguage(dir, QStringLiteral("Test.lng"),
                  "Dialog.Exit=Stop and exit?\nDialog.Percent=100%% done\nDialog.Bad=%d left\n"
                  "Dialog.Lines=One\\nTwo\n");
    const QString file = dir.file(QStringLiteral("QVMirelta.Test.lng"));
    const QString missing = QStringLiteral("Error in language file ") + file +
                            QStringLiteral("\r--> Dialog.Missing <---");
    const QString bad = QStringLiteral("Error in language file ") + file +
                        QStringLiteral(
                            "\r--> Dialog.Bad\rError: The format sequence \"%d\" at "
                            "position 1 needs an argument\rPlease send about this "
                            "error to author.");
    const struct {
        QString name;
        MessageButtons buttons;
        MessageKind kind;
        MessageAnswer pressed;
        QString shown;
        MessageButtons shownButtons;
        MessageKind shownKind;
        MessageAnswer result;
    } cases[] = {
        {"Exit", MessageButtons::YesNo, MessageKind::Confirmation, MessageAnswer::Yes,
         "Stop and exit?", MessageButtons::YesNo, MessageKind::Confirmation, MessageAnswer::Yes},
        {"exit", MessageButtons::YesNo, MessageKind::Confirmation, MessageAnswer::No,
         "Stop and exit?", MessageButtons::YesNo, MessageKind::Confirmation, MessageAnswer::No},
        {"Percent", MessageButtons::Ok, MessageKind::Error, MessageAnswer::Ok, "100% done",
         MessageButtons::Ok, MessageKind::Error, MessageAnswer::Ok},
        {"Lines", MessageButtons::Ok, MessageKind::Error, MessageAnswer::Ok, "One\r\nTwo",
         MessageButtons::Ok, MessageKind::Error, MessageAnswer::Ok},
        {"Missing", MessageButtons::YesNo, MessageKind::Confirmation, MessageAnswer::Yes, missing,
         MessageButtons::Ok, MessageKind::Error, MessageAnswer::Ok},
        {"Bad", MessageButtons::YesNo, MessageKind::Confirmation, MessageAnswer::Yes, bad,
         MessageButtons::Ok, MessageKind::Error, MessageAnswer::Ok},
    };
    TLanguage lang(dir.path());
    {
        RecordingPresenter box;
        lang.ShowDialogMsg(QStringLiteral("Exit"), box, MessageButtons::Ok, MessageKind::Error);
        ASSERT_EQ(box.shown.size(), 1u);
        EXPECT_EQ(box.shown[0].text,
                  QStringLiteral("Error in language file \r--> Dialog.Exit <---"))
            << "no language selected yet";
    }
    ASSERT_TRUE(lang.SelectLanguage(0));
    for (const auto& c : cases) {
        RecordingPresenter box(c.pressed);
        EXPECT_EQ(lang.ShowDialogMsg(c.name, box, c.buttons, c.kind), c.result)
            << c.name.toStdString();
        ASSERT_EQ(box.shown.size(), 1u);
        EXPECT_EQ(box.shown[0].text, c.shown);
        EXPECT_EQ(box.shown[0].buttons, c.shownButtons) << c.name.toStdString();
        EXPECT_EQ(box.shown[0].kind, c.shownKind) << c.name.toStdString();
    }
}

TEST(TLanguage, LookupsOnOtherThreadsWhileTheLanguageChanges) {
    TempDir dir;
    WriteLanguage(dir, QStringLiteral("English.lng"),
                  "Button.OK=OK\nHTTP.Stopped=Stopped\nDialog.Press=Press .Button.OK\n");
    WriteLanguage(dir, QStringLiteral("Deutsch.lng"),
                  "Button.OK=Gut\nHTTP.Stopped=Gestoppt\nDialog.Press=Drücke .Button.OK\n");
    TLanguage lang(dir.path());
    ASSERT_EQ(lang.Languages().size(), 2u);
    ASSERT_TRUE(lang.SelectLanguage(0));

    const QStringList stopped = {"Stopped", "Gestoppt"};
    const QStringList press = {"Press OK", QString::fromUtf8("Drücke Gut")};
    const QStringList files = {dir.file("QVMirelta.English.lng"),
                               dir.file("QVMirelta.Deutsch.lng")};
    constexpr int kReaders = 4;
    std::atomic<int> started{0};
    std::atomic<bool> done{false};
    std::atomic<int> wrong{0};
    std::atomic<long> lookups{0};
    std::vector<std::thread> readers;
    for (int t = 0; t < kReaders; ++t) {
        readers.emplace_back([&] {
            bool first = true;
            do {
                const QString a = lang.GetGroupText(QStringLiteral("HTTP"), "Stopped", "?");
                const QString b = lang.GetDialogText(QStringLiteral("Press"));
                const QString c = lang.FileName();
                if (!stopped.contains(a) || !press.contains(b) || !files.contains(c)) {
                    ++wrong;
                }
                ++lookups;
                if (first) {
                    ++started;
                    first = false;
                }
            } while (!done.load());
        });
    }
    while (started.load() < kReaders) {
        std::this_thread::yield();
    }
    for (int i = 0; i < 200; ++i) {
        ASSERT_TRUE(lang.SelectLanguage(i % 2));
    }
    done = true;
    for (std::thread& t : readers) {
        t.join();
    }
    EXPECT_EQ(wrong.load(), 0);
    EXPECT_GE(lookups.load(), kReaders);
}

}  // namespace
}  // namespace qvm
