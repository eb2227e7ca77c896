// What a run did to a card, kept where --list can read it: one small file
// per card under /run/veldran/cards, gone at the next boot, and one line
// in the system log. Writing it never fails a run.
#pragma once

#include <string>
#include <vector>

struct CardRecord {
    std::string Address;     // DDDD:BB:SS.F
    std::string When;        // UTC, as 2026-12-09T20:41:07Z
    std::string User;        // the user who ran the program, "name (uid N)"
    std::string File;        // the configuration file's absolute path
    std::string Sha256;      // of the whole file
    std::string Design;      // the .BIT header's texts; empty for a PROM image
    std::string Part;
    std::string Date;
    std::string Time;
    std::string Bytes;       // configuration bytes sent
    std::string Result;      // "programmed", "interrupted", or "failed"
    std::string Step;        // where a failed run stopped, or the signal that interrupted it
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

// The folder of the records: /run/veldran/cards, or VELDRAN_RUN_DIR/cards
// (never for a set-user-ID, set-group-ID or file-capability run).
std::string RecordFolder();

// Replaces the card's record, whole or not at all; false if it could not.
bool WriteRecord(const CardRecord& record);
// The card's record; false if there is none or it cannot be read.
bool ReadRecord(const std::string& address, CardRecord* record);

// The record as one line of the system log.
std::string RecordLogLine(const CardRecord& record);
