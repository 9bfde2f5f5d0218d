#include "lang/MessagePresenter.h"

#include <QApplication>
#include <QMessageBox>
#include <QPushButton>
#include <cstdio>

#include "lang/Language.h"
#include "lang/LanguageKeys.h"

namespace qvm {

QtMessagePresenter::QtMessagePresenter(const TLanguage* language, QWidget* parent, Mode mode)
    : m_language(language), m_parent(parent), m_mode(mode) {}

bool QtMessagePresenter::Unattended() {
    if (qobject_cast<QApplication*>(QCoreApplication::instance()) == nullptr) {
        return true;
    }
    const QString platform = QGuiApplication::platformName();
    return platform == QLatin1String("offscreen") || platform == QLatin1String("minimal");
}

QString QtMessagePresenter::DisplayText(const QString& text) {
    QString out = text;
    out.replace(QLatin1String("\r\n"), QLatin1String("\n"));
    out.replace(QLatin1String("\n\r"), QLatin1String("\n"));
    out.replace(QLatin1Char('\r'), QLatin1Char('\n'));
    return out;
}

QString QtMessagePresenter::languageText(const LanguageKey& key) const {
    return m_language != nullptr ? m_language->Text(key) : key.englishText();
}

MessageAnswer QtMessagePresenter::present(const QString& text, MessageKind kind,
                                          MessageButtons buttons) {
    const bool console = m_mode == Mode::Console || (m_mode == Mode::Automatic && Unattended()) ||
                         qobject_cast<QApplication*>(QCoreApplication::instance()) == nullptr;
    if (!console) {
        return presentDialog(text, kind, buttons);
    }
    const QByteArray line = DisplayText(text).toUtf8();
    std::fprintf(stderr, "%s\n", line.constData());
    std::fflush(stderr);
    return buttons == MessageButtons::YesNo ? MessageAnswer::Yes : MessageAnswer::Ok;
}

MessageAnswer QtMessagePresenter::presentDialog(const QString& text, MessageKind kind,
                                                MessageButtons buttons) {
    QMessageBox box(m_parent);
    box.setIcon(kind == MessageKind::Error ? QMessageBox::Critical : QMessageBox::Question);
    box.setWindowTitle(
        languageText(kind == MessageKind::Error ? keys::dialog::ERROR : keys::dialog::CONFIRM));
    box.setTextFormat(Qt::PlainText);
    box.setText(DisplayText(text));
    if (buttons == MessageButtons::Ok) {
        QPushButton* ok = box.addButton(languageText(keys::button::OK), QMessageBox::AcceptRole);
        box.setDefaultButton(ok);
        box.setEscapeButton(ok);
        box.exec();
        return MessageAnswer::Ok;
    }
    QPushButton* yes = box.addButton(languageText(keys::button::YES), QMessageBox::YesRole);
    QPushButton* no = box.addButton(languageText(keys::button::NO), QMessageBox::NoRole);
    box.setDefaultButton(no);
    box.setEscapeButton(no);
    box.exec();
    return box.clickedButton() == yes ? MessageAnswer::Yes : MessageAnswer::No;
}

}  // namespace qvm
