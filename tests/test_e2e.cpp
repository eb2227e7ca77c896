// The real program against simulated buses: standard output, standard
// error and exit status, byte for byte.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cstdlib>
#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include "tests/test_support.h"
#include "tools/simbus/sim_bus.h"

extern char** environ;

namespace {

struct Result {
    int status;
    std::string out;
    std::string err;
};

std::string ReadAll(int fd)
{
    std::string text;
    char buffer[4096];
    ssize_t n;
    while ((n = read(fd, buffer, sizeof buffer)) > 0)
        text.append(buffer, static_cast<std::size_t>(n));
    return text;
}

// Runs the program with its output in files, so neither pipe can fill up.
Result RunVeldran(const std::vector<std::string>& args, const std::string& root)
{
    const std::string out = TempFile({}), err = TempFile({});
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 1, out.c_str(), O_WRONLY | O_TRUNC, 0);
    posix_spawn_file_actions_addopen(&actions, 2, err.c_str(), O_WRONLY | O_TRUNC, 0);
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    std::vector<char*> argv = {const_cast<char*>(VELDRAN_BINARY)};
    for (const auto& a : args)
        argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    setenv("VELDRAN_SYSFS_ROOT", root.c_str(), 1);
    pid_t pid;
    const int rc = posix_spawn(&pid, VELDRAN_BINARY, &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    if (rc != 0)
        return {-1, "", "spawn failed"};
    int status = 0;
    waitpid(pid, &status, 0);
    const int outFd = open(out.c_str(), O_RDONLY), errFd = open(err.c_str(), O_RDONLY);
    Result result = {WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status),
                     ReadAll(outFd), ReadAll(errFd)};
    close(outFd);
    close(errFd);
    return result;
}

const std::string BANNER = "\nVELDRAN version 1.0\nQuorvel 9054 configuration utility for Windows.\n";

const std::string USAGE =
    "\nVELDRAN program usage:\nVELDRAN filename.ext card"
    "\nWhere:"
    "\nfilename.ext specifies the name of the configuration file to be loaded."
    "\ncard is the number of the PCI card.  (For use with multiple 9054 cards.)"
    "\nPurpose: 9054 configuration upload.\n";

// The window's address differs from run to run; everything else must not.
std::string MaskWindow(std::string out)
{
    const std::string label = "memory base:                 0x";
    const std::size_t at = out.find(label);
    if (at == std::string::npos)
        return out;
    const std::size_t digits = at + label.size();
    const std::size_t end = out.find('\n', digits);
    const std::string address = out.substr(digits, end - digits);
    if (address.size() == 2 * sizeof(void*) &&
        address.find_first_not_of("0123456789ABCDEF") == std::string::npos)
        out.replace(digits, address.size(), "<window>");
    return out;
}

std::string CardLines(unsigned bus, unsigned slot, const std::string& board,
                      const std::string& io, const std::string& control)
{
    return "\nUsing PCI device at bus " + std::to_string(bus) + "/device " +
           std::to_string(slot) + "." + board + "\n\nPLX 9054 configuration I/O base port: 0x" +
           io + "\nPLX 9054 control/status port:         0x" + control +
           "\nPLX 9054 memory base:                 0x<window>\n";
}

std::string PromRun(std::size_t size)
{
    const std::string n = std::to_string(size);
    return "\nLooks like a PROM file:\n  Configuration length: " + n + " bytes\n" +
           "\nProgramming...\n" + n + std::string(n.size() < 6 ? 6 - n.size() : 0, ' ') +
           "\r0     \nSuccessfully programmed " + n + " bytes.\n\nFunction complete.\n";
}

class EndToEnd : public ::testing::Test {
protected:
    void SetUp() override
    {
        char dir[] = "/tmp/veldran-e2e-XXXXXX";
        ASSERT_NE(mkdtemp(dir), nullptr);
        root = dir;
        prom = TempFile(PromImage(600));
    }
    void TearDown() override { (void)!std::system(("rm -rf '" + root + "'").c_str()); }
    void MakeBus(const std::vector<SimCard>& cards)
    {
        std::string error;
        ASSERT_TRUE(MakeSimBus(root, cards, &error)) << error;
    }
    std::string root;
    std::string prom;
};

SimCard CardAt(uint8_t bus, uint16_t subsys = 0x3311)
{
    SimCard card;
    card.Bus = bus;
    card.SubDeviceId = subsys;
    card.IoBase = 0xE000 - 0x100u * bus;
    card.Bar3Address = 0xF0000000u + 0x100000u * bus;
    return card;
}

TEST_F(EndToEnd, WrongArgumentCountPrintsUsageOnly)
{
    MakeBus({CardAt(1)});
    const std::vector<std::vector<std::string>> counts = {{}, {prom}, {prom, "0", "extra"}};
    for (const auto& args : counts) {
        const Result r = RunVeldran(args, root);
        EXPECT_EQ(r.status, 100);
        EXPECT_EQ(r.out, BANNER + USAGE);
        EXPECT_EQ(r.err, "");
    }
    EXPECT_EQ(ReadSimControl(root, CardAt(1)), 0x00000002u) << "no card access";
}

