// Recognising .BIT and PROM files and reading the .BIT header.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "card/byte_writers.h"
#include "configfile/detect_config_file.h"
#include "configfile/file_access.h"
#include "run/run_state.h"
#include "tests/fake_plx.h"
#include "tests/test_support.h"

using ::testing::ExitedWithCode;
using ::testing::HasSubstr;
using ::testing::StrEq;

static const char SHORT_FILE[] = "File I/O error.  Unexpected end of file?";

class DetectTest : public ::testing::Test {
protected:
    void SetUp() override { ResetFake(); }
    void TearDown() override
    {
        if (State.ConfigFile != nullptr)
            std::fclose(State.ConfigFile);
        State.ConfigFile = nullptr;
    }
    std::string Detect(const Bytes& file)
    {
        OpenConfigFile(TempFile(file));
        ::testing::internal::CaptureStdout();
        DetectConfigFile();
        return ::testing::internal::GetCapturedStdout();
    }
    void ExpectFailure(const Bytes& file, int status, const std::string& message)
    {
        OpenConfigFile(TempFile(file));
        EXPECT_EXIT(DetectConfigFile(), ExitedWithCode(status), StrEq(ErrorBlock(message)));
        std::fclose(State.ConfigFile);
        State.ConfigFile = nullptr;
    }
};

TEST_F(DetectTest, BitFileHeaderIsPrintedAndTheFileLeftAtItsData)
{
    const Bytes data = Pattern(100);
    const Bytes file = BitFile({"top.ncd;UserID=0xFFFFFFFF", "3s50atq144", "2019/08/04",
                                "19:33:09"},
                               100, data);
    EXPECT_EQ(Detect(file), "\nLooks like a .BIT file:"
                            "\n  Design name:          top.ncd;UserID=0xFFFFFFFF"
                            "\n  Part I.D.:            3s50atq144"
                            "\n  Design date:          2019/08/04"
                            "\n  Design time:          19:33:09"
                            "\n  Configuration length: 100 bytes\n");
    EXPECT_EQ(State.ConfigLength, 100);
    EXPECT_EQ(State.ByteWriter, &WriteByteReversed);
    EXPECT_EQ(std::ftell(State.ConfigFile), static_cast<long>(file.size() - data.size()));
}

TEST_F(DetectTest, PromImageIsSentWholeFromItsFirstByte)
{
    const std::string out = Detect(PromImage(600));
    EXPECT_EQ(out, "\nLooks like a PROM file:\n  Configuration length: 600 bytes\n");
    EXPECT_EQ(State.ConfigLength, 600);
    EXPECT_EQ(State.ByteWriter, &WriteByteRaw);
    EXPECT_EQ(std::ftell(State.ConfigFile), 0);
}

TEST_F(DetectTest, DeclaredLengthIsReportedAsItStandsEvenAboveTwoGigabytes)
{
    EXPECT_THAT(Detect(BitFile({"a", "b", "c", "d"}, 0xFFFFFFF0u, Pattern(4))),
                HasSubstr("Configuration length: 4294967280 bytes\n"));
}

TEST_F(DetectTest, EmptyFieldPrintsNothingAndMovesThreeBytes)
{
    const Bytes file = {0x00, 0x09, 0x0F, 0xF0, 0x0F, 0xF0, 0x0F, 0xF0, 0x0F, 0xF0, 0x00, 0x00,
                        0x01, 'a',  0x00, 0x00, 'b',  0x00, 0x02, 'p',  0x00, 'c',  0x00, 0x02,
                        'd',  0x00, 'd',  0x00, 0x02, 't',  0x00, 'e',  0x00, 0x00, 0x00, 0x03,
                        1,    2,    3};
    EXPECT_EQ(Detect(file), "\nLooks like a .BIT file:"
                            "\n  Design name:          "
                            "\n  Part I.D.:            p"
                            "\n  Design date:          d"
                            "\n  Design time:          t"
                            "\n  Configuration length: 3 bytes\n");
    EXPECT_EQ(std::ftell(State.ConfigFile), 36);
}

TEST_F(DetectTest, ControlCharactersInTextsAreNotSentToTheTerminal)
{
    const std::string out = Detect(BitFile({"a\x1b[2Jb\x7f", "\x01x\x1f", "caf\xc3\xa9", "t"}, 0, {}));
    EXPECT_THAT(out, HasSubstr("Design name:          a?[2Jb?\n"));
    EXPECT_THAT(out, HasSubstr("Part I.D.:            ?x?\n"));
    EXPECT_THAT(out, HasSubstr("Design date:          caf\xc3\xa9\n"));

    // C1 controls, raw or UTF-8 encoded, start escape sequences too; UTF-8
    // letters whose bytes fall in 0x80..0x9F, and Latin-1 letters, do not.
    const std::string c1 = Detect(BitFile(
        {"\x9b" "31m|\xc2\x9b" "2J|\xc2\x80|\x85", "\xc3\x80|\xe2\x80\x94|\xe9|\xc2\xa0",
         "\xc2", "\xe2\x80"},
        0, {}));
    EXPECT_THAT(c1, HasSubstr("Design name:          ?31m|?2J|?|?\n"));
    EXPECT_THAT(c1, HasSubstr("Part I.D.:            \xc3\x80|\xe2\x80\x94|\xe9|\xc2\xa0\n"));
    // A sequence cut short by the field's end: its bytes stand alone.
    EXPECT_THAT(c1, HasSubstr("Design date:          \xc2\n"));
    EXPECT_THAT(c1, HasSubstr("Design time:          \xe2?\n"));
}

