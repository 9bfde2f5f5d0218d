#pragma once

#include <QString>

class QWidget;

namespace qvm {

class TLanguage;
struct LanguageKey;

enum class MessageKind { Error, Confirmation };
enum class MessageButtons { Ok, YesNo };
enum class MessageAnswer { Ok, Yes, No };

// Shows a modal message and returns the button pressed. Line breaks in `text`
// may be CR, LF, CR LF or LF CR (the escapes of the language files give all of
// them). UI thread only.
class MessagePresenter {
  public:
    virtual ~MessagePresenter() = default;
    virtual MessageAnswer present(const QString& text, MessageKind kind,
                                  MessageButtons buttons) = 0;
};

// A QMessageBox whose caption and button captions come from the current
// language when it has them (Dialog.ERROR or Dialog.CONFIRM, Button.OK,
// Button.YES, Button.NO) and are English otherwise. Closing a Yes/No box
// without a button answers No.
//
// Without a user to answer (the "offscreen" or "minimal" platform, or no
// QApplication at all) a modal box would hang start-up for good: the text then
// goes to stderr and the answer is the affirmative button (Ok, or Yes for a
// Yes/No question).
class QtMessagePresenter : public MessagePresenter {
  public:
    enum class Mode {
        Automatic,  // Console without a user, Dialog otherwise
        Dialog,
        Console,
    };

    explicit QtMessagePresenter(const TLanguage* language = nullptr, QWidget* parent = nullptr,
                                Mode mode = Mode::Automatic);

    MessageAnswer present(const QString& text, MessageKind kind, MessageButtons buttons) override;

    // True on a platform where nobody can answer a box.
    static bool Unattended();
    // CR, CR LF and LF CR as "\n", the line break Qt's labels understand.
    static QString DisplayText(const QString& text);

  private:
    MessageAnswer presentDialog(const QString& text, MessageKind kind, MessageButtons buttons);
    QString languageText(const LanguageKey& key) const;

    const TLanguage* m_language;
    QWidget* m_parent;
    Mode m_mode;
};

}  // namespace qvm
