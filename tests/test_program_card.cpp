// The programming sequence: control handshake, streaming, DONE, trailer.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <csignal>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <sstream>

#include "card/byte_writers.h"
#include "configfile/detect_config_file.h"
#include "run/run_state.h"
#include "tests/fake_plx.h"
#include "tests/test_support.h"
#include "upload/program_card.h"

using ::testing::ElementsAre;
using ::testing::ExitedWithCode;
using ::testing::HasSubstr;
using ::testing::KilledBySignal;
using ::testing::Not;
using ::testing::StrEq;

class ProgramTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        ResetFake();
        State.ControlPort = 0xE06C;
        State.DataWindow = Fake.Window;
        State.DeviceOpen = 1;
        State.WindowMapped = 1;
    }
    void Load(const Bytes& file)
    {
        OpenConfigFile(TempFile(file));
        ::testing::internal::CaptureStdout();
        DetectConfigFile();
        (void)::testing::internal::GetCapturedStdout();
    }
    std::string Program()
    {
        ::testing::internal::CaptureStdout();
        ProgramCard();
        return ::testing::internal::GetCapturedStdout();
    }
    // Standard output of a death test's child, sent to a file.
    std::string ChildOutput() const
    {
        std::ifstream in(childOut);
        std::stringstream text;
        text << in.rdbuf();
        return text.str();
    }
    // ProgramCard in a death test's child, its output kept for ChildOutput().
    template <typename HowItEnds>
    void ExpectProgramEnds(HowItEnds ends, const std::string& message)
    {
        EXPECT_EXIT(
            {
                std::freopen(childOut.c_str(), "w", stdout);
                ProgramCard();
            },
            ends, StrEq(ErrorBlock(message)));
    }
    void ExpectProgramFails(int status, const std::string& message)
    {
        ExpectProgramEnds(ExitedWithCode(status), message);
    }
    std::string childOut = TempFile({});
};

// A stream whose reads fail once some bytes have been delivered: they
// return result, with errno set to error; with signal set, as a read from
// a FIFO that a signal cuts short. Result 0 and error 0 end it cleanly.
struct FailingSource {
    Bytes bytes;
    std::size_t position;
    std::size_t failAfter;
    ssize_t result = -1;
    int error = EIO;
    int signal = 0;
    std::vector<std::clock_t> readAt = {};  // the processor clock at each read
};

static ssize_t FailingRead(void* cookie, char* buffer, size_t size)
{
    auto* source = static_cast<FailingSource*>(cookie);
    source->readAt.push_back(std::clock());
    if (source->position >= source->failAfter) {
        if (source->signal != 0) {
            raise(source->signal);
            errno = EINTR;
            return -1;
        }
        errno = source->error;
        return source->result;
    }
    const std::size_t n = std::min(size, source->failAfter - source->position);
    std::memcpy(buffer, source->bytes.data() + source->position, n);
    source->position += n;
    return static_cast<ssize_t>(n);
}

static void StreamFrom(FailingSource* source)
{
    cookie_io_functions_t io = {};
    io.read = FailingRead;
    State.ConfigFile = fopencookie(source, "rb", io);
    ASSERT_NE(State.ConfigFile, nullptr);
    State.ConfigLength = static_cast<int32_t>(source->bytes.size());
    State.ByteWriter = WriteByteRaw;
}

TEST_F(ProgramTest, CountdownShowsWhatRemainsBeforeEachBlock)
{
    Load(PromImage(600));
    EXPECT_EQ(Program(), "\nProgramming...\n600   \r0     \nSuccessfully programmed 600 bytes.");

    SetUp();
    Load(PromImage(40960));
    EXPECT_EQ(Program(), "\nProgramming...\n40960 \r24576 \r8192  \r0     "
                         "\nSuccessfully programmed 40960 bytes.");

    SetUp();
    Load(BitFile(Bytes{}));
    EXPECT_EQ(Program(), "\nProgramming...\n0     \nSuccessfully programmed 0 bytes.");
}

TEST_F(ProgramTest, EverythingAfterTheLengthIsSentWhateverItDeclares)
{
    Load(BitFile({"a", "b", "c", "d"}, 100, Pattern(20000, 3)));
    // Below zero, the 32-bit countdown shows as a large unsigned figure.
    EXPECT_EQ(Program(), "\nProgramming...\n100   \r4294951012\r0     "
                         "\nSuccessfully programmed 20000 bytes.");
}

