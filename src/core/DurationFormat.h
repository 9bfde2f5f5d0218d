#pragma once

#include <QString>
#include <cstdint>

namespace qvm {

// Duration texts by format code 0..9 (see the table in DurationFormat.cpp);
// any other code gives "!FORMAT!".
QString FormatDays(std::uint32_t code, double days);
QString FormatSeconds(std::uint32_t code, double seconds);

}  // namespace qvm
