// The test program. Tests call the launcher directly, and the launcher starts
// "its own image" in child mode: that image is then this program. It records
// the command line it was given and does the tool's work, with the tool's own
// code, instead of running the tests: child mode, or with "/S" the pass, whose
// children are then this program too.
#include "fixtures/Record.h"
#include "main/ChildMode.h"
#include "pending/PendingPass.h"

#include <gtest/gtest.h>

#include <string>

int main(int argc, char** argv) {
    ToolCommand command = ScanCommandLine(GetCommandLineA());
    if (command.hasSwitch) {
        AppendRecord((std::string("child\tcmdline=") + GetCommandLineA()).c_str());
        if (command.letter == 'S') {
            RunPendingPass();
        } else {
            RunChildMode(command);
        }
        return 0;
    }
    testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
