// Loading the configuration into the card.
#pragma once

// Starts a configuration cycle, streams the rest of the file into the
// card, confirms DONE and sends the trailing bytes; returns only on
// success.
void ProgramCard();
