#include "support/FakeClock.h"

namespace qvm::test {

std::atomic<std::uint32_t> FakeClock::tick{1000};
std::atomic<double> FakeClock::wallDays{20000.5};

}  // namespace qvm::test
