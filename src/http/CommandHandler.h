#pragma once

#include <QString>
#include <functional>

#include "http/HttpMessage.h"
#include "http/StatusPage.h"
#include "http/StatusSnapshot.h"

namespace qvm {

// What a command may ask of the player: the three request fields, carried
// out by its next tick. Any thread.
struct PlayerRequests {
    std::function<void()> stop;
    std::function<void()> play;
    std::function<void(int index)> channel;
};

// The one handler of every HTTP request: checks the credentials, and answers
// with the status page, a command's page or the invalid-parameter page, all
// framed alike. Runs on the HTTP threads, several at once; reads the player
// only through the published snapshot.
class CommandHandler {
  public:
    CommandHandler(const SnapshotBox& state, PlayerRequests requests, HttpText text,
                   QString fileVersion);

    void IdHTTPServerCommandGet(HttpRequest& request, HttpResponse& response) const;

    // The maker's home page, named in every page's type line and foot.
    static const QString kHomePage;

  private:
    void HTTPStop(QStringList& lines) const;
    void HTTPPlay(QStringList& lines) const;
    void HTTPPlayStation(QStringList& lines, const QByteArray& query) const;
    void HTTP404(QStringList& lines) const;
    void HTTPBack(QStringList& lines) const;
    QString text(const char* key, const char* def) const;

    const SnapshotBox& m_state;
    const PlayerRequests m_requests;
    const HttpText m_text;
    const QString m_fileVersion;
};

// The query of a play command as a channel index: leading blanks, a sign,
// "$", "x" or "0x" for hexadecimal; the digits up to the first other
// character count, and the sign only when the whole text was a number.
int QueryNumber(const QByteArray& query);

// Whether a command comes from a page of another site: its Origin or Referer
// header names another host than its Host header.
bool ForeignOrigin(const HttpRequest& request);

}  // namespace qvm
