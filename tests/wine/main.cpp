// The Windows test host. Run by run-wine-tests.sh inside a prepared Wine prefix; the same
// executable also plays the second process of the port-ownership tests.
#include "child_process.h"

#include <gtest/gtest.h>

int main(int argc, char** argv) {
    if (isChildRole(argc, argv)) {
        return runChildRole(argc, argv);
    }
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
