#include "lang/MessagePresenter.h"

#include <gtest/gtest.h>

#include <QAbstractButton>
#include <QApplication>
#include <QMessageBox>
#include <QTimer>

#include "lang/LangTestSupport.h"
#include "lang/Language.h"

namespace qvm {
namespace {

struct SeenBox {
    QString title;
    QString text;
    QStringList buttons;
    bool found = false;
};

// Runs `present` with a timer that waits for the modal box, reads it and
// clicks the button with the caption `click`.
MessageAnswer PresentAndClick(QtMessagePresenter& presenter, MessageKind kind,
                              MessageButtons buttons, const QString& click, SeenBox& seen) {
    QTimer poll;
    int tries = 0;
    QObject::connect(&poll, &QTimer::timeout, [&] {
        auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
        if (box == nullptr) {
            if (++tries > 2000) {  // the box never came: end the test's wait
                poll.stop();
                for (QWidget* w : QApplication::topLevelWidgets()) {
                    if (auto* b = qobject_cast<QMessageBox*>(w)) {
                        b->done(0);
                    }
                }
            }
            return;
        }
        poll.stop();
        seen.found = true;
        seen.title = box->windowTitle();
        seen.text = box->text();
        for (QAbstractButton* b : box->buttons()) {
            seen.buttons.append(b->text());
        }
        for (QAbstractButton* b : box->buttons()) {
            if (b->text() == click) {
                b->click();
                return;
            }
        }
        box->done(0);
    });
    poll.start(5);
    return presenter.present(QStringLiteral("First\r\nSecond\rThird"), kind, buttons);
}

TEST(QtMessagePresenter, ShowsABoxInTheLanguageAndReportsTheButton) {
    test::TempDir dir;
    test::WriteLanguage(
        dir, QStringLiteral("Deutsch.lng"),
        "Button.YES=&Ja\nButton.NO=&Nein\nButton.OK=Gut\nDialog.CONFIRM=Bestätigen\n"
        "Dialog.ERROR=Fehler\n");
    TLanguage german(dir.path());
    ASSERT_TRUE(german.SelectLanguage(0));
    const TLanguage none(dir.file(QStringLiteral("empty")));

    const struct {
        const TLanguage* language;
        MessageKind kind;
        MessageButtons buttons;
        QString click;
        MessageAnswer answer;
        QString title;
        QStringList captions;
    } cases[] = {
        {&german,
         MessageKind::Confirmation,
         MessageButtons::YesNo,
         "&Ja",
         MessageAnswer::Yes,
         QString::fromUtf8("Bestätigen"),
         {"&Ja", "&Nein"}},
        {&german,
         MessageKind::Confirmation,
         MessageButtons::YesNo,
         "&Nein",
         MessageAnswer::No,
         QString::fromUtf8("Bestätigen"),
         {"&Ja", "&Nein"}},
        {&german,
         MessageKind::Error,
         MessageButtons::Ok,
         "Gut",
         MessageAnswer::Ok,
         "Fehler",
         {"Gut"}},
        {&none, MessageKind::Error, MessageButtons::Ok, "OK", MessageAnswer::Ok, "Error", {"OK"}},
        {&none,
         MessageKind::Confirmation,
         MessageButtons::YesNo,
         "&Yes",
         MessageAnswer::Yes,
         "Confirm",
         {"&Yes", "&No"}},
    };
    for (const auto& c : cases) {
        QtMessagePresenter presenter(c.language, nullptr, QtMessagePresenter::Mode::Dialog);
        SeenBox seen;
        EXPECT_EQ(PresentAndClick(presenter, c.kind, c.buttons, c.click, seen), c.answer)
            << c.click.toStdString();
        ASSERT_TRUE(seen.found);
        EXPECT_EQ(seen.title, c.title);
        EXPECT_EQ(seen.text, QStringLiteral("First\nSecond\nThird"));
        QStringList captions = seen.buttons;
        captions.sort();
        QStringList expected = c.captions;
        expected.sort();
        EXPECT_EQ(captions, expected);
    }
}

TEST(QtMessagePresenter, WithoutAUserWritesToStderrAndAnswersYes) {
    ASSERT_TRUE(QtMessagePresenter::Unattended()) << "tests run on the offscreen platform";
    const struct {
        MessageButtons buttons;
        MessageAnswer answer;
    } cases[] = {{MessageButtons::Ok, MessageAnswer::Ok},
                 {MessageButtons::YesNo, MessageAnswer::Yes}};
    for (const auto& c : cases) {
        QtMessagePresenter presenter;  // Automatic
        testing::internal::CaptureStderr();
        const MessageAnswer answer = presenter.present(
            QString::fromUtf8("Schließen?\r\nJa\n\rNein"), MessageKind::Confirmation, c.buttons);
        const std::string err = testing::internal::GetCapturedStderr();
        EXPECT_EQ(answer, c.answer);
        EXPECT_EQ(err, "Schließen?\nJa\nNein\n");
    }
}

}  // namespace
}  // namespace qvm