TEST_F(ProgramTest, ControlRegisterGoesThroughTheHandshakeAndEndsWithTrailer)
{
    Fake.Register = 0x00010002;  // PROGRAM left set by an earlier run
    // Whole blocks, so that the read that finds the end comes after the
    // last store.
    static FailingSource source;
    const Bytes image = PromImage(BLOCK_SIZE);
    ASSERT_NE(image.back(), 0xFF);
    source = {image, 0, image.size(), 0, 0};
    StreamFrom(&source);
    Program();
    EXPECT_THAT(Fake.Written, ElementsAre(0x000D0002u, 0x000C0002u, 0x000D0002u));
    // Setting PROGRAM is the last write; the 101 DONE reads follow it.
    std::size_t programSet = 0;
    for (std::size_t i = 0; i < Fake.Calls.size(); ++i)
        if (Fake.Calls[i].rfind("PortWrite", 0) == 0)
            programSet = i;
    ASSERT_EQ(Fake.Calls.at(programSet), "PortWrite 57452 4 2 0x000D0002");
    std::vector<std::string> after(Fake.Calls.begin() + programSet + 1, Fake.Calls.end());
    ASSERT_FALSE(after.empty());
    EXPECT_EQ(after.back(), "Hold");
    after.pop_back();
    EXPECT_EQ(after, std::vector<std::string>(101, "PortRead 57452 4 2"));
    // The FPGA clears its memory after PROGRAM is set, and raises DONE after
    // the last byte: a tick (a millisecond of processor clock) for each,
    // before the first read of the file and after the read that finds its
    // end.
    ASSERT_FALSE(source.readAt.empty());
    EXPECT_GE(source.readAt.front() - Fake.CallTimes[programSet], CLOCKS_PER_SEC / 1000);
    EXPECT_GE(Fake.CallTimes.at(programSet + 1) - source.readAt.back(), CLOCKS_PER_SEC / 1000);
    // DONE is read with the data's last byte in the window, the trailing
    // bytes come after it.
    EXPECT_EQ(Fake.WindowAtCall.at(programSet + 1), image.back());
    EXPECT_EQ(Fake.WindowAtCall.back(), 0xFF) << "the card is held once it has its trailing bytes";
    EXPECT_EQ(Fake.Window[0], 0xFF);
    EXPECT_EQ(State.ConfigFile, nullptr);
}

static Bytes Stored;
static void StoreByte(void* context, uint8_t byte)
{
    EXPECT_EQ(context, &Stored);
    Stored.push_back(byte);
}

// A window the access could not map: every byte goes through its store,
// the data bit-reversed for a .BIT file and then the trailing bytes, and
// none into the stand-in window.
TEST_F(ProgramTest, AWindowWithAStoreTakesEveryByteThroughIt)
{
    const Bytes data = Pattern(20000, 5);
    Load(BitFile(data));
    Stored.clear();
    State.WindowStore = StoreByte;
    State.WindowStoreContext = &Stored;
    Program();
    Bytes expected;
    for (const uint8_t byte : data)
        expected.push_back(ReverseBits(byte));
    expected.insert(expected.end(), 24, 0xFF);
    EXPECT_EQ(Stored, expected);
    EXPECT_EQ(Fake.Window[0], 0);
}

// Through VFIO a card closed by the run's end is reset: a load that no
// holder keeps is lost, and must not be reported as a success.
TEST_F(ProgramTest, ACardThatCannotBeHeldIsNoSuccess)
{
    Fake.HoldStatus = PLX_STATUS_OK + 1;
    Load(PromImage(100));
    ExpectProgramFails(EXIT_CARD_ACCESS,
                       "Can't start the holder that keeps the 9054 card loaded after this run.\n");
    EXPECT_THAT(ChildOutput(), Not(HasSubstr("Successfully")));
    EXPECT_EQ(ReleaseCalls(), "Unmap;Close;");
}

TEST_F(ProgramTest, DoneBusyAtStartSendsNothing)
{
    Fake.Register = 0;
    Load(PromImage(100));
    ExpectProgramFails(EXIT_NOT_DONE, "<DONE> status bit indicates busy at start of programming.");
    EXPECT_EQ(ChildOutput(), "\nProgramming...\n");
    EXPECT_EQ(Fake.Window[0], 0);
    EXPECT_EQ(ReleaseCalls(), "Unmap;Close;");
}

