// The test program. Tests call the launcher directly, and the launcher starts
// "its own image" in child mode: that image is then this program. It records
// the command line it was given and does the tool's work, with the tool's own
// code, instead of running the tests: child mode, or with "/S" the pass, whose
// children are then this program too. A test that needs the recorders'
// turn held by another process starts it as that holder.
#include "fixtures/Record.h"
#include "harness/TurnHolder.h"
#include "main/ChildMode.h"
#include "pending/PendingPass.h"

#include <gtest/gtest.h>

#include <string>

int main(int argc, char** argv) {
    if (harness::HoldTurnIfAsked()) {
        return 0;
    }
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
