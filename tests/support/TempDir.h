#pragma once

#include <QByteArray>
#include <QString>
#include <QTemporaryDir>

namespace qvm::test {

// A fresh folder under the system's temporary folder, removed with the object.
class TempDir {
  public:
    TempDir();
    QString path() const { return m_dir.path() + QLatin1Char('/'); }
    QString file(const QString& name) const { return path() + name; }
    void write(const QString& name, const QByteArray& content) const;
    QByteArray read(const QString& name) const;

  private:
    QTemporaryDir m_dir;
};

}  // namespace qvm::test
