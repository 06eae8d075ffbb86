#pragma once
// Side-by-side assemblies: what a module's manifest asks for, and whether the
// machine's side-by-side store holds it. The loader finds those through the
// store and the publishers' policies in it, never through the folder search:
// the old C and C++ run-time libraries are found this way.
#include "checks/text/Findings.h"

#include <string>
#include <vector>

// One dependentAssembly of a manifest, as the manifest spells it.
struct AssemblyIdentity {
    std::string name;
    std::string version;
    std::string architecture;
    std::string publicKeyToken;
};

// The assemblies that the manifests among the module's resources ask for.
// Read with the platform's resource functions from the file mapped as data:
// no code of it runs. Empty for a module without such a manifest.
std::vector<AssemblyIdentity> ManifestAssemblies(const std::wstring& path);

// How the side-by-side store in the folder given resolves one assembly for a
// process of the given bits: installed in that version, or redirected by a
// publisher's policy for its major and minor version to a newer version that
// the store holds too (the newest such). An assembly of any architecture
// ("*", or none said) is the loading process's own.
struct StoreResolution {
    bool installed = false;
    // The version that a publisher's policy redirects to, if one did.
    std::string redirectedTo;
};
StoreResolution ResolveInStore(const std::wstring& store, const AssemblyIdentity& assembly,
                               int bits);

// One finding per assembly, none that refuses, owner naming the manifest ("its
// manifest", "the manifest of helper.dll"): ok when the store holds that
// version, or a newer one that a publisher's policy there redirects it to; a
// warning when it does not (the installer may yet install it there, or ship
// it beside the file as a private assembly). bits: of the loading process,
// for an assembly of any architecture ("*").
void CheckAssemblies(const std::vector<AssemblyIdentity>& assemblies, const std::string& owner,
                     int bits, Findings& findings);
