#include "app/entry.h"

#include <cstdio>

#include "app/arguments.h"
#include "app/options.h"
#include "app/process_setup.h"
#include "run/fatal_exit.h"
#include "run/run_record.h"
#include "run/run_state.h"
#include "upload/program_card.h"

int VeldranMain(int argc, char** argv)
{
    PrepareProcess();
    int status = EXIT_OK;
    if (RunOption(argc, argv, &status))
        return status;
    std::printf("\n%s version %s\n", PROGRAM_NAME, PROGRAM_VERSION);
    std::printf("Quorvel 9054 configuration utility for Windows.\n");
    ParseArguments(argc, argv);
    ProgramCard();
    // While the card is still held: no other run can have started meanwhile.
    EndRunRecord("programmed", "");
    ReleaseCard();
    std::printf("\n\nFunction complete.\n");
    return EXIT_OK;
}
