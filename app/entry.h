#pragma once

// The whole run; returns EXIT_OK, or ends the process on any failure.
int VeldranMain(int argc, char** argv);
