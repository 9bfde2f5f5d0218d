#pragma once

#include <QByteArray>
#include <QString>
#include <memory>
#include <vector>

namespace qvm {

// Appends the path separator "/" unless the path is empty or already ends in
// one. (The name is the one every caller knows; the separator is this
// platform's.)
QString AddTrailingBackslash(const QString& path);

// The value of a hexadecimal digit (either letter case), -1 for any other
// character.
constexpr int HexDigitValue(char c) {
    if (c >= '0' && c <= '9') {
        return c - '0';
    }
    if (c >= 'a' && c <= 'f') {
        return c - 'a' + 10;
    }
    if (c >= 'A' && c <= 'F') {
        return c - 'A' + 10;
    }
    return -1;
}

// Creates every missing folder of `path`. False at the first folder that cannot
// be created; the folders made before it stay.
bool ForceFolders(const QString& path);

// Releases every record of a list from the last to the first and empties it;
// with `freeList` the list itself goes too.
template <typename T>
void FreeRecordList(std::unique_ptr<std::vector<std::unique_ptr<T>>>& list, bool freeList) {
    if (!list) {
        return;
    }
    while (!list->empty()) {
        list->pop_back();
    }
    if (freeList) {
        list.reset();
    }
}

// 10 to the power x, as e^(x · ln 10) with ln 10 to 12 decimals.
double Power10(double x);

// The folder of the running executable (from /proc/self/exe), ending in "/".
QString ExecutableFolder();
// The running executable's full path.
QString ExecutablePath();

// UTF-8 text cut to at most `maxBytes` bytes, never inside a multi-byte
// sequence. Length limits of settings and texts count bytes.
QByteArray CutUtf8(const QByteArray& utf8, int maxBytes);
QString CutUtf8(const QString& text, int maxBytes);

// Upper-cases ASCII letters only, whatever the locale.
QString AsciiUpper(const QString& text);
// Compares without regard to ASCII letter case: <0, 0, >0.
int CompareText(const QString& a, const QString& b);

}  // namespace qvm
