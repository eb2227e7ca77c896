// veldran-mksample: writes sample configuration files for testing VELDRAN.
//
//   veldran-mksample bit OUT [--name S] [--part S] [--date S] [--time S]
//                            [--data N] [--declared N]
//   veldran-mksample prom OUT [--size N]
//
// The configuration bytes are a pattern of our own (a sync-like preamble and
// then a linear congruential sequence), so the samples carry no third-party
// design and the same arguments always give the same file.
//
// Exit status: 0 written, 1 the output could not be written, 2 bad arguments.

#include <cctype>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

namespace {

constexpr int EXIT_WRITE_FAILED = 1;
constexpr int EXIT_BAD_ARGS = 2;

// Sizes are capped where the program's own length field (a signed 32-bit
// count) stops being able to describe the file, which is also far beyond
// any real part.
constexpr unsigned long long MAX_SIZE = 0x7FFFFFFFULL;
constexpr unsigned long long MAX_DECLARED = 0xFFFFFFFFULL;
// A field's length word counts the trailing NUL too.
constexpr std::size_t MAX_FIELD_TEXT = 0xFFFE;
constexpr unsigned long long PROM_HEADER_SIZE = 8;

const uint8_t BIT_PREFIX[] = {0x00, 0x09, 0x0F, 0xF0, 0x0F, 0xF0, 0x0F,
                              0xF0, 0x0F, 0xF0, 0x00, 0x00, 0x01, 0x61};
const uint8_t SYNC_PREAMBLE[] = {0xFF, 0xFF, 0xFF, 0xFF, 0xAA, 0x99, 0x55, 0x66};
const uint8_t PROM_HEADER[] = {0xFF, 0xFF, 0xFF, 0xFF, 0x55, 0x99, 0xAA, 0x66};

struct BitOptions {
    std::string name = "veldran_demo.ncd;UserID=0xFFFFFFFF";
    std::string part = "3s50atq144";
    std::string date = "2026/12/08";
    std::string time = "12:00:00";
    unsigned long long data = 40000;
    unsigned long long declared = 0;
    bool hasDeclared = false;
};

[[noreturn]] void usage(const char* problem)
{
    if (problem != nullptr) {
        std::fprintf(stderr, "veldran-mksample: %s\n", problem);
    }
    std::fprintf(stderr,
                 "usage: veldran-mksample bit OUT [--name S] [--part S] [--date S] [--time S]\n"
                 "                                [--data N] [--declared N]\n"
                 "       veldran-mksample prom OUT [--size N]\n"
                 "N is decimal or 0x-prefixed hex.\n");
    std::exit(EXIT_BAD_ARGS);
}

// strtoull alone accepts signs, blanks and trailing junk, and base 0 would
// read a leading zero as octal; none of those is what a user means by a size.
bool parseCount(const char* text, unsigned long long limit, unsigned long long* out)
{
    int base = 10;
    if (text[0] == '0' && (text[1] == 'x' || text[1] == 'X')) {
        base = 16;
        text += 2;
    }
    if (!std::isxdigit(static_cast<unsigned char>(text[0]))) {
        return false;
    }
    errno = 0;
    char* end = nullptr;
    const unsigned long long value = std::strtoull(text, &end, base);
    if (errno != 0 || *end != '\0' || value > limit) {
        return false;
    }
    *out = value;
    return true;
}

unsigned long long countArgument(const char* option, const char* text,
                                 unsigned long long limit)
{
    unsigned long long value = 0;
    if (!parseCount(text, limit, &value)) {
        std::string problem = std::string("bad value for ") + option + ": '" + text + "'";
        usage(problem.c_str());
    }
    return value;
}

std::string textArgument(const char* option, const char* text)
{
    if (std::strlen(text) > MAX_FIELD_TEXT) {
        std::string problem = std::string(option) + " is longer than 65534 bytes";
        usage(problem.c_str());
    }
    return text;
}

const char* optionValue(int argc, char** argv, int index)
{
    if (index + 1 >= argc) {
        std::string problem = std::string(argv[index]) + " needs a value";
        usage(problem.c_str());
    }
    return argv[index + 1];
}

void applyBitOption(BitOptions* options, const char* option, const char* value)
{
    const std::string name = option;
    if (name == "--name") {
        options->name = textArgument(option, value);
    } else if (name == "--part") {
        options->part = textArgument(option, value);
    } else if (name == "--date") {
        options->date = textArgument(option, value);
    } else if (name == "--time") {
        options->time = textArgument(option, value);
    } else if (name == "--data") {
        options->data = countArgument(option, value, MAX_SIZE);
    } else if (name == "--declared") {
        options->declared = countArgument(option, value, MAX_DECLARED);
        options->hasDeclared = true;
    } else {
        std::string problem = "unknown option for bit: '" + name + "'";
        usage(problem.c_str());
    }
}

BitOptions parseBitOptions(int argc, char** argv)
{
    BitOptions options;
    for (int i = 3; i < argc; i += 2) {
        applyBitOption(&options, argv[i], optionValue(argc, argv, i));
    }
    if (!options.hasDeclared) {
        options.declared = options.data;
    }
    return options;
}

unsigned long long parsePromSize(int argc, char** argv)
{
    unsigned long long size = 40000;
    for (int i = 3; i < argc; i += 2) {
        if (std::strcmp(argv[i], "--size") != 0) {
            std::string problem = std::string("unknown option for prom: '") + argv[i] + "'";
            usage(problem.c_str());
        }
        size = countArgument(argv[i], optionValue(argc, argv, i), MAX_SIZE);
    }
    if (size < PROM_HEADER_SIZE) {
        usage("--size must be at least 8, the PROM header");
    }
    return size;
}

void putBig16(std::vector<uint8_t>* out, unsigned value)
{
    out->push_back(static_cast<uint8_t>(value >> 8));
    out->push_back(static_cast<uint8_t>(value));
}

void putBig32(std::vector<uint8_t>* out, unsigned long long value)
{
    for (int shift = 24; shift >= 0; shift -= 8) {
        out->push_back(static_cast<uint8_t>(value >> shift));
    }
}

void putField(std::vector<uint8_t>* out, const std::string& text, char key)
{
    putBig16(out, static_cast<unsigned>(text.size() + 1));
    out->insert(out->end(), text.begin(), text.end());
    out->push_back(0);
    out->push_back(static_cast<uint8_t>(key));
}

std::vector<uint8_t> bitHeader(const BitOptions& options)
{
    std::vector<uint8_t> header(BIT_PREFIX, BIT_PREFIX + sizeof BIT_PREFIX);
    putField(&header, options.name, 'b');
    putField(&header, options.part, 'c');
    putField(&header, options.date, 'd');
    putField(&header, options.time, 'e');
    putBig32(&header, options.declared);
    return header;
}

bool writeAll(FILE* file, const uint8_t* bytes, std::size_t count)
{
    return count == 0 || std::fwrite(bytes, 1, count, file) == count;
}

// Writes `count` pattern bytes in blocks, so large samples need no large buffer.
// The lead-in bytes come first; the LCG (Numerical Recipes constants) fills the rest.
bool writePattern(FILE* file, const uint8_t* leadIn, std::size_t leadInSize,
                  unsigned long long count)
{
    uint8_t block[4096];
    uint32_t state = 0x5EED1234u;
    unsigned long long written = 0;
    while (written < count) {
        std::size_t used = 0;
        for (; used < sizeof block && written + used < count; ++used) {
            const unsigned long long position = written + used;
            if (position < leadInSize) {
                block[used] = leadIn[position];
            } else {
                state = state * 1664525u + 1013904223u;
                block[used] = static_cast<uint8_t>(state >> 24);
            }
        }
        if (!writeAll(file, block, used)) {
            return false;
        }
        written += used;
    }
    return true;
}

int writeSample(const char* path, const std::vector<uint8_t>& header,
                const uint8_t* leadIn, std::size_t leadInSize, unsigned long long dataSize)
{
    FILE* file = std::fopen(path, "wb");
    if (file == nullptr) {
        std::fprintf(stderr, "veldran-mksample: cannot create %s: %s\n", path, std::strerror(errno));
        return EXIT_WRITE_FAILED;
    }
    bool ok = writeAll(file, header.data(), header.size()) &&
              writePattern(file, leadIn, leadInSize, dataSize);
    ok = (std::fclose(file) == 0) && ok;
    if (!ok) {
        std::fprintf(stderr, "veldran-mksample: cannot write %s\n", path);
        std::remove(path);
        return EXIT_WRITE_FAILED;
    }
    return 0;
}

int makeBit(int argc, char** argv)
{
    const BitOptions options = parseBitOptions(argc, argv);
    return writeSample(argv[2], bitHeader(options), SYNC_PREAMBLE, sizeof SYNC_PREAMBLE,
                       options.data);
}

int makeProm(int argc, char** argv)
{
    const unsigned long long size = parsePromSize(argc, argv);
    const std::vector<uint8_t> header(PROM_HEADER, PROM_HEADER + sizeof PROM_HEADER);
    return writeSample(argv[2], header, nullptr, 0, size - PROM_HEADER_SIZE);
}

}  // namespace

int main(int argc, char** argv)
{
    if (argc < 3) {
        usage(argc < 2 ? "missing kind and output file" : "missing output file");
    }
    // An option where OUT belongs means OUT was forgotten; ./-name still works.
    if (argv[2][0] == '\0' || argv[2][0] == '-') {
        usage("missing output file");
    }
    const std::string kind = argv[1];
    if (kind == "bit") {
        return makeBit(argc, argv);
    }
    if (kind == "prom") {
        return makeProm(argc, argv);
    }
    usage("kind must be 'bit' or 'prom'");
}
