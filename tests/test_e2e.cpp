// The real program against simulated buses: standard output, standard
// error and exit status, byte for byte.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <map>
#include <memory>
#include <thread>

#include <csignal>
#include <fcntl.h>
#include <filesystem>
#include <poll.h>
#include <pwd.h>
#include <sys/file.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <sys/un.h>
#include <unistd.h>

#include "tests/e2e_fixture.h"
#include "tests/test_support.h"
#include "tools/simbus/sim_bus.h"
#include "tools/testkit/files.h"
#include "tools/testkit/process.h"

namespace {

TEST_F(EndToEnd, WrongArgumentCountPrintsUsageOnly)
{
    MakeBus({CardAt(1)});
    const std::vector<std::vector<std::string>> counts = {{}, {prom}, {prom, "0", "extra"}};
    for (const auto& args : counts) {
        const Outcome r = RunVeldran(args, root);
        EXPECT_EQ(r.Status, 100);
        EXPECT_EQ(r.Out, BANNER + USAGE);
        EXPECT_EQ(r.Err, "");
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
        const Outcome r = RunVeldran({prom, bad}, root);
        EXPECT_EQ(r.Status, 101) << bad;
        EXPECT_EQ(r.Out, BANNER) << bad;
        EXPECT_EQ(r.Err, ErrorBlock("Invalid card number: " + std::string(bad)));
    }
    Outcome r = RunVeldran({"/nonexistent.bit", "16"}, root);
    EXPECT_EQ(r.Status, 101);
    EXPECT_EQ(r.Err, ErrorBlock("File not found: /nonexistent.bit"));

    // The scanner's reading: digits up to the first non-digit, blanks first.
    r = RunVeldran({prom, "3abc"}, root);
    EXPECT_EQ(r.Status, 0) << r.Err;
    EXPECT_THAT(r.Out, ::testing::HasSubstr("bus 4/device 0."));
    r = RunVeldran({prom, " 2"}, root);
    EXPECT_EQ(r.Status, 0) << r.Err;
    EXPECT_THAT(r.Out, ::testing::HasSubstr("bus 3/device 0."));
    r = RunVeldran({prom, "0x3"}, root);
    EXPECT_EQ(r.Status, 0) << r.Err;
    EXPECT_THAT(r.Out, ::testing::HasSubstr("bus 1/device 0."));
}

SimCard CardIn(uint32_t domain, uint8_t bus)
{
    SimCard card = CardAt(bus);
    card.Domain = domain;
    card.Bar3Address += domain << 24;
    return card;
}

TEST_F(EndToEnd, AnAddressSelectsTheCardThere)
{
    const SimCard a = CardIn(0, 1), b = CardIn(0, 3), c = CardIn(1, 2), d = CardIn(0, 0x0a);
    MakeBus({a, b, c, d});
    struct Case {
        const char* card;
        SimCard programmed;
    } cases[] = {{"0000:03:00.0", b}, {"03:00.0", b}, {"0001:02:00.0", c}, {"0000:0A:00.0", d},
                 {"0a:00.0", d}};
    for (const Case& k : cases) {
        for (const SimCard& card : {a, b, c, d})
            ASSERT_TRUE(WriteSimControl(root, card, 0x00000002u, nullptr));
        const Outcome r = RunVeldran({prom, k.card}, root);
        EXPECT_EQ(r.Status, 0) << k.card << r.Err;
        EXPECT_THAT(r.Out, ::testing::HasSubstr("\nUsing PCI device at bus " +
                                                std::to_string(k.programmed.Bus) + "/device 0."));
        for (const SimCard& card : {a, b, c, d})
            EXPECT_EQ(ReadSimControl(root, card),
                      SimDeviceName(card) == SimDeviceName(k.programmed) ? 0x000D0002u : 0x2u)
                << k.card << " " << SimDeviceName(card);
    }
}

// Other cards come and go, in a loop, while runs by address go on: a run
// for a card present throughout must find it every time. Without one look
// at the bus for the whole search, a run that counted a card at one index
// and missed it at the next lost its own.
TEST_F(EndToEnd, AnAddressRunFindsItsCardWhileOthersComeAndGo)
{
    constexpr int RUNS = 150;
    const std::vector<SimCard> coming = {CardAt(2), CardAt(3), CardAt(4)};
    const SimCard stays = CardAt(8);
    MakeBus({CardAt(1), coming[0], coming[1], coming[2], stays});
    std::atomic<bool> stop{false};
    std::thread hotplug([&] {
        for (unsigned turn = 0; !stop; ++turn) {
            const std::string entry = SimDevicePath(root, coming[turn % 3]);
            const std::string away = root + "/away";
            std::rename(entry.c_str(), away.c_str());
            std::rename(away.c_str(), entry.c_str());
        }
    });
    int failures = 0;
    std::string failure;
    for (int run = 0; run < RUNS; ++run) {
        const Outcome r = RunVeldran({prom, "0000:08:00.0"}, root);
        if (r.Status != 0 && failures++ == 0)
            failure = std::to_string(r.Status) + " " + r.Err;
    }
    stop = true;
    hotplug.join();
    EXPECT_EQ(failures, 0) << "of " << RUNS << " runs; the first: " << failure;
    EXPECT_EQ(ReadSimControl(root, stays), 0x000D0002u);
}

TEST_F(EndToEnd, ACardByAddressIsNamedByItsNumber)
{
    SimCard deaf = CardAt(5);
    deaf.Decoding = false;
    MakeBus({CardAt(1), CardAt(3), deaf});
    const Outcome r = RunVeldran({prom, "0000:05:00.0"}, root);
    EXPECT_EQ(r.Status, 105);
    EXPECT_EQ(r.Err, ErrorBlock("Can't gain access to 9054 card number 2.\n"));
}

// With a colon the text is an address and names that device or none:
// before, each of these fell back to the number its first digits spell.
TEST_F(EndToEnd, ANearMissAddressProgramsNoCard)
{
    const SimCard a = CardIn(0, 3), b = CardIn(0, 5), c = CardIn(1, 5);
    MakeBus({a, b, c});
    for (const char* text : {"0000:05:00", "0000:5:00.0", "0001:5:00.0", "1:05:00.0",
                             "0000:ff:1f.00", "0000:05:00.0x", "3:00.0", "0:05:00.0"}) {
        const Outcome r = RunVeldran({prom, text}, root);
        EXPECT_EQ(r.Status, 101) << text;
        EXPECT_EQ(r.Out, BANNER) << text;
        EXPECT_EQ(r.Err, ErrorBlock("Invalid card address: " + std::string(text))) << text;
    }
    for (const SimCard& card : {a, b, c})
        EXPECT_EQ(ReadSimControl(root, card), 0x00000002u) << SimDeviceName(card);
    for (const char* text : {"0000:05:00.0 ", "0000:05:00.0\r", " 0000:05:00.0\r\n"}) {
        ASSERT_TRUE(WriteSimControl(root, b, 0x00000002u, nullptr));
        const Outcome r = RunVeldran({prom, text}, root);
        EXPECT_EQ(r.Status, 0) << r.Err;
        EXPECT_THAT(r.Out, ::testing::HasSubstr("bus 5/device 0."));
        EXPECT_EQ(ReadSimControl(root, b), 0x000D0002u);
    }
    for (const SimCard& card : {a, c})
        EXPECT_EQ(ReadSimControl(root, card), 0x00000002u) << SimDeviceName(card);
}

TEST_F(EndToEnd, NoCardAtThatAddressOpensNothing)
{
    SimCard function1 = CardAt(3), other = CardAt(4);
    function1.Function = 1;
    other.DeviceId = 0x9056;
    MakeBus({CardAt(3), function1, other});
    for (const char* address : {"0000:03:00.1", "04:00.0", "0000:07:00.0", "0001:03:00.0"}) {
        const Outcome r = RunVeldran({prom, address}, root);
        EXPECT_EQ(r.Status, 101) << address;
        EXPECT_EQ(r.Out, BANNER);
        std::string full = address;
        if (full.size() == 7)
            full = "0000:" + full;
        EXPECT_EQ(r.Err, ErrorBlock("Can't find 9054 card at " + full + ".\n"));
    }
    for (const SimCard& card : {CardAt(3), function1, other})
        EXPECT_EQ(ReadSimControl(root, card), 0x00000002u) << SimDeviceName(card);
}

// What a run would say of the file, and nothing of a card: a design
// repository's CI vets files this way.
TEST_F(EndToEnd, CheckReadsTheFileAsARunWouldAndOpensNoCard)
{
    MakeBus({CardAt(1)});
    const auto details = [](const std::string& run) {
        return run.substr(0, run.find("\nProgramming...\n"));
    };
    const std::string bit = TempFile(BitFile({"d.ncd", "3s50", "2026/12/08", "12:00:00"}, 100, Pattern(120)));
    const std::string shortFile = TempFile(Bytes(13, 0));
    const std::string unknown = TempFile(Bytes(14, 0x01));
    const struct {
        std::string file;
        int status;
        std::string out, err;
    } cases[] = {
        {prom, 0, details(PromRun(600)), ""},
        {bit, 0, details(BitRun("d.ncd", "3s50", "2026/12/08", "12:00:00", 100, 120)), ""},
        {"/nonexistent.bit", 101, "", ErrorBlock("File not found: /nonexistent.bit")},
        {temp.Path(), 101, "", ErrorBlock("File not found: " + temp.Path())},
        {shortFile, 103, "", ErrorBlock("File I/O error.  Unexpected end of file?")},
        {unknown, 103, "", ErrorBlock("Unknown file type.")},
    };
    for (const auto& c : cases) {
        const Outcome r = RunVeldran({"--check", c.file}, root);
        EXPECT_EQ(r.Status, c.status) << c.file;
        EXPECT_EQ(r.Out, c.out) << c.file;
        EXPECT_EQ(r.Err, c.err) << c.file;
    }
    EXPECT_EQ(ReadSimControl(root, CardAt(1)), 0x00000002u) << "a card was touched";
}

TEST_F(EndToEnd, HelpAndVersionEndWithStatusZero)
{
    Outcome r = RunVeldran({"--help"}, root);
    EXPECT_EQ(r.Status, 0);
    EXPECT_EQ(r.Err, "");
    for (const char* form : {"veldran FILE CARD", "veldran --list", "veldran --help",
                             "veldran --version", "DDDD:BB:SS.F", "BB:SS.F"})
        EXPECT_THAT(r.Out, ::testing::HasSubstr(form));
    r = RunVeldran({"--version"}, root);
    EXPECT_EQ(r.Status, 0);
    EXPECT_EQ(r.Err, "");
    // The banner's version line, on its own.
    EXPECT_EQ("\n" + r.Out, BANNER.substr(0, BANNER.find('\n', 1) + 1));
}

TEST_F(EndToEnd, AnythingButTheExactOptionsKeepsTheUsage)
{
    MakeBus({CardAt(1)});
    for (const char* option : {"--LIST", "-l", "--lis", "--list=x", "--help ", "-h", "--versions"}) {
        const Outcome r = RunVeldran({option}, root);
        EXPECT_EQ(r.Status, 100) << option;
        EXPECT_EQ(r.Out, BANNER + USAGE) << option;
    }
    const Outcome r = RunVeldran({"--help", "--version"}, root);
    EXPECT_EQ(r.Status, 101);
    EXPECT_EQ(r.Err, ErrorBlock("File not found: --help"));
    const Outcome three = RunVeldran({"--list", "0", "x"}, root);
    EXPECT_EQ(three.Status, 100);
    EXPECT_EQ(three.Out, BANNER + USAGE);
}

TEST_F(EndToEnd, NoCardAtThatNumber)
{
    MakeBus({CardAt(1)});
    const Outcome r = RunVeldran({prom, "1"}, root);
    EXPECT_EQ(r.Status, 101);
    EXPECT_EQ(r.Out, BANNER);
    EXPECT_EQ(r.Err, ErrorBlock("Can't find 9054 card number 1.\n"));
}

TEST_F(EndToEnd, EveryBoardIsNamedAndProgrammed)
{
    const std::pair<uint16_t, const char*> boards[] = {
        {0x3133, "KX-10 card, old - update EEPROM!"}, {0x3311, "KX-10 card"},
        {0x3312, "KX-20 card"}, {0x3313, "KX-31 card"}, {0x3314, "KX-30 card"},
        {0x3315, "KX-40 card"}, {0x3472, "KX-50 card"}, {0x3473, "KX-51 card"}, {0x1234, nullptr}};
    uint8_t bus = 1;
    for (const auto& [subsys, name] : boards) {
        const SimCard card = CardAt(bus++, subsys);
        MakeBus({card});
        char io[8], control[8];
        std::snprintf(io, sizeof io, "%04X", static_cast<unsigned>(card.IoBase));
        std::snprintf(control, sizeof control, "%04X", static_cast<unsigned>(card.IoBase + 0x6C));
        const std::string board = name != nullptr ? std::string("\nFound Quorvel ") + name
                                                  : "\nUnknown PLX PCI9054 based card!";
        const Outcome r = RunVeldran({prom, std::to_string(bus - 2)}, root);
        EXPECT_EQ(r.Status, 0) << r.Err;
        EXPECT_EQ(r.Err, "");
        EXPECT_EQ(MaskWindow(r.Out), BANNER + CardLines(card.Bus, 0, board, io, control) + PromRun(600));
        // MODE and PROGRAM left set, DONE untouched.
        EXPECT_EQ(ReadSimControl(root, card), 0x000D0002u);
    }
}

TEST_F(EndToEnd, CardFailuresEndWithTheirStatus)
{
    SimCard deaf = CardAt(1);
    deaf.Decoding = false;
    MakeBus({deaf});
    Outcome r = RunVeldran({prom, "0"}, root);
    EXPECT_EQ(r.Status, 105);
    EXPECT_EQ(r.Err, ErrorBlock("Can't gain access to 9054 card number 0.\n"));

    SimCard busy = CardAt(2);
    busy.Control = 0;
    MakeBus({busy});
    r = RunVeldran({prom, "1"}, root);
    EXPECT_EQ(r.Status, 102);
    EXPECT_THAT(r.Out, ::testing::EndsWith("\nProgramming...\n"));
    EXPECT_EQ(r.Err,
              ErrorBlock("<DONE> status bit indicates busy at start of programming."));
}

std::string Sha256sum(const std::string& path)
{
    return RunProcess({"/usr/bin/sha256sum", {path}, {}}).Out.substr(0, 64);
}

// A record's time in seconds since the epoch; -1 unless it is UTC in ISO 8601.
long long SecondsOf(const std::string& when)
{
    struct tm utc = {};
    const char* end = strptime(when.c_str(), "%Y-%m-%dT%H:%M:%SZ", &utc);
    return end != nullptr && *end == '\0' && when.size() == 20 ? timegm(&utc) : -1;
}

// Each fact of the record against what the test knows: the hash as
// sha256sum reads the file, the texts and data the test wrote into it.
TEST_F(EndToEnd, ARunThatChangesTheCardLeavesARecordOfHowItEnded)
{
    SimCard busy = CardAt(2);
    busy.Control = 0;
    MakeBus({CardAt(1), busy});
    const std::string bit = TempFile(BitFile({"top.ncd;UserID=0xFFFFFFFF", "3s50atq144", "2026/12/08",
                                              "12:00:00"}, 700, Pattern(900)));
    const std::string link = temp.Path() + "/design.bit";
    std::filesystem::create_symlink(bit, link);
    const struct {
        std::string file;
        SimCard card;
        int status;
        std::map<std::string, std::string> says;
    } cases[] = {
        {link, CardAt(1), 0, {{"format", "bit"}, {"design", "top.ncd;UserID=0xFFFFFFFF"}, {"part", "3s50atq144"},
                              {"date", "2026/12/08"}, {"time", "12:00:00"}, {"bytes", "900"},
                              {"result", "programmed"}, {"step", ""}}},
        {prom, CardAt(1), 0, {{"format", "prom"}, {"design", ""}, {"time", ""}, {"bytes", "600"},
                              {"result", "programmed"}}},
        {prom, busy, 102, {{"bytes", "0"}, {"result", "failed"},
                           {"step", "<DONE> status bit indicates busy at start of programming."}}},
    };
    for (const auto& k : cases) {
        EXPECT_EQ(RunVeldran({k.file, SimDeviceName(k.card)}, root).Status, k.status) << k.file;
        auto record = RecordOf(root, k.card);
        EXPECT_EQ(record.size(), 14u) << k.file;
        for (const auto& [name, value] : k.says)
            EXPECT_EQ(record[name], value) << name << " of " << k.file;
        EXPECT_EQ(record["address"], SimDeviceName(k.card));
        EXPECT_EQ(record["file"], std::filesystem::canonical(k.file).string()) << "links resolved";
        EXPECT_EQ(record["sha256"], Sha256sum(k.file));
        EXPECT_EQ(record["user"], getpwuid(getuid())->pw_name);
        EXPECT_EQ(record["uid"], std::to_string(getuid()));
        EXPECT_NEAR(SecondsOf(record["when"]), std::time(nullptr), 5) << record["when"];
    }
    // Runs that end before they touch the card change no record.
    const auto last = RecordOf(root, CardAt(1));
    for (const std::string& file : {std::string("/nonexistent.bit"), TempFile(Bytes(14, 0x01))})
        EXPECT_NE(RunVeldran({file, "0"}, root).Status, 0);
    EXPECT_EQ(RecordOf(root, CardAt(1)), last);
    // A record that cannot be written changes nothing of the run.
    std::filesystem::remove_all(root + "/run");
    ASSERT_TRUE(WriteFile(root + "/run", ""));
    const Outcome r = RunVeldran({prom, "0"}, root);
    EXPECT_EQ(r.Status, 0);
    EXPECT_EQ(MaskWindow(r.Out), BANNER + CardLines(1, 0, "\nFound Quorvel KX-10 card", "DF00", "DF6C") +
                                     PromRun(600));
    EXPECT_EQ(r.Err, "");
}

// The system log gets one line per record, with the record's facts: read
// from a socket of the test's own, which stands for /dev/log in a mount
// namespace of the run's own.
TEST_F(EndToEnd, EachRecordIsALineInTheSystemLog)
{
    SimCard busy = CardAt(2);
    busy.Control = 0;
    MakeBus({CardAt(1), busy});
    const std::string dev = temp.Path() + "/dev";
    ASSERT_EQ(mkdir(dev.c_str(), 0755), 0);
    const int log = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    sockaddr_un address = {};
    address.sun_family = AF_UNIX;
    std::snprintf(address.sun_path, sizeof address.sun_path, "%s/log", dev.c_str());
    ASSERT_EQ(bind(log, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
    // The priority: user facility (8), notice (5) for a card programmed,
    // error (3) for a run that failed.
    for (const auto& [card, priority] : {std::pair<SimCard, std::string>{CardAt(1), "<13>"}, {busy, "<11>"}}) {
        const Outcome r = RunProcess(
            {"/usr/bin/unshare",
             {"--mount", "sh", "-c", "mount --bind \"$0\" /dev && exec \"$1\" \"$2\" \"$3\"", dev,
              VELDRAN_BINARY, prom, SimDeviceName(card)},
             {{"VELDRAN_SYSFS_ROOT", root}}});
        if (r.Out.empty())
            SKIP_OR_FAIL_ON_CI("no private mount over /dev here: " + r.Err);
        char line[8192];
        pollfd ready = {log, POLLIN, 0};
        ASSERT_EQ(poll(&ready, 1, 10000), 1) << "nothing logged";
        const ssize_t n = recv(log, line, sizeof line, 0);
        const std::string logged(line, static_cast<std::size_t>(std::max<ssize_t>(n, 0)));
        EXPECT_EQ(logged.substr(0, 4), priority) << logged;
        EXPECT_THAT(logged, ::testing::HasSubstr(" veldran["));
        for (const auto& [name, value] : RecordOf(root, card))
            EXPECT_THAT(logged, ::testing::HasSubstr(" " + name + "=\"" + value + "\""));
        EXPECT_EQ(poll(&ready, 1, 0), 0) << "more than one line for a run";
    }
    close(log);
}

TEST_F(EndToEnd, BadFileIsReportedAfterTheCardDetails)
{
    SimCard card = CardAt(1);
    MakeBus({card});
    const std::string bad = TempFile(Bytes{0x01, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14});
    const Outcome r = RunVeldran({bad, "0"}, root);
    EXPECT_EQ(r.Status, 103);
    EXPECT_EQ(MaskWindow(r.Out),
              BANNER + CardLines(1, 0, "\nFound Quorvel KX-10 card", "DF00", "DF6C"));
    EXPECT_EQ(r.Err, ErrorBlock("Unknown file type."));
}

// The 9054 cards of this machine's own /sys, by address.
std::string RealCards()
{
    std::string cards;
    std::error_code ignored;
    for (const auto& d : std::filesystem::directory_iterator("/sys/bus/pci/devices", ignored))
        if (ReadFile(d.path() / "vendor") == "0x10b5\n" && ReadFile(d.path() / "device") == "0x9054\n")
            cards += " " + d.path().filename().string();
    return cards;
}

bool AllowsSetUserId(const std::string& folder)
{
    struct statvfs mount;
    return statvfs(folder.c_str(), &mount) == 0 && (mount.f_flag & ST_NOSUID) == 0;
}

// A privileged install (set-user-ID root, or a file capability that reads
// any file) run by an ordinary user. The simulated bus must be ignored:
// were it honoured, the user could point the copy at files of their
// choosing; so the run goes to the real /sys, which has no card. And the
// configuration file is opened with the user's own rights: a file only
// root may read is as missing as one that is not there, or any user
// could read secrets through the copy and learn which paths exist.
TEST_F(EndToEnd, APrivilegedInstallIgnoresTheSimulatedBusAndReadsOnlyTheUsersFiles)
{
    if (geteuid() != 0)
        SKIP_OR_FAIL_ON_CI("only root can make a root-owned privileged copy");
    if (access("/usr/sbin/setcap", X_OK) != 0)
        SKIP_OR_FAIL_ON_CI("setcap not found (package libcap2-bin)");
    const std::string cards = RealCards();
    if (!cards.empty())
        SKIP_OR_FAIL_ON_CI("not run: this machine has 9054 cards it might program:" + cards);
    // Beside the program where the temporary folder's mount is nosuid.
    TempFolder beside(std::filesystem::path(VELDRAN_BINARY).parent_path());
    const std::string folder = AllowsSetUserId(temp.Path()) ? temp.Path() : beside.Path();
    if (!AllowsSetUserId(folder))
        SKIP_OR_FAIL_ON_CI(folder + " is on a nosuid mount");
    MakeBus({CardAt(1)});
    ASSERT_EQ(chmod(folder.c_str(), 0755), 0);
    const std::string setUid = folder + "/veldran-suid", withCap = folder + "/veldran-cap";
    for (const std::string& copy : {setUid, withCap})
        ASSERT_TRUE(std::filesystem::copy_file(VELDRAN_BINARY, copy));
    ASSERT_EQ(chmod(setUid.c_str(), 04755), 0);
    ASSERT_EQ(chmod(withCap.c_str(), 0755), 0);
    ASSERT_EQ(RunProcess({"/usr/sbin/setcap", {"cap_dac_read_search+ep", withCap}, {}}).Status, 0);
    const std::string secret = TempFile(PromImage(600));  // root's, mode 0600
    ASSERT_EQ(chmod(prom.c_str(), 0644), 0);
    const struct {
        std::string file;
        std::string error;
    } cases[] = {{prom, "Can't find 9054 card number 0.\n"},
                 {secret, "File not found: " + secret},
                 {secret + ".missing", "File not found: " + secret + ".missing"}};
    for (const std::string& copy : {setUid, withCap}) {
        for (const auto& c : cases) {
            const Outcome r = RunProcess(
                {"/usr/bin/setpriv",
                 {"--reuid=65534", "--regid=65534", "--clear-groups", copy, c.file, "0"},
                 {{"VELDRAN_SYSFS_ROOT", root}}});
            EXPECT_EQ(r.Status, 101) << copy << " " << c.file << r.Err;
            EXPECT_EQ(r.Out, BANNER) << copy << " " << c.file;
            EXPECT_EQ(r.Err, ErrorBlock(c.error)) << copy << " " << c.file;
        }
    }
    EXPECT_EQ(ReadSimControl(root, CardAt(1)), 0x00000002u) << "the simulated card was programmed";
}

// ---- on a real bench: the right card, one run per card, clean aborts ----

TEST_F(EndToEnd, TheCardOpenedIsExactlyTheOneNumbered)
{
    // First, devices that a search leaving out the vendor, the device ID or
    // function 0 would count, shifting the number of every card after them.
    SimCard otherVendor = CardAt(1), otherDevice = CardAt(2), secondFunction = CardAt(3);
    otherVendor.VendorId = 0x1234;
    otherDevice.DeviceId = 0x9056;
    secondFunction.Function = 1;
    // 0xff in a search key means "any bus": the card on bus 0xff must still
    // be the one opened, not the first card of the same kind.
    SimCard low = CardAt(5, 0x3312), high = CardAt(0xff, 0x3312);
    MakeBus({otherVendor, otherDevice, secondFunction, low, high});
    Outcome r = RunVeldran({prom, "1"}, root);
    EXPECT_EQ(r.Status, 0) << r.Err;
    EXPECT_THAT(r.Out, ::testing::HasSubstr("\nUsing PCI device at bus 255/device 0."));
    EXPECT_EQ(ReadSimControl(root, high), 0x000D0002u);
    for (const SimCard& other : {otherVendor, otherDevice, secondFunction, low})
        EXPECT_EQ(ReadSimControl(root, other), 0x00000002u) << "another device was programmed";
}

TEST_F(EndToEnd, ACardWithUnreadableSubsystemIdsKeepsItsNumber)
{
    for (const char* file : {"subsystem_device", "subsystem_vendor"}) {
        TempFolder bus;
        root = bus.Path() + "/sys";
        MakeBus({CardAt(1), CardAt(2), CardAt(3)});
        ASSERT_EQ(unlink((SimDevicePath(root, CardAt(2)) + "/" + file).c_str()), 0);
        Outcome r = RunVeldran({prom, "1"}, root);
        EXPECT_EQ(r.Status, 0) << file << r.Err;
        EXPECT_THAT(r.Out, ::testing::HasSubstr(
                               "bus 2/device 0.\nUnknown PLX PCI9054 based card!\n"));
        r = RunVeldran({prom, "2"}, root);
        EXPECT_THAT(r.Out, ::testing::HasSubstr("bus 3/device 0.\nFound Quorvel KX-10 card"));
    }
}

TEST_F(EndToEnd, ConsoleTextFromTheCommandLineHasNoControlCharacters)
{
    MakeBus({CardAt(1)});
    Outcome r = RunVeldran({"/nonexistent/\x1b]0;x\x07\x9b" "1m\xc3\xa9", "0"}, root);
    EXPECT_EQ(r.Status, 101);
    EXPECT_EQ(r.Err, ErrorBlock("File not found: /nonexistent/?]0;x??1m\xc3\xa9"));
    r = RunVeldran({prom, "\x1b[2J"}, root);
    EXPECT_EQ(r.Status, 101);
    EXPECT_EQ(r.Err, ErrorBlock("Invalid card number: ?[2J"));

    // A folder opens for reading here, but is no file: nothing is touched.
    r = RunVeldran({temp.Path(), "0"}, root);
    EXPECT_EQ(r.Status, 101);
    EXPECT_EQ(r.Out, BANNER);
    EXPECT_EQ(r.Err, ErrorBlock("File not found: " + temp.Path()));
    EXPECT_EQ(ReadSimControl(root, CardAt(1)), 0x00000002u);
}

TEST_F(EndToEnd, LostOrMissingConsoleNeverStopsTheProgramming)
{
    const SimCard card = CardAt(1);
    MakeBus({card});
    Command run{VELDRAN_BINARY, {prom, "0"}, {{"VELDRAN_SYSFS_ROOT", root}}};
    run.Stdout = Command::Output::BrokenPipe;  // as `veldran ... | head -c 20`
    Outcome r = RunProcess(run);
    EXPECT_EQ(r.Status, 0);
    EXPECT_EQ(r.Err, "");
    EXPECT_EQ(ReadSimControl(root, card), 0x000D0002u);

    // With 0 and 1 closed, the files opened next must not take their place
    // and receive the countdown.
    WriteSimControl(root, card, 0x00000002u, nullptr);
    run.Stdout = Command::Output::Closed;
    run.CloseStdin = true;
    r = RunProcess(run);
    EXPECT_EQ(r.Status, 0) << r.Err;
    EXPECT_EQ(ReadSimControl(root, card), 0x000D0002u);
    struct stat st;
    ASSERT_EQ(stat((SimDevicePath(root, card) + "/resource1").c_str(), &st), 0);
    EXPECT_EQ(st.st_size, 256);

    // A log at its file-size limit (ulimit -f, LimitFSIZE): the countdown
    // of 256 blocks crosses it mid-stream.
    WriteSimControl(root, card, 0x00000002u, nullptr);
    const std::string image = TempFile(PromImage(4u << 20)), log = temp.Path() + "/log";
    r = RunProcess({"/bin/sh",
                    {"-c", "ulimit -f 1 && exec \"$0\" \"$@\" >" + log, VELDRAN_BINARY, image, "0"},
                    {{"VELDRAN_SYSFS_ROOT", root}}});
    EXPECT_EQ(r.Status, 0);
    EXPECT_EQ(r.Err, "");
    EXPECT_EQ(ReadSimControl(root, card), 0x000D0002u);
    EXPECT_THAT(ReadFile(log), ::testing::StartsWith(BANNER));
}

TEST_F(EndToEnd, TheErrorBlockComesAfterEverythingPrintedBeforeIt)
{
    MakeBus({CardAt(1)});
    const std::string bad = TempFile(Bytes{0x01, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14});
    // One stream for both, as `>log 2>&1` makes it.
    const Outcome r = RunProcess({"/bin/sh",
                                  {"-c", "exec \"$0\" \"$@\" 2>&1", VELDRAN_BINARY, bad, "0"},
                                  {{"VELDRAN_SYSFS_ROOT", root}}});
    EXPECT_EQ(r.Status, 103);
    EXPECT_EQ(MaskWindow(r.Out), BANNER +
                                     CardLines(1, 0, "\nFound Quorvel KX-10 card", "DF00", "DF6C") +
                                     ErrorBlock("Unknown file type."));
}

// A folder in RAM where there is some, for large images read many times.
std::string RamParent()
{
    return access("/dev/shm", W_OK) == 0 ? "/dev/shm" : "";
}

TEST_F(EndToEnd, TheSuccessLineCountsEveryByteOfAnImageOver4GiB)
{
    MakeBus({CardAt(1)});
    TempFolder ram(RamParent());
    const std::string big = ram.Path() + "/big.bit";
    // A header that declares no data, then 4 GiB + 10 bytes of zeros
    // (sparse, so it takes no room and reads fast).
    const Bytes header = BitHeader({"a", "b", "c", "d"}, 0);
    ASSERT_TRUE(WriteFile(big, std::string(header.begin(), header.end())));
    ASSERT_EQ(truncate(big.c_str(), static_cast<off_t>(header.size() + (4ull << 30) + 10)), 0);
    const Outcome r = RunVeldran({big, "0"}, root);
    EXPECT_EQ(r.Status, 0) << r.Err;
    // The countdown keeps its 32-bit figures: 0, then 2^32 - 16384, ...,
    // and 0 again before the last 10 bytes.
    EXPECT_THAT(r.Out, ::testing::HasSubstr("\nProgramming...\n0     \r4294950912\r"));
    EXPECT_THAT(r.Out, ::testing::HasSubstr("\r0     \r0     \nSuccessfully programmed "
                                            "4294967306 bytes.\n"));
}

// Runs that are held in the middle of the stream: the image is large, and
// the countdown soon fills the runner's small output pipe, so the run waits
// at a block boundary until the test reads on. No timing is involved.
class HeldRun : public EndToEnd {
protected:
    static void SetUpTestSuite()
    {
        folder = new TempFolder(RamParent());
        image = folder->Path() + "/big.prom";
        std::string error;
        ASSERT_TRUE(WriteSample(image, {}, PromData(), IMAGE_SIZE, &error)) << error;
    }
    static void TearDownTestSuite() { delete folder; }

    // ignored: signals the run starts with ignored, as with `trap '' ...`.
    std::unique_ptr<Process> StartHeld(const std::string& card, const std::string& ignored = "")
    {
        Command run{VELDRAN_BINARY, {image, card}, {{"VELDRAN_SYSFS_ROOT", root}}};
        if (!ignored.empty())
            run = {"/bin/sh",
                   {"-c", "trap '' " + ignored + " && exec \"$0\" \"$@\"", VELDRAN_BINARY, image, card},
                   run.Env};
        auto held = std::make_unique<Process>(run);
        EXPECT_TRUE(held->WaitForOutput("\nProgramming...\n")) << held->OutputSoFar();
        return held;
    }

    static constexpr std::size_t IMAGE_SIZE = 64u << 20;
    static TempFolder* folder;
    static std::string image;
};

TempFolder* HeldRun::folder = nullptr;
std::string HeldRun::image;

TEST_F(HeldRun, ASecondRunForTheSameCardIsRefusedAtOnce)
{
    const SimCard first = CardAt(1), other = CardAt(2);
    MakeBus({first, other});
    auto held = StartHeld("0");
    // Until it ends, the run's record says it started; one refused at the
    // open leaves it so.
    EXPECT_EQ(RecordOf(root, first)["result"], "started");

    Outcome second = RunVeldran({prom, "0"}, root);
    EXPECT_EQ(second.Status, 105);
    EXPECT_EQ(second.Out, BANNER);
    EXPECT_EQ(second.Err, ErrorBlock("Can't gain access to 9054 card number 0.\n"));
    EXPECT_EQ(RecordOf(root, first)["result"], "started");
    // Another card is another matter.
    second = RunVeldran({prom, "1"}, root);
    EXPECT_EQ(second.Status, 0) << second.Err;
    EXPECT_EQ(ReadSimControl(root, other), 0x000D0002u);

    const Outcome r = held->Finish();
    EXPECT_EQ(r.Status, 0) << r.Err;
    EXPECT_THAT(r.Out, ::testing::EndsWith("\nSuccessfully programmed 67108864 bytes.\n\n"
                                           "Function complete.\n"));
    EXPECT_EQ(ReadSimControl(root, first), 0x000D0002u);
    EXPECT_EQ(RecordOf(root, first)["result"] + " " + RecordOf(root, first)["bytes"], "programmed 67108864");
    // Once the first run has ended, the card is free again.
    EXPECT_EQ(RunVeldran({prom, "0"}, root).Status, 0);
}

// Every signal whose default ends the process, but for the program's own
// faults: the operator's Ctrl-C and Ctrl-\, a service stop, a dropped
// session, dd's request for progress, timers, a CPU-time limit.
std::vector<int> Interrupts()
{
    std::vector<int> signals = {SIGINT,    SIGTERM, SIGHUP,  SIGQUIT, SIGUSR1,
                                SIGUSR2,   SIGALRM, SIGVTALRM, SIGPROF, SIGIO,
                                SIGPWR,    SIGSTKFLT, SIGXCPU};
    for (int signal = SIGRTMIN; signal <= SIGRTMAX; ++signal)
        signals.push_back(signal);
    return signals;
}

TEST_F(HeldRun, InterruptsStopAtABlockBoundaryWithTheCardInReset)
{
    const std::map<int, std::string> names = {{SIGINT, "SIGINT"}, {SIGRTMIN + 2, "SIGRTMIN+2"}};
    for (const int signal : Interrupts()) {
        SCOPED_TRACE(strsignal(signal));
        TempFolder bus;
        root = bus.Path() + "/sys";
        const SimCard card = CardAt(1);
        MakeBus({card});
        auto held = StartHeld("0");
        held->Signal(signal);
        const Outcome r = held->Finish();
        // Ended by the signal itself, as a shell must see to stop a script.
        EXPECT_EQ(r.Signal, signal);
        EXPECT_EQ(r.Status, 128 + signal);
        EXPECT_EQ(r.Err, ErrorBlock("Programming interrupted."));
        EXPECT_THAT(r.Out, ::testing::Not(::testing::HasSubstr("Successfully")));
        // MODE set, PROGRAM cleared: the FPGA is held in reset.
        EXPECT_EQ(ReadSimControl(root, card), 0x000C0002u);
        auto record = RecordOf(root, card);
        EXPECT_EQ(record["result"], "interrupted");
        if (names.count(signal) != 0) {
            EXPECT_EQ(record["step"], names.at(signal));
        }
        // And the card is given back.
        EXPECT_EQ(RunVeldran({prom, "0"}, root).Status, 0);
    }
}

// nohup, `trap '' ...`, a script's background job: the caller wants the
// run to go on.
TEST_F(HeldRun, SignalsIgnoredOnEntryStayIgnored)
{
    const SimCard card = CardAt(1);
    MakeBus({card});
    std::string numbers;
    for (const int signal : Interrupts())
        numbers += " " + std::to_string(signal);
    auto held = StartHeld("0", numbers);
    for (const int signal : Interrupts())
        held->Signal(signal);
    const Outcome r = held->Finish();
    EXPECT_EQ(r.Status, 0) << r.Err;
    EXPECT_THAT(r.Out, ::testing::EndsWith("\nSuccessfully programmed 67108864 bytes.\n\n"
                                           "Function complete.\n"));
    EXPECT_EQ(ReadSimControl(root, card), 0x000D0002u);
}

// Ctrl-C in a terminal signals the whole foreground job: bash and the run
// it waits for. bash ends the script only if the run died of the signal;
// a run that merely exited 130 tells it the signal was handled.
TEST_F(HeldRun, CtrlCDuringARunStopsTheScriptThatStartedIt)
{
    const SimCard card = CardAt(1);
    MakeBus({card});
    Command script{"/bin/bash",
                   {"-c", "for i in 1 2 3; do \"$0\" \"$1\" 0; done; echo script went on",
                    VELDRAN_BINARY, image},
                   {{"VELDRAN_SYSFS_ROOT", root}}};
    script.OwnProcessGroup = true;
    Process held(script);
    ASSERT_TRUE(held.WaitForOutput("\nProgramming...\n")) << held.OutputSoFar();
    held.SignalGroup(SIGINT);
    const Outcome r = held.Finish();
    EXPECT_EQ(r.Signal, SIGINT) << r.Out;
    EXPECT_EQ(r.Err, ErrorBlock("Programming interrupted."));
    EXPECT_EQ(r.Out.find(BANNER, BANNER.size()), std::string::npos) << "a second run started";
    EXPECT_EQ(ReadSimControl(root, card), 0x000C0002u);
}

// The card's lock is free: no run holds it any more.
bool CardIsReleased(const std::string& root, const SimCard& card)
{
    const int fd = open((SimDevicePath(root, card) + "/resource1").c_str(), O_RDWR | O_CLOEXEC);
    const bool free = fd >= 0 && flock(fd, LOCK_EX | LOCK_NB) == 0;
    if (fd >= 0)
        close(fd);
    return free;
}

// A stop request while a stalled reader keeps the console blocked: the
// card is put in reset and given back before the output is read.
TEST_F(HeldRun, AnInterruptReachesTheCardWhileNobodyReadsTheOutput)
{
    const SimCard card = CardAt(1);
    MakeBus({card});
    auto held = StartHeld("0");
    ASSERT_TRUE(held->WaitUntilBlockedWriting());
    held->Signal(SIGTERM);
    bool inReset = false;
    for (int i = 0; i < 3000 && !inReset; ++i) {  // up to 30 s, not read meanwhile
        inReset = ReadSimControl(root, card) == 0x000C0002u && CardIsReleased(root, card);
        poll(nullptr, 0, 10);
    }
    EXPECT_TRUE(inReset);
    const Outcome r = held->Finish();
    EXPECT_EQ(r.Status, 143);
    EXPECT_EQ(r.Err, ErrorBlock("Programming interrupted."));
}

TEST_F(HeldRun, AWindowThatGoesAwayEndsTheRunAsACardFault)
{
    const SimCard card = CardAt(1);
    MakeBus({card});
    auto held = StartHeld("0");
    // What a revoked mapping does to the next store: SIGBUS.
    ASSERT_EQ(truncate((SimDevicePath(root, card) + "/resource3").c_str(), 0), 0);
    const Outcome r = held->Finish();
    EXPECT_EQ(r.Status, 105);
    EXPECT_EQ(r.Err, ErrorBlock("Can't access 9054 card data window.\n"));
    EXPECT_EQ(ReadSimControl(root, card), 0x000C0002u);
    auto record = RecordOf(root, card);
    EXPECT_EQ(record["result"], "failed");
    EXPECT_EQ(record["step"], "Can't access 9054 card data window.");
    // The blocks sent whole: all but what the last countdown figure, shown
    // as the block the loss cut short began, had left.
    const std::string figures = r.Out.substr(0, r.Out.find_last_not_of("\r ") + 1);
    EXPECT_EQ(std::stoull(record["bytes"]),
              IMAGE_SIZE - std::stoull(figures.substr(figures.find_last_of("\r\n") + 1)));
}

}  // namespace
