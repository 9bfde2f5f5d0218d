#include "core/EventLog.h"

#include <QFile>
#include <QFileInfo>

#include "core/Helpers.h"

namespace qvm {

EventLog::EventLog(QString folder, Clock clock)
    : m_folder(std::move(folder)), m_clock(std::move(clock)) {}

QString EventLog::pathFor(const QDateTime& when) const {
    return AddTrailingBackslash(m_folder) + QStringLiteral("Log/") +
           when.date().toString(QStringLiteral("yyyy/MM/dd")) + QStringLiteral(".log");
}

void EventLog::Log(const QString& text) {
    if (!m_enabled) {
        return;
    }
    const QDateTime now = m_clock();
    const QString path = pathFor(now);
    if (!ForceFolders(QFileInfo(path).path())) {
        return;
    }
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly | QIODevice::Append)) {
        return;
    }
    const QByteArray line =
        now.time().toString(QStringLiteral("HH:mm:ss")).toUtf8() + ' ' + text.toUtf8() + '\n';
    file.write(line);
    file.close();
}

}  // namespace qvm
