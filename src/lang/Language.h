#pragma once

#include <QString>
#include <QStringList>
#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>

#include "core/Helpers.h"
#include "lang/LanguageKeys.h"
#include "lang/LanguageLookup.h"
#include "lang/MessagePresenter.h"

namespace qvm {

// The languages of the program: the language files beside the executable
// (<folder><Prefix><Name>.lng, UTF-8 INI text), the choice of one of them, and
// the lookup of every text the user sees in its "Constants" section.
//
// Threads: the lookups (GetConst, GetGroupText, GetDialogText, GetMsgText,
// Text, Lookup, FileName) may run on any thread, also while the UI thread
// selects another language: each takes one snapshot of the current language
// (its file name and sorted "Constants") and answers from it alone. Everything
// else (scanning, selecting, the language list, message boxes) is UI thread
// only.
class TLanguage {
  public:
    // `folder` ends in "/"; `prefix` is the executable's name and a dot. Scans
    // for language files; no language is selected yet, so every lookup gives
    // its default.
    explicit TLanguage(QString folder = ExecutableFolder(),
                       QString prefix = QStringLiteral("QVMirelta."));
    ~TLanguage();
    TLanguage(const TLanguage&) = delete;
    TLanguage& operator=(const TLanguage&) = delete;

    // Rebuilds Languages from the files present: sorted by entry name without
    // regard to ASCII case, each with its display name ("Language" of
    // "Constants", else the entry name without its extension).
    void ScanLanguages();

    // Chooses the language at start-up. With no language file it shows the
    // error "The language files don't exits!" and the file mask, asks the
    // application to end (RequestTerminate) and returns false. A single file is
    // taken whatever the settings say. Otherwise the `Language` value of
    // `section` in `settingsFile` (empty: <folder><Prefix>ini; a name without a
    // folder is taken from the folder), `defaultName` when missing, is looked up
    // among the entry names (ASCII case ignored); when it is none of them it is
    // tried as IndexOfLanguage would (name without extension, display name), so
    // that the default "English" finds English.lng; failing that, entry 0.
    bool SelectStartLanguage(const QString& settingsFile, const QString& section,
                             const QString& defaultName);

    // Clears `list` and fills it with the display names in list order.
    void GetLanguageNames(QStringList& list) const;
    // False, and no change, for an index outside the list.
    bool SelectLanguage(int index);
    // The first language whose entry name, entry name without extension or
    // display name equals `name` (ASCII case ignored), or -1.
    int IndexOfLanguage(const QString& name) const;
    // The entry name (English.lng), empty outside the list.
    QString LanguageName(int index) const;
    // Makes <folder><Prefix><name> current (".lng" appended when `name` has no
    // extension) and loads its "Constants". A file that is missing or cannot
    // be read leaves "Constants" empty: every lookup then gives its default.
    // False, and no change, for an empty name.
    bool LoadLanguage(const QString& name);

    // The text of a plain "Constants" key (see LookupText for escapes and
    // references); `def` when the key is missing.
    QString GetConst(const QString& key, const QString& def) const;
    // The text of the key group + "." + name.
    QString GetGroupText(const QString& group, const QString& name, const QString& def) const;
    // GetGroupText("Dialog", name, "").
    QString GetDialogText(const QString& name) const;
    // GetGroupText("MSG", name, "") formatted without arguments ("%%" gives
    // "%"); a text that needs arguments comes back unformatted.
    QString GetMsgText(const QString& name) const;
    // A key of the key table with its English text as the default.
    QString Text(const LanguageKey& key) const;

    // Shows the "Dialog." + name text, formatted without arguments, through
    // `messageBox` with the caller's kind and buttons, and returns the answer.
    // A missing text, or one that cannot be formatted, shows an error box
    // naming the language file and the key instead, and answers Ok.
    MessageAnswer ShowDialogMsg(const QString& name, MessagePresenter& messageBox,
                                MessageButtons buttons, MessageKind kind) const;

    // Reads one section of the current file into `list`, sorted by key; empty
    // without a current file or when the file is missing.
    void LoadSection(const QString& section, LanguageList& list) const;
    // The lookup of LookupText on another list (a window's section), with
    // references into the current "Constants".
    QString Lookup(const LanguageList& list, const QString& key, const QString& def) const;

    // Full path of the current language file; empty until one is selected.
    QString FileName() const;
    // Changes whenever another language (or the same file again) is
    // published: a text looked up before is then stale. Any thread.
    std::uint64_t Revision() const { return m_revision.load(std::memory_order_acquire); }
    const QString& Prefix() const { return m_prefix; }
    const QString& Folder() const { return m_folder; }
    // <folder><Prefix>*.lng
    QString FileMask() const;
    const LanguageList& Languages() const { return m_languages; }

    // Where SelectStartLanguage shows its error box; without one a
    // QtMessagePresenter is used. Not owned.
    void setPresenter(MessagePresenter* presenter) { m_presenter = presenter; }
    // How SelectStartLanguage asks the application to end; the default posts
    // QCoreApplication::quit to the event loop.
    void setTerminateRequest(std::function<void()> request) { m_terminate = std::move(request); }

  private:
    // One language as the lookups see it; never changed once published.
    struct Snapshot {
        QString fileName;
        LanguageList constants;
    };

    std::shared_ptr<const Snapshot> snapshot() const;
    void publish(std::shared_ptr<const Snapshot> next);
    QString settingsPath(const QString& settingsFile) const;

    QString m_folder;
    QString m_prefix;
    LanguageList m_languages;

    // Guards only the pointer: readers copy it and let go at once.
    mutable std::mutex m_snapshotMutex;
    std::shared_ptr<const Snapshot> m_snapshot;
    std::atomic<std::uint64_t> m_revision{0};

    MessagePresenter* m_presenter = nullptr;
    std::function<void()> m_terminate;
};

}  // namespace qvm