TEST_F(EndToEnd, CardNumbersAreCheckedAfterTheFile)
{
    std::vector<SimCard> cards;
    for (uint8_t bus = 1; bus <= 4; ++bus)
        cards.push_back(CardAt(bus));
    MakeBus(cards);
    for (const char* bad : {"16", "-1", "abc", "4294967296", "-4294967295", ""}) {
        const Result r = RunVeldran({prom, bad}, root);
        EXPECT_EQ(r.status, 101) << bad;
        EXPECT_EQ(r.out, BANNER) << bad;
        EXPECT_EQ(r.err, "\n\n\aVELDRAN:\nInvalid card number: " + std::string(bad) + "\n");
    }
    Result r = RunVeldran({"/nonexistent.bit", "16"}, root);
    EXPECT_EQ(r.status, 101);
    EXPECT_EQ(r.err, "\n\n\aVELDRAN:\nFile not found: /nonexistent.bit\n");

    // The scanner's reading: digits up to the first non-digit, blanks first.
    r = RunVeldran({prom, "3abc"}, root);
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_THAT(r.out, ::testing::HasSubstr("bus 4/device 0."));
    r = RunVeldran({prom, " 2"}, root);
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_THAT(r.out, ::testing::HasSubstr("bus 3/device 0."));
}

TEST_F(EndToEnd, NoCardAtThatNumber)
{
    MakeBus({CardAt(1)});
    const Result r = RunVeldran({prom, "1"}, root);
    EXPECT_EQ(r.status, 101);
    EXPECT_EQ(r.out, BANNER);
    EXPECT_EQ(r.err, "\n\n\aVELDRAN:\nCan't find 9054 card number 1.\n\n");
}

TEST_F(EndToEnd, EveryBoardIsNamedAndProgrammed)
{
    const std::pair<uint16_t, std::string> boards[] = {
        {0x3133, "\nFound Quorvel KX-10 card, old - update EEPROM!"},
        {0x3311, "\nFound Quorvel KX-10 card"},
        {0x3312, "\nFound Quorvel KX-20 card"},
        {0x3313, "\nFound Quorvel KX-31 card"},
        {0x3314, "\nFound Quorvel KX-30 card"},
        {0x3315, "\nFound Quorvel KX-40 card"},
        {0x3472, "\nFound Quorvel KX-50 card"},
        {0x3473, "\nFound Quorvel KX-51 card"},
        {0x1234, "\nUnknown PLX PCI9054 based card!"},
    };
    uint8_t bus = 1;
    for (const auto& [subsys, message] : boards) {
        const SimCard card = CardAt(bus++, subsys);
        MakeBus({card});
        char io[8], control[8];
        std::snprintf(io, sizeof io, "%04X", static_cast<unsigned>(card.IoBase));
        std::snprintf(control, sizeof control, "%04X", static_cast<unsigned>(card.IoBase + 0x6C));
        const Result r = RunVeldran({prom, std::to_string(bus - 2)}, root);
        EXPECT_EQ(r.status, 0) << r.err;
        EXPECT_EQ(r.err, "");
        EXPECT_EQ(MaskWindow(r.out),
                  BANNER + CardLines(card.Bus, 0, message, io, control) + PromRun(600));
        // MODE and PROGRAM left set, DONE untouched.
        EXPECT_EQ(ReadSimControl(root, card), 0x000D0002u);
    }
}

TEST_F(EndToEnd, CardFailuresEndWithTheirStatus)
{
    SimCard deaf = CardAt(1);
    deaf.Decoding = false;
    MakeBus({deaf});
    Result r = RunVeldran({prom, "0"}, root);
    EXPECT_EQ(r.status, 105);
    EXPECT_EQ(r.err, "\n\n\aVELDRAN:\nCan't gain access to 9054 card number 0.\n\n");

    SimCard busy = CardAt(2);
    busy.Control = 0;
    MakeBus({busy});
    r = RunVeldran({prom, "1"}, root);
    EXPECT_EQ(r.status, 102);
    EXPECT_THAT(r.out, ::testing::EndsWith("\nProgramming...\n"));
    EXPECT_EQ(r.err,
              "\n\n\aVELDRAN:\n<DONE> status bit indicates busy at start of programming.\n");
}

TEST_F(EndToEnd, BadFileIsReportedAfterTheCardDetails)
{
    SimCard card = CardAt(1);
    MakeBus({card});
    const std::string bad = TempFile(Bytes{0x01, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14});
    const Result r = RunVeldran({bad, "0"}, root);
    EXPECT_EQ(r.status, 103);
    EXPECT_EQ(MaskWindow(r.out),
              BANNER + CardLines(1, 0, "\nFound Quorvel KX-10 card", "DF00", "DF6C"));
    EXPECT_EQ(r.err, "\n\n\aVELDRAN:\nUnknown file type.\n");
}

}  // namespace
