// The Windows test host. Run by run-wine-tests.sh inside a prepared Wine prefix; the same
// executable also plays the second process of the port-ownership tests.
#include "child_process.h"
#include "settings_key.h"

#include <gtest/gtest.h>

#include <cstdio>

int main(int argc, char** argv) {
    if (isChildRole(argc, argv)) {
        return runChildRole(argc, argv);
    }
    // Every host starts as on a machine where the driver never ran, whatever settings an earlier
    // host of the same run left behind when it died half-way through a test.
    for (REGSAM view : {KEY_WOW64_64KEY, KEY_WOW64_32KEY}) {
        if (auto deleted = deleteSettingsKey(view); !deleted) {
            std::fprintf(stderr, "%s\n", deleted.message());
            return 2;
        }
    }
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
