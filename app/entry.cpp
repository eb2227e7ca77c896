#include "app/entry.h"

#include <cstdio>

#include "app/arguments.h"
#include "app/fatal_exit.h"
#include "app/process_setup.h"
#include "app/run_state.h"
#include "upload/program_card.h"

int VeldranMain(int argc, char** argv)
{
    PrepareProcess();
    std::printf("\nVELDRAN version 1.0\n");
    std::printf("Quorvel 9054 configuration utility for Windows.\n");
    ParseArguments(argc, argv);
    ProgramCard();
    ReleaseCard();
    std::printf("\n\nFunction complete.\n");
    return EXIT_OK;
}
