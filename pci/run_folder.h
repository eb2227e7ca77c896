// Where runs leave what later runs and --list read: the cards' records and
// the holders' sockets.
#pragma once

#include <string>

// RUN/NAME, RUN being /run/veldran, or VELDRAN_RUN_DIR; for a simulated
// bus (VELDRAN_SYSFS_ROOT) without it, ROOT/run, so that simulated cards
// never mix with the machine's. Both variables are ignored for set-user-ID,
// set-group-ID and file-capability runs.
std::string RunFolder(const char* name);

// RunFolder(name), made first where root writes in it and no package made
// it: RUN/NAME given to the group veldran, as the package's tmpfiles.d
// makes it. Only a writer calls it: the list reads, and makes nothing.
std::string RunFolderToWrite(const char* name);
