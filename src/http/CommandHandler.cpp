#include "http/CommandHandler.h"

#include <QDateTime>
#include <QStringDecoder>
#include <QUrl>

#include "core/Helpers.h"

namespace qvm {

namespace {

const QString kMessage = QStringLiteral("<p align=\"center\"><font size=\"+1\" color=\"#000080\">");
const QString kEnd = QStringLiteral("</font></p>");

// The host and port a URL names, in one spelling however they were written:
// names in ASCII (QUrl shows some in Unicode), IPv6 addresses in their short
// form and in brackets, as a Host header carries them.
QString Authority(const QUrl& u) {
    if (!u.isValid() || u.host().isEmpty()) {
        return {};
    }
    QString host = u.host(QUrl::EncodeUnicode);
    if (host.contains(QLatin1Char(':'))) {
        host = QLatin1Char('[') + host + QLatin1Char(']');
    }
    return u.port() >= 0 ? host + QLatin1Char(':') + QString::number(u.port()) : host;
}

// A Host header's value read the same way; none unless it is a host and
// perhaps a port alone.
QString HostAuthority(const QByteArray& value) {
    const QUrl u(QStringLiteral("http://") + QString::fromUtf8(value));
    if (!u.userInfo().isEmpty() || !u.path().isEmpty() || u.hasQuery() || u.hasFragment()) {
        return {};
    }
    return Authority(u);
}

}  // namespace

const QString CommandHandler::kHomePage = QStringLiteral("https://example.org/qv-mirelta/");

CommandHandler::CommandHandler(const SnapshotBox& state, PlayerRequests requests, HttpText text,
                               QString fileVersion)
    : m_state(state),
      m_requests(std::move(requests)),
      m_text(std::move(text)),
      m_fileVersion(std::move(fileVersion)) {}

QString CommandHandler::text(const char* key, const char* def) const {
    return m_text(QLatin1String(key), QLatin1String(def));
}

int QueryNumber(const QByteArray& query) {
    qsizetype i = 0;
    while (i < query.size() && query[i] == ' ') {
        ++i;
    }
    bool negative = false;
    if (i < query.size() && (query[i] == '-' || query[i] == '+')) {
        negative = query[i] == '-';
        ++i;
    }
    int base = 10;
    if (i < query.size() && (query[i] == '$' || query[i] == 'x' || query[i] == 'X')) {
        base = 16;
        ++i;
    } else if (i + 1 < query.size() && query[i] == '0' &&
               (query[i + 1] == 'x' || query[i + 1] == 'X')) {
        base = 16;
        i += 2;
    }
    qint64 value = 0;
    bool digits = false;
    for (; i < query.size(); ++i) {
        const char c = query[i];
        const int digit = base == 16 ? HexDigitValue(c) : (c >= '0' && c <= '9' ? c - '0' : -1);
        if (digit < 0) {
            break;
        }
        digits = true;
        // Beyond any channel number; held there rather than wrapping round.
        value = std::min<qint64>(value * base + digit, 0x7fffffff);
    }
    const bool whole = digits && i == query.size();
    return static_cast<int>(whole && negative ? -value : value);
}

bool ForeignOrigin(const HttpRequest& request) {
    const QString host = HostAuthority(request.header("Host").value_or(QByteArray()));
    for (const char* name : {"Origin", "Referer"}) {
        if (const auto value = request.header(name)) {
            const QString origin = Authority(QUrl(QString::fromUtf8(*value)));
            if (host.isEmpty() || origin.compare(host, Qt::CaseInsensitive) != 0) {
                return true;
            }
        }
    }
    return false;
}

void CommandHandler::IdHTTPServerCommandGet(HttpRequest& request, HttpResponse& response) const {
    response.ContentType = "text/html; charset=utf-8";
    const std::shared_ptr<const PlayerSnapshot> state = m_state.load();
    // The time of the newest snapshot: at most a tick old.
    if (state->localTime.isValid()) {
        response.Date = state->localTime;
    }

    bool ok = true;
    if (!state->password.isEmpty()) {
        ok = SameSecret(request.Password, state->password.toUtf8());
    }
    if (!state->user.isEmpty()) {
        ok = SameSecret(request.UserName, state->user.toUtf8()) && ok;
    }
    if (!ok) {
        response.AuthRealm = "QV Mirelta";
        response.ContentText = "unauthorized";
        response.CloseConnection = true;
        return;
    }

    QStringList lines;
    lines << QStringLiteral("<!DOCTYPE HTML PUBLIC \"") + kHomePage + QStringLiteral("\">");
    lines << QStringLiteral("<html><head><title>QV Mirelta</title>");
    lines << QStringLiteral("<meta http-equiv=\"Content-Type\" content=\"") +
                 QString::fromLatin1(response.ContentType) + QStringLiteral("\">");
    lines << QStringLiteral("</head><body BGCOLOR=\"#E0E8F0\" Text=\"#204060\">");
    lines << QStringLiteral("<div align=\"center\"><p align=\"center\"><b><font size=\"+2\">");
    lines << QStringLiteral("Quellmark Mirelta</font><BR><font>ver. ") + m_fileVersion +
                 QStringLiteral("</font></b></p><hr>");

    // A document that is not well-formed UTF-8 counts as empty.
    QStringDecoder utf8(QStringDecoder::Utf8, QStringDecoder::Flag::Stateless);
    QString doc = utf8.decode(request.Document);
    if (utf8.hasError()) {
        doc.clear();
    }
    if (doc.startsWith(QLatin1Char('/'))) {
        doc.remove(0, 1);
    }
    enum class Action { Status, Stop, Play, PlayChannel, Invalid } action = Action::Invalid;
    if (doc.isEmpty()) {
        action = Action::Status;
    } else if (doc.toUpper() == QLatin1String("STOP") && request.Query.isEmpty() &&
               state->playing) {
        action = Action::Stop;
    } else if (doc.left(4).toUpper() == QLatin1String("PLAY")) {
        action = request.Query.isEmpty() ? Action::Play : Action::PlayChannel;
    }
    // Commands from a page of another site are refused: the browser would
    // send the operator's remembered credentials along.
    if (action != Action::Status && action != Action::Invalid && ForeignOrigin(request)) {
        action = Action::Invalid;
    }
    switch (action) {
        case Action::Status:
            HTTPUnionInfo(lines, *state, m_text, state->localTime);
            break;
        case Action::Stop:
            HTTPStop(lines);
            break;
        case Action::Play:
            HTTPPlay(lines);
            break;
        case Action::PlayChannel:
            HTTPPlayStation(lines, request.Query);
            break;
        case Action::Invalid:
            HTTP404(lines);
            break;
    }
    lines << QStringLiteral("<hr><p align=\"right\">Home page: <a href=\"") + kHomePage +
                 QStringLiteral("\">") + kHomePage + QStringLiteral(" </a></p>");
    lines << QStringLiteral("</div></body></html>");
    response.ContentText = (lines.join(QStringLiteral("\r\n")) + QStringLiteral("\r\n")).toUtf8();
}

// Each command looks at the player again: it may have changed since the
// action was chosen.
void CommandHandler::HTTPStop(QStringList& lines) const {
    if (m_state.load()->playing) {
        m_requests.stop();
        lines << kMessage + text("Stopped", "Stopped") + kEnd;
    } else {
        lines << kMessage + text("AlreadyStopped", "Already stopped") + kEnd;
    }
    HTTPBack(lines);
}

void CommandHandler::HTTPPlay(QStringList& lines) const {
    if (m_state.load()->playing) {
        lines << kMessage + text("AlreadyPlay", "Already playing") + kEnd;
    } else {
        m_requests.play();
        lines << QStringLiteral("<p align=\"center\"><font size=\"+1\">") +
                     text("Started", "Started") + kEnd;
    }
    HTTPBack(lines);
}

void CommandHandler::HTTPPlayStation(QStringList& lines, const QByteArray& query) const {
    const int n = QueryNumber(query);
    const std::shared_ptr<const PlayerSnapshot> state = m_state.load();
    const int count = static_cast<int>(state->channels.size());
    if (n < 0 || n >= count) {
        lines << QStringLiteral("<p align=\"center\"><font size=\"+1\" color=\"#FF0000\">") +
                     text("Inaccessible", "Inaccessible") + kEnd;
    } else {
        const bool running =
            state->channels[static_cast<std::size_t>(n)].status != ChannelStatus::Stop;
        if (running && n == state->onAirIndex) {
            lines << kMessage + text("AlreadyPlay", "Already playing") + kEnd;
        } else {
            m_requests.channel(n);
            lines << QStringLiteral("<p align=\"center\"><font size=\"+1\">");
            lines << (running ? text("SwitchStream", "Switch to stream #")
                              : text("StartStream", "Start stream #")) +
                         QLatin1Char(' ') + QString::number(n + 1);
            lines << QStringLiteral("</font></p>");
        }
    }
    HTTPBack(lines);
}

void CommandHandler::HTTP404(QStringList& lines) const {
    lines << QStringLiteral("<p align=\"center\"><font size=\"+2\" color=\"#4040FF\"><b>") +
                 text("InvalParm", "Invalid parameter") + QStringLiteral("</b></font></p>");
    HTTPBack(lines);
}

void CommandHandler::HTTPBack(QStringList& lines) const {
    lines << QStringLiteral("<p></p><form name=\"Back\" method=\"post\" action=\"/\">");
    lines << QStringLiteral("<div align=\"center\"><input type=\"submit\" name=\"back\" value=\"") +
                 text("Back", "Back") + QStringLiteral("\"></div></form>");
    lines << QStringLiteral("<META HTTP-EQUIV=\"REFRESH\" content=\"1; URL=/\">");
}

}  // namespace qvm
