#include "http/StatusPage.h"

#include "core/DurationFormat.h"

namespace qvm {

namespace {

const QString kRight = QStringLiteral("<tr><td><div align=\"right\">");

}  // namespace

QString HtmlEscape(const QString& text) {
    QString out;
    out.reserve(text.size());
    for (const QChar c : text) {
        switch (c.unicode()) {
            case '&':
                out += QLatin1String("&amp;");
                break;
            case '<':
                out += QLatin1String("&lt;");
                break;
            case '>':
                out += QLatin1String("&gt;");
                break;
            case '"':
                out += QLatin1String("&quot;");
                break;
            case '\'':
                out += QLatin1String("&#39;");
                break;
            default:
                out += c;
        }
    }
    return out;
}

QString GetNoUserURL(const QString& url) {
    QString result = url;
    const qsizetype at = result.indexOf(QLatin1Char('@'));
    if (at >= 0) {
        const qsizetype slashes = result.indexOf(QLatin1String("//"));
        const qsizetype from = slashes >= 0 ? slashes + 2 : 0;
        const qsizetype count = at - from + 1;
        if (count >= 1) {
            result.remove(from, count);
        }
    }
    // Escaped here, where the markup is added around it.
    return result != url ? QStringLiteral("<b>") + HtmlEscape(result) + QStringLiteral("</b>")
                         : HtmlEscape(result);
}

void HTTPUnionInfo(QStringList& lines, const PlayerSnapshot& snapshot, const HttpText& text,
                   const QDateTime& now) {
    const auto t = [&text](const char* key, const char* def) {
        return text(QLatin1String(key), QLatin1String(def));
    };
    if (snapshot.refresh > 0) {
        lines << QStringLiteral("<META HTTP-EQUIV=\"REFRESH\" content=\"%1; URL=/\">")
                     .arg(snapshot.refresh);
    }
    lines << QStringLiteral("<table width=\"100%\"  border=\"0\">");
    lines << QStringLiteral("<tr><td width=\"50%\"><div align=\"right\">") +
                 t("SystemTime", "System time") + QStringLiteral(" </div></td>");
    lines << QStringLiteral("<td width=\"50%\">") +
                 now.toString(QStringLiteral("hh:mm:ss dd.MM.yy")) + QStringLiteral("</td></tr>");
    const int count = static_cast<int>(snapshot.channels.size());
    const int onAir = snapshot.onAirIndex;
    if (snapshot.playing) {
        QString manual;
        if (snapshot.restoreFloor >= 1) {
            manual = QStringLiteral(" (") + t("Manual", "Manual") + QLatin1Char(' ') +
                     QString::number(snapshot.restoreFloor + 1) + QLatin1Char(')');
        }
        lines << kRight + t("PlayStream", "Play stream") + QStringLiteral(" </div></td>");
        lines << QStringLiteral("<td>") + QString::number(onAir + 1) + manual +
                     QStringLiteral("</td></tr>");
        if (onAir >= 0 && onAir < count) {
            const ChannelSnapshot& ch = snapshot.channels[static_cast<std::size_t>(onAir)];
            const auto row = [&lines](const QString& label, const QString& value) {
                if (!value.isEmpty()) {
                    lines << kRight + label + QStringLiteral(" </div></td>");
                    lines << QStringLiteral("<td>") + HtmlEscape(value) +
                                 QStringLiteral("</td></tr>");
                }
            };
            row(t("Station", "Station"), ch.stationName);
            row(t("Bitrate", "Bitrate"), ch.bitrateText);
            row(t("Title", "Title"), ch.title);
        }
    }
    lines << QStringLiteral("<tr><td colspan=\"2\"><div align=\"center\">");
    if (snapshot.playing) {
        lines << QStringLiteral(
                     "<form method=\"post\" action=\"/Stop\"><button type=\"submit\" "
                     "style=\"width: 50%\">") +
                     t("Stop", "Stop") + QStringLiteral("</button></form>");
    } else {
        lines << QStringLiteral(
                     "<form method=\"post\" action=\"/Play\"><button type=\"submit\" "
                     "style=\"width: 50%\">") +
                     t("Play", "Play") + QStringLiteral("</button></form>");
    }
    lines << QStringLiteral("</div></td></tr>") << QStringLiteral("</table>");
    if (count == 0) {
        return;
    }
    lines << QStringLiteral("<p><b>") + t("StreamsInfo", "Streams information") +
                 QStringLiteral("</b></p>");
    lines << QStringLiteral(
        "<table width=\"100%\" border=\"1\" cellpadding=\"0\" cellspacing=\"0\" "
        "bordercolor=\"#000000\">");
    lines << QStringLiteral("<tr bgcolor=\"#C0D0FF\">");
    lines << QStringLiteral("<th width=\"30\">") + t("Number", "##") + QStringLiteral("</th>");
    lines << QStringLiteral("<th width=\"25%\">") + t("URL", "URL") + QStringLiteral("</th>");
    lines << QStringLiteral("<th width=\"10%\">") + t("Status", "Status") + QStringLiteral("</th>");
    lines << QStringLiteral("<th width=\"10%\">") + t("PlayTime", "Playtime") +
                 QStringLiteral("</th>");
    lines << QStringLiteral("<th width=\"15%\">") + t("Info", "Info") + QStringLiteral("</th>");
    lines << QStringLiteral("<th width=\"10%\">") + t("Manage", "Manage") + QStringLiteral("</th>");
    lines << QStringLiteral("<th>") + t("Message", "Message or title") +
                 QStringLiteral("</th></tr>");
    for (int i = 0; i < count; ++i) {
        const ChannelSnapshot& ch = snapshot.channels[static_cast<std::size_t>(i)];
        lines << QStringLiteral("<tr><td><div align=\"Center\">") + QString::number(i + 1) +
                     QStringLiteral("</div></td>");
        lines << QStringLiteral("<td>&nbsp") + GetNoUserURL(ch.url) + QStringLiteral("</td>");
        int kind = 2;
        switch (ch.status) {
            case ChannelStatus::Stop:
                kind = 0;
                lines << QStringLiteral("<td><div align=\"Center\">") + t("Stop", "Stop") +
                             QStringLiteral("</div></td>");
                break;
            case ChannelStatus::Play:
                kind = 1;
                lines << (ch.silent
                              ? QStringLiteral("<td bgcolor=\"#FFFF40\"><div align=\"center\">") +
                                    t("Silence", "Silence")
                              : QStringLiteral("<td><div align=\"Center\">") +
                                    t("Online", "Online")) +
                             QStringLiteral("</div></td>");
                break;
            case ChannelStatus::Error:
                kind = -1;
                lines << QStringLiteral("<td bgcolor=\"#FFC040\"><div align=\"center\">") +
                             t("Error", "ERROR") + QStringLiteral("</div></td>");
                break;
            case ChannelStatus::Connect:
            case ChannelStatus::Buffer:
                lines << QStringLiteral("<td>&nbsp</td>");
                break;
        }
        const QString playTime =
            ch.playStart > 0
                ? FormatSeconds(0, static_cast<double>(snapshot.nowTick - ch.playStart) / 1000.0)
                : QStringLiteral("&nbsp");
        lines << QStringLiteral("<td><div align=\"Center\">") + playTime +
                     QStringLiteral("</div></td>");
        lines << QStringLiteral("<td><div align=\"Center\">") + HtmlEscape(ch.infoLine) +
                     QStringLiteral("</div></td>");

        const int manageKind = snapshot.playing ? kind : -1;
        QString caption;
        if (manageKind == 0) {
            caption = t("Play", "Play");
        } else if (manageKind == 1 && i != onAir) {
            caption = t("Switch", "Switch");
        }
        if (!caption.isEmpty()) {
            const QString n = QString::number(i);
            lines << QStringLiteral("<td><form name=\"Play") + n +
                         QStringLiteral("\" method=\"post\" action=\"./Play?") + n +
                         QStringLiteral("\">");
            lines << QStringLiteral("<div align=\"center\"><input type=\"submit\" name=\"Play") +
                         n + QStringLiteral("\" value=\"") + caption + QStringLiteral("\">");
            lines << QStringLiteral("</div></form></td>");
        } else {
            lines << QStringLiteral("<td>&nbsp</td>");
        }

        const int messageKind = snapshot.playing ? kind : 0;
        if (messageKind == 0) {
            lines << QStringLiteral("<td>&nbsp</td>");
        } else if (messageKind == 1) {
            lines << QStringLiteral("<td>&nbsp") + HtmlEscape(ch.title) + QStringLiteral("</td>");
        } else if (!ch.message.isEmpty()) {
            lines << QStringLiteral("<td bgcolor=\"#FFC040\">&nbsp") + HtmlEscape(ch.message) +
                         QStringLiteral("</td>");
        } else {
            lines << QStringLiteral("<td>&nbsp</td>");
        }
        lines << QStringLiteral("</tr>");
    }
    lines << QStringLiteral("</table>");
}

}  // namespace qvm
