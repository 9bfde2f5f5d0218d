#include "lang/Language.h"

#include <QCoreApplication>
#include <QDir>
#include <QFileInfo>

namespace qvm {

namespace {

const QString kExtension = QStringLiteral("lng");
const QString kConstants = QStringLiteral("Constants");

QString WithoutExtension(const QString& name) {
    const qsizetype dot = name.lastIndexOf(QLatin1Char('.'));
    return dot > 0 ? name.left(dot) : name;
}

bool HasExtension(const QString& name) {
    const qsizetype dot = name.lastIndexOf(QLatin1Char('.'));
    return dot >= 0 && dot > name.lastIndexOf(QLatin1Char('/')) && dot + 1 < name.size();
}

LanguageList ReadSection(const QString& path, const QString& section) {
    if (path.isEmpty()) {
        return {};
    }
    return ReadSectionList(IniDocument::load(path), section);
}

}  // namespace

TLanguage::TLanguage(QString folder, QString prefix)
    : m_folder(AddTrailingBackslash(std::move(folder))),
      m_prefix(std::move(prefix)),
      m_snapshot(std::make_shared<const Snapshot>()) {
    m_terminate = [] {
        if (QCoreApplication* app = QCoreApplication::instance()) {
            QMetaObject::invokeMethod(app, &QCoreApplication::quit, Qt::QueuedConnection);
        }
    };
    ScanLanguages();
}

TLanguage::~TLanguage() = default;

std::shared_ptr<const TLanguage::Snapshot> TLanguage::snapshot() const {
    const std::lock_guard lock(m_snapshotMutex);
    return m_snapshot;
}

void TLanguage::publish(std::shared_ptr<const Snapshot> next) {
    std::shared_ptr<const Snapshot> previous;
    {
        const std::lock_guard lock(m_snapshotMutex);
        previous = std::exchange(m_snapshot, std::move(next));
        m_revision.fetch_add(1, std::memory_order_release);
    }
    // The old language is freed here, outside the lock, or by the last lookup
    // still holding it.
}

QString TLanguage::FileMask() const {
    return m_folder + m_prefix + QStringLiteral("*.") + kExtension;
}

void TLanguage::ScanLanguages() {
    m_languages.clear();
    const QDir dir(m_folder);
    // Files only (symbolic links to files included): folders, fifos and
    // devices named like a language file are no languages.
    const QStringList files = dir.entryList(QDir::Files | QDir::Hidden, QDir::NoSort);
    const QString suffix = QLatin1Char('.') + kExtension;
    for (const QString& file : files) {
        if (!file.startsWith(m_prefix) || !file.endsWith(suffix, Qt::CaseInsensitive) ||
            file.size() <= m_prefix.size() + suffix.size()) {
            continue;
        }
        m_languages.push_back({file.mid(m_prefix.size()), QString()});
    }
    SortLanguageList(m_languages);
    for (tQVLanguage_Rec& entry : m_languages) {
        const IniDocument doc = IniDocument::load(m_folder + m_prefix + entry.key);
        const auto name = doc.value(kConstants.toUtf8(), QByteArrayLiteral("Language"));
        entry.value =
            name && !name->isEmpty() ? QString::fromUtf8(*name) : WithoutExtension(entry.key);
    }
}

QString TLanguage::settingsPath(const QString& settingsFile) const {
    if (settingsFile.isEmpty()) {
        return m_folder + m_prefix + QStringLiteral("ini");
    }
    if (!settingsFile.contains(QLatin1Char('/'))) {
        return m_folder + settingsFile;
    }
    return settingsFile;
}

bool TLanguage::SelectStartLanguage(const QString& settingsFile, const QString& section,
                                    const QString& defaultName) {
    if (m_languages.empty()) {
        const QString text =
            QStringLiteral("The language files don't exits!") + QLatin1Char('\r') + FileMask();
        if (m_presenter != nullptr) {
            m_presenter->present(text, MessageKind::Error, MessageButtons::Ok);
        } else {
            QtMessagePresenter(this).present(text, MessageKind::Error, MessageButtons::Ok);
        }
        if (m_terminate) {
            m_terminate();
        }
        return false;
    }
    if (m_languages.size() == 1) {
        return SelectLanguage(0);
    }
    const IniDocument settings = IniDocument::load(settingsPath(settingsFile));
    const auto stored = settings.value(section.toUtf8(), QByteArrayLiteral("Language"));
    const QString wanted = stored ? QString::fromUtf8(*stored) : defaultName;
    int index = FindLanguageRec(m_languages, wanted);
    if (index < 0) {
        index = IndexOfLanguage(wanted);
    }
    return SelectLanguage(index < 0 ? 0 : index);
}

void TLanguage::GetLanguageNames(QStringList& list) const {
    list.clear();
    for (const tQVLanguage_Rec& entry : m_languages) {
        list.append(entry.value);
    }
}

bool TLanguage::SelectLanguage(int index) {
    if (index < 0 || static_cast<size_t>(index) >= m_languages.size()) {
        return false;
    }
    return LoadLanguage(LanguageName(index));
}

int TLanguage::IndexOfLanguage(const QString& name) const {
    const QString wanted = AsciiUpper(name);
    for (size_t i = 0; i < m_languages.size(); ++i) {
        const tQVLanguage_Rec& entry = m_languages[i];
        const QString entryName = AsciiUpper(entry.key);
        if (entryName == wanted || WithoutExtension(entryName) == wanted ||
            AsciiUpper(entry.value) == wanted) {
            return static_cast<int>(i);
        }
    }
    return -1;
}

QString TLanguage::LanguageName(int index) const {
    if (index < 0 || static_cast<size_t>(index) >= m_languages.size()) {
        return {};
    }
    return m_languages[static_cast<size_t>(index)].key;
}

bool TLanguage::LoadLanguage(const QString& name) {
    if (name.isEmpty()) {
        return false;
    }
    QString path = m_prefix + name;
    if (!HasExtension(name)) {
        path += QLatin1Char('.') + kExtension;
    }
    if (!path.contains(QLatin1Char('/'))) {
        path = m_folder + path;
    }
    auto next = std::make_shared<Snapshot>();
    next->fileName = path;
    next->constants = ReadSection(path, kConstants);
    publish(std::move(next));
    return true;
}

QString TLanguage::GetConst(const QString& key, const QString& def) const {
    const auto current = snapshot();
    return LookupText(current->constants, current->constants, key, def);
}

QString TLanguage::GetGroupText(const QString& group, const QString& name,
                                const QString& def) const {
    return GetConst(group + QLatin1Char('.') + name, def);
}

QString TLanguage::GetDialogText(const QString& name) const {
    return GetGroupText(QStringLiteral("Dialog"), name, QString());
}

QString TLanguage::GetMsgText(const QString& name) const {
    return FormatWithoutArguments(GetGroupText(QStringLiteral("MSG"), name, QString())).text;
}

QString TLanguage::Text(const LanguageKey& key) const {
    if (key.group == KeyGroup::Plain) {
        return GetConst(key.keyName(), key.englishText());
    }
    if (key.group == KeyGroup::MSG) {
        // Messages are the language file's alone: a missing one is empty,
        // and "%%" reads as "%".
        return GetMsgText(key.keyName());
    }
    return GetGroupText(key.groupName(), key.keyName(), key.englishText());
}

MessageAnswer TLanguage::ShowDialogMsg(const QString& name, MessagePresenter& messageBox,
                                       MessageButtons buttons, MessageKind kind) const {
    const auto current = snapshot();
    const QString text = LookupText(current->constants, current->constants,
                                    QStringLiteral("Dialog.") + name, QString());
    const QString head = QStringLiteral("Error in language file ") + current->fileName +
                         QLatin1Char('\r') + QStringLiteral("--> Dialog.") + name;
    if (text.isEmpty()) {
        messageBox.present(head + QStringLiteral(" <---"), MessageKind::Error, MessageButtons::Ok);
        return MessageAnswer::Ok;
    }
    const FormatResult formatted = FormatWithoutArguments(text);
    if (!formatted.ok) {
        messageBox.present(head + QLatin1Char('\r') + QStringLiteral("Error: ") + formatted.error +
                               QLatin1Char('\r') +
                               QStringLiteral("Please send about this error to author."),
                           MessageKind::Error, MessageButtons::Ok);
        return MessageAnswer::Ok;
    }
    return messageBox.present(formatted.text, kind, buttons);
}

void TLanguage::LoadSection(const QString& section, LanguageList& list) const {
    list = ReadSection(FileName(), section);
}

QString TLanguage::Lookup(const LanguageList& list, const QString& key, const QString& def) const {
    const auto current = snapshot();
    return LookupText(list, current->constants, key, def);
}

QString TLanguage::FileName() const {
    return snapshot()->fileName;
}

}  // namespace qvm
