#include "main/ChildMode.h"

#include "register/InProcess.h"

#include <windows.h>

void RunChildMode(const ToolCommand& command) {
    SetErrorMode(SEM_FAILCRITICALERRORS | SEM_NOOPENFILEERRORBOX);
    OleInitialize(nullptr);
    if (command.letter == 'D') {
        RegisterDllServer(command.path);
    } else if (command.letter == 'T') {
        RegisterTypeLibrary(command.path);
    }
    OleUninitialize();
    // Not restored to what it was: the process ends right after.
    SetErrorMode(0);
}
