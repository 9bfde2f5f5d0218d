#include "lang/LanguageKeys.h"

#include <array>

namespace qvm {

namespace {

// clang-format off
#define QVM_ROW(group, id, name, english) LanguageKey{KeyGroup::group, name, english},
#define QVM_DIALOG_ROW(id, name, english) QVM_ROW(Dialog, id, name, english)
#define QVM_BUTTON_ROW(id, name, english) QVM_ROW(Button, id, name, english)
#define QVM_MSG_ROW(id, name, english) QVM_ROW(MSG, id, name, english)
#define QVM_HTTP_ROW(id, name, english) QVM_ROW(HTTP, id, name, english)
#define QVM_ERROR_ROW(id, name, english, code) QVM_ROW(Error, id, name, english)
#define QVM_PLAIN_ROW(id, name, english) QVM_ROW(Plain, id, name, english)

constexpr LanguageKey kTable[] = {
    QVM_DIALOG_KEYS(QVM_DIALOG_ROW)
    QVM_BUTTON_KEYS(QVM_BUTTON_ROW)
    QVM_MSG_KEYS(QVM_MSG_ROW)
    QVM_HTTP_KEYS(QVM_HTTP_ROW)
    QVM_ERROR_KEYS(QVM_ERROR_ROW)
    QVM_PLAIN_KEYS(QVM_PLAIN_ROW)
};

struct ErrorCodeKey {
    int code;
    const LanguageKey* key;
};

#define QVM_ERROR_CODE_ROW(id, name, english, code) ErrorCodeKey{code, &keys::error::id},
constexpr ErrorCodeKey kErrorCodes[] = {QVM_ERROR_KEYS(QVM_ERROR_CODE_ROW)};
// clang-format on

}  // namespace

QString KeyGroupName(KeyGroup group) {
    switch (group) {
        case KeyGroup::Plain:
            return {};
        case KeyGroup::Dialog:
            return QStringLiteral("Dialog");
        case KeyGroup::Button:
            return QStringLiteral("Button");
        case KeyGroup::MSG:
            return QStringLiteral("MSG");
        case KeyGroup::HTTP:
            return QStringLiteral("HTTP");
        case KeyGroup::Error:
            return QStringLiteral("Error");
    }
    return {};
}

QString LanguageKey::groupName() const {
    return KeyGroupName(group);
}

QString LanguageKey::keyName() const {
    return QString::fromUtf8(name.data(), static_cast<qsizetype>(name.size()));
}

QString LanguageKey::fileKey() const {
    const QString bare = keyName().trimmed();
    return group == KeyGroup::Plain ? bare : groupName() + QLatin1Char('.') + bare;
}

QString LanguageKey::englishText() const {
    return QString::fromUtf8(english.data(), static_cast<qsizetype>(english.size()));
}

std::span<const LanguageKey> LanguageKeyTable() {
    return kTable;
}

const LanguageKey* ErrorTextKey(int code) {
    if (code == kNoErrorCode) {
        return nullptr;
    }
    for (const ErrorCodeKey& row : kErrorCodes) {
        if (row.code == code) {
            return row.key;
        }
    }
    return nullptr;
}

}  // namespace qvm
