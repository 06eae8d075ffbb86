#pragma once

// The "/S" command: runs every entry of every work set under PendingKeyPath
// once, in order, each as a process of its own; deletes each work set after
// its entries, then the key; and finally schedules the tool's own file for
// deletion at the next restart, whether or not the key was there.
void RunPendingPass();
