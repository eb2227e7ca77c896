#include "tools/testkit/samples.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <utility>

const Bytes SYNC_PREAMBLE = {0xFF, 0xFF, 0xFF, 0xFF, 0xAA, 0x99, 0x55, 0x66};
const Bytes PROM_SIGNATURE = {0xFF, 0xFF, 0xFF, 0xFF, 0x55, 0x99, 0xAA, 0x66};

namespace {

constexpr unsigned PROM_SEED = 7;

void PutField(Bytes* out, const std::string& text)
{
    const std::size_t length = text.size() + 1;
    out->push_back(static_cast<uint8_t>(length >> 8));
    out->push_back(static_cast<uint8_t>(length));
    out->insert(out->end(), text.begin(), text.end());
    out->push_back(0);
}

}  // namespace

PatternStream::PatternStream(unsigned seed, Bytes leadIn) : leadIn_(std::move(leadIn)), state_(seed)
{
}

void PatternStream::Fill(uint8_t* out, std::size_t count)
{
    for (std::size_t i = 0; i < count; ++i, ++position_) {
        state_ = state_ * 1103515245u + 12345u;
        out[i] = position_ < leadIn_.size() ? leadIn_[position_]
                 : position_ < 256          ? static_cast<uint8_t>(position_)
                                            : static_cast<uint8_t>(state_ >> 16);
    }
}

Bytes Pattern(std::size_t count, unsigned seed)
{
    Bytes out(count);
    PatternStream(seed).Fill(out.data(), count);
    return out;
}

Bytes BitHeader(const std::vector<std::string>& fields, uint32_t declared)
{
    Bytes out = {0x00, 0x09, 0x0F, 0xF0, 0x0F, 0xF0, 0x0F, 0xF0, 0x0F, 0xF0, 0x00, 0x00, 0x01, 'a'};
    const char keys[] = {'b', 'c', 'd', 'e'};
    for (std::size_t i = 0; i < fields.size(); ++i) {
        PutField(&out, fields[i]);
        out.push_back(static_cast<uint8_t>(keys[i % 4]));
    }
    for (int shift = 24; shift >= 0; shift -= 8)
        out.push_back(static_cast<uint8_t>(declared >> shift));
    return out;
}

Bytes BitFile(const std::vector<std::string>& fields, uint32_t declared, const Bytes& data)
{
    Bytes out = BitHeader(fields, declared);
    out.insert(out.end(), data.begin(), data.end());
    return out;
}

Bytes BitFile(const Bytes& data)
{
    return BitFile({"demo.ncd", "3s50atq144", "2026/12/08", "12:00:00"},
                   static_cast<uint32_t>(data.size()), data);
}

PatternStream PromData()
{
    return PatternStream(PROM_SEED, PROM_SIGNATURE);
}

Bytes PromImage(std::size_t size)
{
    Bytes out(size);
    PromData().Fill(out.data(), size);
    return out;
}

bool WriteSample(const std::string& path, const Bytes& header, PatternStream data,
                 uint64_t count, std::string* error)
{
    std::FILE* file = std::fopen(path.c_str(), "wb");
    if (file == nullptr) {
        *error = "cannot create " + path + ": " + std::strerror(errno);
        return false;
    }
    bool ok = header.empty() || std::fwrite(header.data(), 1, header.size(), file) == header.size();
    uint8_t block[65536];
    for (uint64_t left = count; ok && left > 0;) {
        const std::size_t n = left < sizeof block ? static_cast<std::size_t>(left) : sizeof block;
        data.Fill(block, n);
        ok = std::fwrite(block, 1, n, file) == n;
        left -= n;
    }
    if (std::fclose(file) != 0 || !ok) {
        std::remove(path.c_str());
        *error = "cannot write " + path;
        return false;
    }
    return true;
}

uint8_t ReverseBits(uint8_t byte)
{
    uint8_t reversed = 0;
    for (int bit = 0; bit < 8; ++bit)
        if (byte & (1u << bit))
            reversed |= static_cast<uint8_t>(0x80u >> bit);
    return reversed;
}
