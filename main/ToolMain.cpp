#include "main/CommandLine.h"
#include "pending/PendingPass.h"
#include "register/InProcess.h"

#include <windows.h>

// Child mode: one registration inside this process. The error mode keeps the
// loader's missing-file and critical-error boxes away; it is left at 0, not
// restored, since the process ends right after.
static void RunChildMode(const ToolCommand& command) {
    SetErrorMode(SEM_FAILCRITICALERRORS | SEM_NOOPENFILEERRORBOX);
    OleInitialize(nullptr);
    if (command.letter == 'D') {
        RegisterDllServer(command.path);
    } else if (command.letter == 'T') {
        RegisterTypeLibrary(command.path);
    }
    OleUninitialize();
    SetErrorMode(0);
}

// The image's entry point: there is no start-up code, so this is called like a
// thread routine and must end the process itself. The exit code only says
// whether the first argument began with "/".
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
