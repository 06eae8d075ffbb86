#pragma once
// Whether a module's manifest asks for side-by-side assemblies: modules that
// the system resolves from its own store, not from the folders that the
// loader searches, so the dependency check cannot follow them.
#include <string>

// Read with the platform's resource functions from the file mapped as data:
// no code of it runs. False for a file without such a manifest, and for one
// that cannot be mapped.
bool AsksForAssemblies(const std::wstring& path);
