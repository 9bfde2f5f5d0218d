#pragma once

#include <QDateTime>
#include <QString>
#include <functional>

namespace qvm {

// Appends one line per call to <folder>/Log/YYYY/MM/DD.log: the local time of
// day, a blank and the text. The file is opened and closed for every line, so
// other programs can read it at any time and a new day starts a new file by
// itself. With the echo on, every line also goes to standard error (the
// journal of a service), whether log files are on or not. UI thread only.
class EventLog {
  public:
    using Clock = std::function<QDateTime()>;

    explicit EventLog(QString folder, Clock clock = &QDateTime::currentDateTime);

    void setEnabled(bool enabled) { m_enabled = enabled; }
    bool enabled() const { return m_enabled; }
    // Standard error is looked at here, once: the journal stamps lines itself,
    // and a socket is written without waiting.
    void setEcho(bool echo);

    // Does nothing while disabled; drops the line when the folders or the file
    // cannot be made.
    void Log(const QString& text);

    // The file a line written at `when` goes to.
    QString pathFor(const QDateTime& when) const;

  private:
    QString m_folder;
    Clock m_clock;
    bool m_enabled = false;
    bool m_echo = false;
    bool m_echoUnstamped = false;
    bool m_echoToSocket = false;
};

}  // namespace qvm
