// The record this run leaves of its card (run/card_record.h) and its line
// in the system log: which file went into the card, by whom, and how the
// run ended. Only a run that changed the card's state leaves one.
#pragma once

#include <string>

// Called as the run is about to change the card's state, with the card
// open and the file recognised: hashes the whole file, notes who loads it
// into which card, and leaves a record that says the run has started,
// which stays should the run be killed outright.
void StartRunRecord();

// How a started run ended: "programmed", "interrupted" or "failed", and
// where (the error message, or the signal's name). Replaces the record
// and logs it, once; does nothing for a run that never started one. What
// cannot be written is left unwritten: the run's output and status never
// depend on it.
void EndRunRecord(const char* result, const std::string& step);

// --release ended the holder of the card at address, and the kernel has
// reset the card: its record says so from now on (keeping what it was
// loaded with before), and the system log has a line of it.
void RecordRelease(const std::string& address);
