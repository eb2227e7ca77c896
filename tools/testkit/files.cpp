#include "tools/testkit/files.h"

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <system_error>

TempFolder::TempFolder(const std::string& parent)
{
    const char* tmp = std::getenv("TMPDIR");
    std::string pattern = parent;
    if (pattern.empty())
        pattern = tmp != nullptr && tmp[0] != '\0' ? tmp : "/tmp";
    pattern += "/veldran-XXXXXX";
    if (mkdtemp(&pattern[0]) != nullptr)
        path_ = pattern;
}

TempFolder::~TempFolder()
{
    std::error_code ignored;
    if (!path_.empty())
        std::filesystem::remove_all(path_, ignored);  // removes links, never what they point to
}

std::string ReadFile(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

bool WriteFile(const std::string& path, const std::string& bytes)
{
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    out.close();
    return !out.fail();
}
