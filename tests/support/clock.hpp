#pragma once

#include "contracts/time.hpp"

namespace zdz::test {

// The system clock read as the commands read it, for tests that run at the
// real time. A clock outside a timestamp's range throws, failing the test.
contracts::Timestamp now();

}  // namespace zdz::test
