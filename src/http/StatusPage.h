#pragma once

#include <QDateTime>
#include <QString>
#include <QStringList>
#include <functional>

#include "http/StatusSnapshot.h"

namespace qvm {

// A text of the pages by its key in the language's "HTTP" group, with the
// English default.
using HttpText = std::function<QString(const QString& key, const QString& def)>;

// `text` with &, <, >, " and ' as HTML entities: whatever a stream or a
// server sends is shown, never run.
QString HtmlEscape(const QString& text);

// The address as the channel table shows it: without the user name and
// password between "//" and "@".
QString GetNoUserURL(const QString& url);

// Appends the status body (the player's state and the channel table) to
// `lines`, from `snapshot` and the local time `now`.
void HTTPUnionInfo(QStringList& lines, const PlayerSnapshot& snapshot, const HttpText& text,
                   const QDateTime& now);

}  // namespace qvm
