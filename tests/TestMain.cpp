// The test program. When the launcher, called from a test, starts "its own
// image" in child mode, that image is this program: it then records the
// command line it was given instead of running the tests.
#include "fixtures/Record.h"
#include "main/CommandLine.h"

#include <gtest/gtest.h>

#include <string>

int main(int argc, char** argv) {
    if (ScanCommandLine(GetCommandLineA()).hasSwitch) {
        AppendRecord((std::string("child\tcmdline=") + GetCommandLineA()).c_str());
        return 0;
    }
    testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
