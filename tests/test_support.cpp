#include "tests/test_support.h"

#include <cstdio>
#include <cstdlib>
#include <unistd.h>

#include "app/run_state.h"

static void PutField(Bytes* out, const std::string& text)
{
    const std::size_t length = text.size() + 1;
    out->push_back(static_cast<uint8_t>(length >> 8));
    out->push_back(static_cast<uint8_t>(length));
    out->insert(out->end(), text.begin(), text.end());
    out->push_back(0);
}

Bytes BitFile(const std::vector<std::string>& fields, uint32_t declared, const Bytes& data)
{
    Bytes out = {0x00, 0x09, 0x0F, 0xF0, 0x0F, 0xF0, 0x0F, 0xF0, 0x0F, 0xF0, 0x00, 0x00, 0x01, 'a'};
    const char keys[] = {'b', 'c', 'd', 'e'};
    for (std::size_t i = 0; i < fields.size(); ++i) {
        PutField(&out, fields[i]);
        out.push_back(static_cast<uint8_t>(keys[i % 4]));
    }
    for (int shift = 24; shift >= 0; shift -= 8)
        out.push_back(static_cast<uint8_t>(declared >> shift));
    out.insert(out.end(), data.begin(), data.end());
    return out;
}

Bytes BitFile(const Bytes& data)
{
    return BitFile({"demo.ncd", "3s50atq144", "2026/12/08", "12:00:00"},
                   static_cast<uint32_t>(data.size()), data);
}

Bytes Pattern(std::size_t count, unsigned seed)
{
    // Every byte value first, so a reversal that misses a bit shows.
    Bytes out(count);
    unsigned x = seed;
    for (std::size_t i = 0; i < count; ++i) {
        x = x * 1103515245u + 12345u;
        out[i] = static_cast<uint8_t>(i < 256 ? i : x >> 16);
    }
    return out;
}

Bytes PromImage(std::size_t size)
{
    Bytes out = Pattern(size, 7);
    const uint8_t signature[] = {0xFF, 0x01, 0x02, 0x03, 0x55, 0x99, 0xAA, 0x66};
    for (std::size_t i = 0; i < sizeof signature && i < size; ++i)
        out[i] = signature[i];
    return out;
}

static std::vector<std::string>& TempFiles()
{
    static std::vector<std::string> files;
    static pid_t owner = 0;
    if (owner == 0) {
        owner = getpid();
        // Death tests exit from forked children; only the process that
        // made the files may remove them.
        std::atexit([] {
            if (getpid() != owner)
                return;
            for (const auto& f : TempFiles())
                unlink(f.c_str());
        });
    }
    return files;
}

std::string TempFile(const Bytes& bytes)
{
    char path[] = "/tmp/veldran-test-XXXXXX";
    const int fd = mkstemp(path);
    if (fd < 0)
        std::abort();
    if (!bytes.empty() && write(fd, bytes.data(), bytes.size()) != static_cast<ssize_t>(bytes.size()))
        std::abort();
    close(fd);
    TempFiles().push_back(path);
    return path;
}

void OpenConfigFile(const std::string& path)
{
    State.ConfigFile = std::fopen(path.c_str(), "rb");
    if (State.ConfigFile == nullptr)
        std::abort();
}
