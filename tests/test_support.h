// Files and expectations shared by the in-process tests.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "tests/run_expectations.h"

using Bytes = std::vector<uint8_t>;


// A .BIT file with the given texts (each stored with a trailing NUL), a
// declared length and the data that follows it.
Bytes BitFile(const std::vector<std::string>& fields, uint32_t declared, const Bytes& data);
Bytes BitFile(const Bytes& data);  // plain fields, declared length = data size

// A PROM image of the given size: signature first, a pattern after.
Bytes PromImage(std::size_t size);

// A numbered pattern of count bytes.
Bytes Pattern(std::size_t count, unsigned seed = 1);

// Writes bytes to a new temporary file and returns its path; removed at exit.
std::string TempFile(const Bytes& bytes);

// Opens path as the run's configuration file.
void OpenConfigFile(const std::string& path);
