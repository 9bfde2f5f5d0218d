#include "http/HttpRemote.h"

#include "core/Player.h"
#include "lang/Language.h"

namespace qvm {

HttpRemote::HttpRemote(Player& player, const TLanguage& language, const QString& fileVersion)
    : m_player(player),
      m_handler(
          m_state,
          PlayerRequests{[&player] { player.RequestStop(); }, [&player] { player.RequestPlay(); },
                         [&player](int index) { player.RequestChannel(index); }},
          [&language](const QString& key, const QString& def) {
              return language.GetGroupText(QStringLiteral("HTTP"), key, def);
          },
          fileVersion),
      m_server(
          [this](HttpRequest& request, HttpResponse& response) {
              m_handler.IdHTTPServerCommandGet(request, response);
          },
          QByteArrayLiteral("Quellmark")) {}

HttpRemote::~HttpRemote() {
    m_server.Deactivate();
}

bool HttpRemote::Activate(int port, const QString& address) {
    m_state.publish(TakeSnapshot(m_player));
    QString error;
    if (port <= 0 || port > 65535 ||
        !m_server.Activate(address, static_cast<quint16>(port), &error)) {
        const QString line = QStringLiteral("HTTP server: cannot listen on %1port %2: %3")
                                 .arg(address.isEmpty() ? QString() : address + QLatin1Char(' '))
                                 .arg(port)
                                 .arg(error.isEmpty() ? QStringLiteral("invalid port") : error);
        // The event log's lines go to standard error as well.
        m_player.LogEvent(line);
        return false;
    }
    return true;
}

void HttpRemote::Deactivate() {
    m_server.Deactivate();
}

void HttpRemote::Publish() {
    if (m_server.Active()) {
        m_state.publish(TakeSnapshot(m_player));
    }
}

}  // namespace qvm
