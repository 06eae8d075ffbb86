#include "main/ChildMode.h"
#include "main/CommandLine.h"
#include "pending/PendingPass.h"

#include <windows.h>

// The image's entry point: there is no start-up code, so this is called like a
// thread routine and must end the process itself. The exit code only says
// whether the first argument began with "/"; "/S" runs the pending pass
// without the child-mode error mode and OLE.
extern "C" void WINAPI ToolMain() {
    ToolCommand command = ScanCommandLine(GetCommandLineA());
    if (!command.hasSwitch) {
        ExitProcess(1);
    }
    if (command.letter == 'S') {
        RunPendingPass();
    } else {
        RunChildMode(command);
    }
    ExitProcess(0);
}