TEST_F(DetectTest, ShortAndUnknownFilesEndWithStatus103)
{
    Bytes thirteen = BitFile(Bytes{});
    thirteen.resize(13);
    ExpectFailure(thirteen, EXIT_BAD_FILE, SHORT_FILE);
    ExpectFailure({}, EXIT_BAD_FILE, SHORT_FILE);

    // Every examined byte of either signature, changed alone: a first byte
    // of 0x01 is neither format's.
    const std::pair<Bytes, std::vector<std::size_t>> signatures[] = {
        {BitFile(Bytes{1}), {0, 1, 11, 12, 13}}, {PromImage(64), {0, 4, 5, 6, 7}}};
    for (const auto& [good, examined] : signatures)
        for (std::size_t at : examined) {
            SCOPED_TRACE("byte " + std::to_string(at));
            Bytes bad = good;
            bad[at] ^= 0x01;
            ExpectFailure(bad, EXIT_BAD_FILE, "Unknown file type.");
        }
}

TEST_F(DetectTest, FieldsMustRunExactlyToTheirLength)
{
    // Declared 10, NUL as the 6th byte: five characters shown, then the error.
    Bytes file = BitFile(Bytes{});
    file.resize(14);
    const Bytes field = {0, 10, 'h', 'e', 'l', 'l', 'o', 0, 'x', 'x', 'x', 'x', 'b'};
    file.insert(file.end(), field.begin(), field.end());
    OpenConfigFile(TempFile(file));
    const std::string shown = TempFile({});
    EXPECT_EXIT(
        {
            std::freopen(shown.c_str(), "w", stdout);
            DetectConfigFile();
        },
        ExitedWithCode(EXIT_BAD_FILE), StrEq(ErrorBlock(SHORT_FILE)));
    std::fclose(State.ConfigFile);
    State.ConfigFile = nullptr;
    std::FILE* in = std::fopen(shown.c_str(), "r");
    char text[128] = {};
    (void)!std::fread(text, 1, sizeof text - 1, in);
    std::fclose(in);
    EXPECT_STREQ(text, "\nLooks like a .BIT file:\n  Design name:          hello");

    // Cut inside a field, inside its length bytes, and inside the data length.
    const Bytes whole = BitFile(Pattern(8));
    for (std::size_t cut : {std::size_t{15}, std::size_t{20}, whole.size() - 10, whole.size() - 9})
        ExpectFailure(Bytes(whole.begin(), whole.begin() + cut), EXIT_BAD_FILE, SHORT_FILE);
}

TEST_F(DetectTest, FileLengthKeepsThePosition)
{
    OpenConfigFile(TempFile(Pattern(1000)));
    std::fseek(State.ConfigFile, 123, SEEK_SET);
    EXPECT_EQ(FileLength(), 1000);
    EXPECT_EQ(std::ftell(State.ConfigFile), 123);
}

// A sparse image costs no disk. Its length, 64 bytes past 4 GiB, would be
// 64 once cut to 32 bits.
TEST_F(DetectTest, PromLongerThanTheLengthCanHoldIsASeekError)
{
    const std::string path = TempFile(PromImage(64));
    ASSERT_EQ(truncate(path.c_str(), 0x100000040LL), 0);
    OpenConfigFile(path);
    EXPECT_EXIT(
        {
            std::freopen("/dev/null", "w", stdout);
            DetectConfigFile();
        },
        ExitedWithCode(EXIT_FILE_IO), StrEq(ErrorBlock("File seek error.")));
}

// What --check leans on to give a read error mid-file the run's 104: a
// read that fails after the first block, seen by the error flag or only
// by errno, is no end of file.
static ssize_t FailAfterOneBlock(void* cookie, char* buffer, size_t size)
{
    int* reads = static_cast<int*>(cookie);
    if ((*reads)++ == 0) {
        std::memset(buffer, 0xAB, size);
        return static_cast<ssize_t>(size);
    }
    errno = EIO;
    return -1;
}

TEST_F(DetectTest, ReadToEndTellsAReadErrorFromTheEnd)
{
    OpenConfigFile(TempFile(PromImage(3 * BLOCK_SIZE)));
    EXPECT_TRUE(ReadToEnd());
    std::fclose(State.ConfigFile);
    int reads = 0;
    cookie_io_functions_t io = {};
    io.read = FailAfterOneBlock;
    State.ConfigFile = fopencookie(&reads, "rb", io);
    ASSERT_NE(State.ConfigFile, nullptr);
    EXPECT_FALSE(ReadToEnd());
}
