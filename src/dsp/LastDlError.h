#pragma once

#include <dlfcn.h>

#include <QString>

namespace qvm {

// Why the last dlopen failed, as dlerror tells it.
inline QString LastDlError() {
    const char* why = dlerror();
    return QString::fromUtf8(why != nullptr ? why : "cannot be loaded");
}

}  // namespace qvm
