// What a run did to a card, kept where --list can read it: one small file
// per card under /run/veldran/cards, gone at the next boot, and one line
// in the system log. Writing it never fails a run.
#pragma once

#include <string>
#include <vector>

struct CardRecord {
    std::string Address;     // DDDD:BB:SS.F
    std::string When;        // UTC, as 2026-12-09T20:41:07Z
    std::string User;        // the name of the user who ran the program (its real user ID)
    std::string Uid;         // that user ID
    std::string File;        // the configuration file's absolute path
    std::string Sha256;      // of the whole file, header included
    std::string Format;      // "bit" or "prom"
    std::string Design;      // the .BIT header's texts; empty for a PROM image
    std::string Part;
    std::string Date;
    std::string Time;
    std::string Bytes;       // configuration bytes sent
    // "programmed", "interrupted", "failed", or "started" while the run
    // has not ended (or was killed before it could say how it ended).
    std::string Result;
    std::string Step;        // a failed run's error message, or the signal that interrupted it
};

// The record's fields by their stable names, in the file's order.
struct RecordField {
    const char* Name;
    std::string CardRecord::*Value;
};
extern const std::vector<RecordField> RECORD_FIELDS;

// One "name=value" line per field; a value's backslashes, line ends and
// other control characters are written as \\, \n and \xHH, so that no
// value can add a line of its own.
std::string RecordText(const CardRecord& record);
// The record the text holds; false unless it is exactly what RecordText
// writes (every field once, in order).
bool ParseRecord(const std::string& text, CardRecord* record);

// The folder of the records: /run/veldran/cards, or VELDRAN_RUN_DIR/cards.
// For a simulated bus (VELDRAN_SYSFS_ROOT) without VELDRAN_RUN_DIR, the
// bus's own ROOT/run/cards, so that the records of simulated cards never
// mix with the machine's. Neither variable counts for a set-user-ID,
// set-group-ID or file-capability run.
std::string RecordFolder();

// Replaces the card's record, whole or not at all; false if it could not.
bool WriteRecord(const CardRecord& record);

enum class RecordRead { Read, None, Unreadable };
// The card's record: Read; None if there is none; Unreadable if there is
// one that cannot be read or is not a record of that card.
RecordRead ReadRecord(const std::string& address, CardRecord* record);

// The record as one line of the system log.
std::string RecordLogLine(const CardRecord& record);
