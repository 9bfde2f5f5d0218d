#pragma once

#include <QByteArray>
#include <QString>
#include <QStringList>
#include <ostream>
#include <vector>

#include "lang/MessagePresenter.h"
#include "support/TempDir.h"

// Readable failure messages for Qt texts (found by argument-dependent lookup).
inline void PrintTo(const QString& text, std::ostream* os) {
    *os << '"' << text.toStdString() << '"';
}
inline void PrintTo(const QStringList& list, std::ostream* os) {
    *os << '[' << list.join(QStringLiteral(", ")).toStdString() << ']';
}

namespace qvm::test {

// Takes the place of the message box: remembers what would have been shown and
// answers as told.
class RecordingPresenter : public MessagePresenter {
  public:
    struct Shown {
        QString text;
        MessageKind kind;
        MessageButtons buttons;
    };

    explicit RecordingPresenter(MessageAnswer answer = MessageAnswer::Ok) : m_answer(answer) {}

    MessageAnswer present(const QString& text, MessageKind kind, MessageButtons buttons) override {
        shown.push_back({text, kind, buttons});
        return m_answer;
    }

    std::vector<Shown> shown;

  private:
    MessageAnswer m_answer;
};

// Writes QVMirelta.<name> with a [Constants] section holding `lines`.
inline void WriteLanguage(const TempDir& dir, const QString& name, const QByteArray& lines) {
    dir.write(QStringLiteral("QVMirelta.") + name, "[Constants]\n" + lines);
}

}  // namespace qvm::test
