#pragma once

// Loads the DLL (its own folder searched for what it needs), calls its
// DllRegisterServer export when it has one, and unloads it. Silent: a DLL that
// does not load, or has no export, leaves nothing done.
void RegisterDllServer(const char* path);

// Loads the type library at the ANSI path and registers it under that path.
// Silent: a path that does not fit the UTF-16 buffer, or a file the loader
// rejects, leaves nothing registered.
void RegisterTypeLibrary(const char* path);
