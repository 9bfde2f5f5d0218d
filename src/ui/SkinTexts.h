#pragma once

#include <QHash>
#include <QStringList>
#include <QTranslator>

namespace qvm {

// Puts the skinned-controls text table (NAME=text lines) in front of Qt's own
// texts: the buttons of standard dialogs and message boxes (MSG_BTN_...) and
// the edit menu of text fields (EDIT_...). Qt asks it for every text it shows
// once it is installed on the application. Qt's texts that the table does not
// cover stay as Qt has them. UI thread only.
class SkinTextTranslator : public QTranslator {
    Q_OBJECT
  public:
    using QTranslator::QTranslator;
    void setTable(const QStringList& table);

    QString translate(const char* context, const char* sourceText,
                      const char* disambiguation = nullptr, int n = -1) const override;
    bool isEmpty() const override { return m_texts.isEmpty(); }

  private:
    QHash<QString, QString> m_texts;  // table name -> text
};

}  // namespace qvm
