#pragma once

// The key, under HKEY_LOCAL_MACHINE, where installers record registrations for
// the next pass. A 32-bit process reads it in the 32-bit view of the registry.
extern const char PendingKeyPath[];

// The "/S" command: runs every entry of every work set under PendingKeyPath
// once, in order, each as a process of its own; deletes each work set after
// its entries, then the key; and finally schedules the tool's own file for
// deletion at the next restart, whether or not the key was there.
void RunPendingPass();
