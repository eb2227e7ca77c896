// Opening the configuration file as the user who ran the program.
#pragma once

#include <cstdio>

// Opens path for binary reading with the rights of the user who started
// the program: its real user and group IDs and no capability it did not
// already have. A set-user-ID, set-group-ID or file-capability install
// keeps its raised rights for the card's files only, so an ordinary user
// can neither read another's files through it nor probe which paths
// exist. Null when that user may not open the file, or it is no file (a
// folder).
FILE* OpenAsCaller(const char* path);
