#include "configfile/detect_config_file.h"

#include <cinttypes>
#include <cstdio>
#include <string>

#include "card/byte_writers.h"
#include "configfile/file_access.h"
#include "run/fatal_exit.h"
#include "run/run_state.h"
#include "run/safe_text.h"

constexpr std::size_t HEADER_SIZE = 14;
constexpr uint32_t FIRST_FIELD_OFFSET = 14;

static const char SHORT_FILE[] = "File I/O error.  Unexpected end of file?";
static const char UNKNOWN_TYPE[] = "Unknown file type.";
static const char SEEK_ERROR[] = "File seek error.";

static const char* const FIELD_LABELS[] = {
    "\n  Design name:          ",
    "\n  Part I.D.:            ",
    "\n  Design date:          ",
    "\n  Design time:          ",
};

// Prints one length-prefixed text field of a .BIT header at *offset, keeps
// it as header text `field` and moves *offset past it and the key byte that
// follows.
static void ReadBitField(uint32_t* offset, int field)
{
    uint8_t lengthBytes[2];
    if (ReadAt(*offset, 2, lengthBytes) != 2)
        FatalExit(EXIT_BAD_FILE, "%s", SHORT_FILE);
    const uint32_t length = lengthBytes[0] * 256u + lengthBytes[1];
    uint32_t count = 0;
    std::string text;
    if (fseeko(State.ConfigFile, static_cast<off_t>(*offset) + 2, SEEK_SET) == 0) {
        while (count < length) {
            const int c = std::fgetc(State.ConfigFile);
            if (c == EOF)
                break;
            ++count;
            if (c == 0)
                break;
            text += static_cast<char>(c);
        }
    }
    // The text comes from the file: whole, so that a control character
    // spelt in UTF-8 is seen as one, and never raw to the terminal.
    std::fputs(SafeText(text.data(), text.size()).c_str(), stdout);
    char* const kept = State.HeaderText[field];
    kept[text.copy(kept, HEADER_TEXT_KEPT)] = '\0';
    if (count != length)
        FatalExit(EXIT_BAD_FILE, "%s", SHORT_FILE);
    *offset += length + 3;
}

static bool IsPromHeader(const uint8_t* h)
{
    return h[0] == 0xFF && h[4] == 0x55 && h[5] == 0x99 && h[6] == 0xAA && h[7] == 0x66;
}

static bool IsBitHeader(const uint8_t* h)
{
    return h[0] == 0x00 && h[1] == 0x09 && h[11] == 0x00 && h[12] == 0x01 && h[13] == 0x61;
}

static void PrintConfigLength()
{
    std::printf("\n  Configuration length: %" PRIu32 " bytes",
                static_cast<uint32_t>(State.ConfigLength));
}

static void DetectPromFile(const uint8_t* header)
{
    if (!IsPromHeader(header))
        FatalExit(EXIT_BAD_FILE, "%s", UNKNOWN_TYPE);
    std::printf("\nLooks like a PROM file:");
    State.ConfigFormat = "prom";
    State.ByteWriter = WriteByteRaw;
    State.ConfigLength = FileLength();
    if (State.ConfigLength < 0)
        FatalExit(EXIT_FILE_IO, "%s", SEEK_ERROR);
    PrintConfigLength();
    // The image is sent whole, header included.
    if (fseeko(State.ConfigFile, 0, SEEK_SET) != 0)
        FatalExit(EXIT_FILE_IO, "%s", SEEK_ERROR);
}

static void DetectBitFile(const uint8_t* header)
{
    if (!IsBitHeader(header))
        FatalExit(EXIT_BAD_FILE, "%s", UNKNOWN_TYPE);
    std::printf("\nLooks like a .BIT file:");
    State.ConfigFormat = "bit";
    uint32_t offset = FIRST_FIELD_OFFSET;
    for (int field = HEADER_DESIGN; field < HEADER_TEXTS; ++field) {
        std::fputs(FIELD_LABELS[field], stdout);
        ReadBitField(&offset, field);
    }
    uint8_t b[4];
    if (ReadAt(offset, 4, b) != 4)
        FatalExit(EXIT_BAD_FILE, "%s", SHORT_FILE);
    const uint32_t length = (uint32_t{b[0]} << 24) | (uint32_t{b[1]} << 16) |
                            (uint32_t{b[2]} << 8) | uint32_t{b[3]};
    State.ConfigLength = static_cast<int32_t>(length);
    PrintConfigLength();
    // The read of the length left the file at the first data byte.
    State.ByteWriter = WriteByteReversed;
}

void DetectConfigFile()
{
    uint8_t header[HEADER_SIZE];
    if (ReadAt(0, HEADER_SIZE, header) != HEADER_SIZE)
        FatalExit(EXIT_BAD_FILE, "%s", SHORT_FILE);
    if (header[0] != 0x00)
        DetectPromFile(header);
    else
        DetectBitFile(header);
    std::printf("\n");
    std::fflush(stdout);
}
