// What whole runs of the program print, for every suite that runs the real
// binary (simulated buses and the real-kernel one) to compare against.
#pragma once

#include <cstddef>
#include <string>

// The error block a fatal exit leaves on standard error.
std::string ErrorBlock(const std::string& message);

extern const std::string BANNER;
extern const std::string USAGE;

// The window's address differs from run to run; MaskWindow replaces it in
// the "memory base" line with "<window>" so the rest compares exactly.
std::string MaskWindow(std::string out);

// The card lines of a run, up to the memory base (masked) and its line break.
std::string CardLines(unsigned bus, unsigned slot, const std::string& board,
                      const std::string& io, const std::string& control);

// Everything after the card lines of a successful run of a PROM image of
// the given size.
std::string PromRun(std::size_t size);

// Everything after the card lines of a successful run of a .BIT file with
// these header texts and declared length, whose data (total bytes) follow.
std::string BitRun(const std::string& name, const std::string& part, const std::string& date,
                   const std::string& time, std::size_t declared, std::size_t total);

// From "Programming..." to the end of a successful run that sent total
// bytes, counting down one figure per block read from the declared length.
std::string ProgrammingRun(std::size_t declared, std::size_t total);

// --list's header, and a card's line with its columns as an operator reads
// them.
extern const std::string LIST_HEADER;
std::string ListLine(const std::string& number, const std::string& address,
                     const std::string& board, const std::string& verdict);