TEST_F(ProgramTest, DoneThatFlickersDuringConfirmationFails)
{
    Fake.ClearDoneAtReadAfterWrite = 57;  // in the middle of the confirmation
    Load(PromImage(100));
    ExpectProgramFails(EXIT_NOT_DONE, "Error: Not <DONE>; programming not completed.");
    EXPECT_THAT(ChildOutput(), Not(HasSubstr("Successfully")));
    EXPECT_EQ(ReleaseCalls(), "Unmap;Close;");
}

TEST_F(ProgramTest, RegisterFailuresDuringTheSequence)
{
    Load(PromImage(100));
    Fake.FailPortReadAt = 2;  // the status read after PROGRAM is cleared
    EXPECT_EXIT(ProgramCard(), ExitedWithCode(EXIT_CARD_ACCESS),
                StrEq(ErrorBlock("Can't access 9054 card status register.\n")));
    Fake.FailPortReadAt = 3;  // the read before PROGRAM is set
    EXPECT_EXIT(ProgramCard(), ExitedWithCode(EXIT_CARD_ACCESS),
                StrEq(ErrorBlock("Can't access 9054 card control register.\n")));
    Fake.FailPortReadAt = -1;
    Fake.FailPortWriteAt = 2;  // the write that sets PROGRAM
    EXPECT_EXIT(ProgramCard(), ExitedWithCode(EXIT_CARD_ACCESS),
                StrEq(ErrorBlock("Can't access 9054 card control register.\n")));
}

TEST_F(ProgramTest, ReadErrorMidStreamClearsProgramAndNeverReportsSuccess)
{
    // Seen by the stream's error flag alone; then only through errno, by a
    // library that reports the failed read as an end of file.
    const std::pair<ssize_t, int> failures[] = {{-1, 0}, {0, EIO}};
    for (const auto& [result, error] : failures) {
        SetUp();
        SCOPED_TRACE(result < 0 ? "error flag" : "errno alone");
        static FailingSource source;
        source = {PromImage(50000), 0, 2 * BLOCK_SIZE, result, error};
        StreamFrom(&source);
        ExpectProgramFails(EXIT_FILE_IO, "File I/O error.");
        EXPECT_THAT(ChildOutput(), Not(HasSubstr("Successfully")));
        std::string lastWrite;
        for (const auto& call : ReadFakeLog())
            if (call.rfind("PortWrite", 0) == 0)
                lastWrite = call;
        EXPECT_EQ(lastWrite, "PortWrite 57452 4 2 0x000C0002") << "PROGRAM must end cleared";
        EXPECT_EQ(ReleaseCalls(), "Unmap;Close;");
    }
}

// The operator's stop request is what ends the run, not the read it broke.
TEST_F(ProgramTest, AnInterruptThatCutsAReadShortIsNoReadError)
{
    static FailingSource source;
    source = {PromImage(50000), 0, 2 * BLOCK_SIZE, -1, EINTR, SIGTERM};
    StreamFrom(&source);
    // Ended by the signal itself, so that a script running it stops too.
    ExpectProgramEnds(KilledBySignal(SIGTERM), "Programming interrupted.");
    EXPECT_EQ(ReleaseCalls(), "Unmap;Close;");
}

static void OwnHandler(int) {}

// nohup, or a caller with a handler of its own: after the stream each
// signal has what it had before, the default included.
TEST_F(ProgramTest, SignalsAreGivenBackAsTheyWereFound)
{
    struct sigaction ignore = {}, own = {}, hup = {}, quit = {}, after = {};
    ignore.sa_handler = SIG_IGN;
    own.sa_handler = OwnHandler;
    sigaction(SIGHUP, &ignore, &hup);
    sigaction(SIGQUIT, &own, &quit);
    Load(PromImage(100));
    Program();
    sigaction(SIGHUP, &hup, &after);
    EXPECT_EQ(after.sa_handler, SIG_IGN);
    sigaction(SIGQUIT, &quit, &after);
    EXPECT_EQ(after.sa_handler, OwnHandler);
    for (const int signal : {SIGUSR1, SIGRTMIN, SIGRTMAX}) {
        sigaction(signal, nullptr, &after);
        EXPECT_EQ(after.sa_handler, SIG_DFL) << signal;
    }
}
