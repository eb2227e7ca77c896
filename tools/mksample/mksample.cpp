// veldran-mksample: writes sample configuration files for testing VELDRAN.
//
//   veldran-mksample bit OUT [--name S] [--part S] [--date S] [--time S]
//                            [--data N] [--declared N]
//   veldran-mksample prom OUT [--size N]
//
// The configuration bytes are a pattern of our own (tools/testkit/samples.h,
// the one the tests use), so the samples carry no third-party design and the
// same arguments always give the same file.
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

#include "tools/testkit/samples.h"

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

struct BitOptions {
    std::string Name = "veldran_demo.ncd;UserID=0xFFFFFFFF";
    std::string Part = "3s50atq144";
    std::string Date = "2026/12/08";
    std::string Time = "12:00:00";
    unsigned long long Data = 40000;
    unsigned long long Declared = 0;
    bool HasDeclared = false;
};

[[noreturn]] void Usage(const char* problem)
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
bool ParseCount(const char* text, unsigned long long limit, unsigned long long* out)
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

unsigned long long CountArgument(const char* option, const char* text,
                                 unsigned long long limit)
{
    unsigned long long value = 0;
    if (!ParseCount(text, limit, &value)) {
        std::string problem = std::string("bad value for ") + option + ": '" + text + "'";
        Usage(problem.c_str());
    }
    return value;
}

std::string TextArgument(const char* option, const char* text)
{
    if (std::strlen(text) > MAX_FIELD_TEXT) {
        std::string problem = std::string(option) + " is longer than 65534 bytes";
        Usage(problem.c_str());
    }
    return text;
}

const char* OptionValue(int argc, char** argv, int index)
{
    if (index + 1 >= argc) {
        std::string problem = std::string(argv[index]) + " needs a value";
        Usage(problem.c_str());
    }
    return argv[index + 1];
}

void ApplyBitOption(BitOptions* options, const char* option, const char* value)
{
    const std::string name = option;
    if (name == "--name") {
        options->Name = TextArgument(option, value);
    } else if (name == "--part") {
        options->Part = TextArgument(option, value);
    } else if (name == "--date") {
        options->Date = TextArgument(option, value);
    } else if (name == "--time") {
        options->Time = TextArgument(option, value);
    } else if (name == "--data") {
        options->Data = CountArgument(option, value, MAX_SIZE);
    } else if (name == "--declared") {
        options->Declared = CountArgument(option, value, MAX_DECLARED);
        options->HasDeclared = true;
    } else {
        std::string problem = "unknown option for bit: '" + name + "'";
        Usage(problem.c_str());
    }
}

BitOptions ParseBitOptions(int argc, char** argv)
{
    BitOptions options;
    for (int i = 3; i < argc; i += 2) {
        ApplyBitOption(&options, argv[i], OptionValue(argc, argv, i));
    }
    if (!options.HasDeclared) {
        options.Declared = options.Data;
    }
    return options;
}

unsigned long long ParsePromSize(int argc, char** argv)
{
    unsigned long long size = 40000;
    for (int i = 3; i < argc; i += 2) {
        if (std::strcmp(argv[i], "--size") != 0) {
            std::string problem = std::string("unknown option for prom: '") + argv[i] + "'";
            Usage(problem.c_str());
        }
        size = CountArgument(argv[i], OptionValue(argc, argv, i), MAX_SIZE);
    }
    if (size < PROM_SIGNATURE.size()) {
        Usage("--size must be at least 8, the PROM header");
    }
    return size;
}

int WriteOrReport(const char* path, const Bytes& header, const PatternStream& data,
                  unsigned long long count)
{
    std::string error;
    if (WriteSample(path, header, data, count, &error))
        return 0;
    std::fprintf(stderr, "veldran-mksample: %s\n", error.c_str());
    return EXIT_WRITE_FAILED;
}

int MakeBit(int argc, char** argv)
{
    const BitOptions options = ParseBitOptions(argc, argv);
    const Bytes header = BitHeader({options.Name, options.Part, options.Date, options.Time},
                                   static_cast<uint32_t>(options.Declared));
    return WriteOrReport(argv[2], header, PatternStream(1, SYNC_PREAMBLE), options.Data);
}

int MakeProm(int argc, char** argv)
{
    const unsigned long long size = ParsePromSize(argc, argv);
    return WriteOrReport(argv[2], {}, PromData(), size);
}

}  // namespace

int main(int argc, char** argv)
{
    if (argc < 3) {
        Usage(argc < 2 ? "missing kind and output file" : "missing output file");
    }
    // An option where OUT belongs means OUT was forgotten; ./-name still works.
    if (argv[2][0] == '\0' || argv[2][0] == '-') {
        Usage("missing output file");
    }
    const std::string kind = argv[1];
    if (kind == "bit") {
        return MakeBit(argc, argv);
    }
    if (kind == "prom") {
        return MakeProm(argc, argv);
    }
    Usage("kind must be 'bit' or 'prom'");
}
