// Files and expectations shared by the in-process tests.
#pragma once

#include <string>

#include "tests/run_expectations.h"
#include "tools/testkit/samples.h"

// Writes bytes to a new temporary file and returns its path; removed at exit.
std::string TempFile(const Bytes& bytes);

// Opens path as the run's configuration file.
void OpenConfigFile(const std::string& path);

// True on CI (CI set), which has everything every test needs.
bool OnCi();

// Skips the test for reason; on CI, where nothing may skip, fails it.
#define SKIP_OR_FAIL_ON_CI(reason) \
    do {                           \
        if (OnCi())                \
            FAIL() << (reason);    \
        GTEST_SKIP() << (reason);  \
    } while (0)
