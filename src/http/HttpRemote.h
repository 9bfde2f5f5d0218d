#pragma once

#include <QString>

#include "http/CommandHandler.h"
#include "http/HttpServer.h"
#include "http/StatusSnapshot.h"

namespace qvm {

class Player;
class TLanguage;

// The player's remote control over HTTP: the server, the handler of its
// requests, and the state it shows, taken from the player on the UI thread
// after every tick while the server listens. UI thread only.
class HttpRemote {
  public:
    // `language` must outlive this object (its lookups run on the HTTP
    // threads).
    HttpRemote(Player& player, const TLanguage& language, const QString& fileVersion);
    ~HttpRemote();
    HttpRemote(const HttpRemote&) = delete;
    HttpRemote& operator=(const HttpRemote&) = delete;

    // Listens on `port` of `address` (empty: every interface). False, logged
    // and on stderr, when the port cannot be taken.
    bool Activate(int port, const QString& address);
    void Deactivate();
    // Takes the player's state for the pages, while the server listens.
    void Publish();
    quint16 Port() const { return m_server.Port(); }

  private:
    Player& m_player;
    SnapshotBox m_state;
    CommandHandler m_handler;
    HttpServer m_server;
};

}  // namespace qvm
