// Files and expectations shared by the in-process tests.
#pragma once

#include <string>

#include "tests/run_expectations.h"
#include "tools/testkit/samples.h"

// Writes bytes to a new temporary file and returns its path; removed at exit.
std::string TempFile(const Bytes& bytes);

// Opens path as the run's configuration file.
void OpenConfigFile(const std::string& path);
