// veldran --list: every card a run can reach, by the number a run counts it
// by, and whether this user can program it now.
#pragma once

// Prints the list on standard output; returns the exit status: EXIT_OK
// when it lists a card, EXIT_NOT_FOUND when there is none. It reads only:
// nothing is written, mapped, enabled or locked.
int ListCards();
