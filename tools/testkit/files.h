// Temporary folders and whole-file reads and writes, for the tests and the
// tools that lay out simulated buses and sample files.
#pragma once

#include <string>

// A fresh folder under parent (default: $TMPDIR, else /tmp), removed with
// all its content when the object goes. Path() is empty if it could not be
// made.
class TempFolder {
public:
    explicit TempFolder(const std::string& parent = "");
    ~TempFolder();
    TempFolder(const TempFolder&) = delete;
    TempFolder& operator=(const TempFolder&) = delete;
    const std::string& Path() const { return path_; }

private:
    std::string path_;
};

// The whole file; empty if it cannot be read.
std::string ReadFile(const std::string& path);
// Replaces the file's content; false if it cannot be written.
bool WriteFile(const std::string& path, const std::string& bytes);
