// The virtual serial line as run-wine-tests.sh keeps it: a test may take it away, as a USB
// serial adapter that is pulled (both pseudo-terminals vanish), and bring it back on the same
// paths, as the adapter put back. The script names its control folder in MELV_LINE_CONTROL.
#pragma once

#include <gtest/gtest.h>

bool lineControlAvailable();
::testing::AssertionResult takeLineAway();
::testing::AssertionResult bringLineBack();
