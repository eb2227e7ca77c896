// The real program against a real Linux kernel in a QEMU guest: standard
// output, standard error and exit status byte for byte, and every access
// the emulated card (QEMU's pci-testdev) received, from QEMU's own trace.
//
// The test device is dressed as a 9054 card by guest_init.sh. config,
// enable and resource3 (the data window) are always its real kernel files;
// the ID files and resource are plain files. resource1, the register block,
// is the kernel's (its real I/O BAR) only in the "io" and "list_held"
// cases, whose device never shows DONE; in every other case it is a plain file with DONE set,
// so their handshake and DONE reads reach no device.
//
// One boot serves all the cases of a fixture: the guest runs them in the
// order of its plan and reports them; each test checks one of them.
#include <gtest/gtest.h>

#include <sys/stat.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <memory>

#include "tests/kernel/kernel_guest.h"
#include "tools/testkit/files.h"
#include "tests/test_support.h"

namespace {

constexpr std::size_t SMALL = 600;
constexpr std::size_t IMAGE = 40000;    // three blocks
constexpr std::size_t LARGE = 262144;   // long enough to be held mid-stream
constexpr int TRAILING_FF = 24;
const std::string BOARD = "\nFound Quorvel KX-20 card";  // subsystem 0x3312, as dressed

// A real .bit file and its header, as listed in the shared data's SOURCES.md.
const std::string BIT_FILE = std::string(VELDRAN_BITFILES_DIR) + "/spartan3a-picoblaze3-soc.bit";
constexpr std::size_t BIT_DATA_START = 87;
constexpr std::size_t BIT_DECLARED = 54664;

Bytes ReadBytes(const std::string& path)
{
    const std::string text = ReadFile(path);
    return Bytes(text.begin(), text.end());
}

bool Exists(const std::string& path)
{
    struct stat st;
    return stat(path.c_str(), &st) == 0;
}

// What the device must receive from a successful run: the data, then the
// clock bytes after DONE.
Bytes WithTrailer(Bytes data)
{
    data.insert(data.end(), TRAILING_FF, 0xFF);
    return data;
}

// A boot shared by the tests of one fixture. Without QEMU or a kernel image
// the tests skip, except on CI, which installs both and must run them.
class Booted {
public:
    void Start(GuestPlan plan)
    {
        std::string kernel;
        const std::string missing = GuestPrerequisites(&kernel);
        if (!missing.empty()) {
            if (OnCi())
                problem_ = "kernel suite cannot run on CI: " + missing;
            else
                skip_ = "kernel suite skipped: " + missing;
            std::printf("%s\n", (skip_.empty() ? problem_ : skip_).c_str());
            return;
        }
        plan.Files.push_back({"/data/small.prom", TempFile(PromImage(SMALL))});
        plan.Files.push_back({"/data/image.prom", TempFile(PromImage(IMAGE))});
        plan.Files.push_back({"/data/large.prom", TempFile(PromImage(LARGE))});
        if (Exists(BIT_FILE))
            plan.Files.push_back({"/data/design.bit", BIT_FILE});
        boot_ = std::make_unique<GuestBoot>(BootGuest(kernel, plan));
        problem_ = boot_->Problem;
        std::printf("guest ran for %.1f s\n", boot_->Seconds);
        if (!problem_.empty() || std::getenv("VELDRAN_GUEST_CONSOLE") != nullptr)
            std::printf("guest console:\n%s\n", boot_->Console.c_str());
    }
    // In a test's SetUp: skips or fails the test when the boot did not serve.
    void Require() const
    {
        if (!skip_.empty())
            GTEST_SKIP() << skip_;
        ASSERT_TRUE(problem_.empty()) << problem_;
    }
    const GuestBoot& Boot() const { return *boot_; }
    void Stop() { boot_.reset(); }

private:
    std::unique_ptr<GuestBoot> boot_;
    std::string skip_;
    std::string problem_;
};

class KernelTest : public ::testing::Test {
protected:
    // The run's outcome; a failure if the guest did not report it.
    static const GuestRunResult& Run(const Booted& booted, const std::string& name)
    {
        static const GuestRunResult none;
        const auto& runs = booted.Boot().Runs;
        const auto it = runs.find(name);
        EXPECT_NE(it, runs.end()) << "the guest reported no run " << name;
        return it == runs.end() ? none : it->second;
    }
    static std::vector<DeviceAccess> Received(const Booted& booted, const std::string& name)
    {
        const auto& received = booted.Boot().Received;
        const auto it = received.find(name);
        return it == received.end() ? std::vector<DeviceAccess>{} : it->second;
    }
    static std::string Fact(const Booted& booted, const std::string& name)
    {
        const auto& facts = booted.Boot().Facts;
        const auto it = facts.find(name);
        return it == facts.end() ? "" : it->second;
    }

    // The card lines as the program prints them for the test device.
    static std::string Card(const Booted& booted)
    {
        char io[16], control[16];
        std::snprintf(io, sizeof io, "%04llX",
                      static_cast<unsigned long long>(booted.Boot().IoBase));
        std::snprintf(control, sizeof control, "%04llX",
                      static_cast<unsigned long long>(booted.Boot().IoBase + 0x6C));
        return CardLines(0, 3, BOARD, io, control);
    }
    // The card lines of a run that stops at the mapping: no memory base.
    static std::string CardUpToWindow(const Booted& booted)
    {
        const std::string lines = Card(booted);
        return lines.substr(0, lines.find("\nPLX 9054 memory base:"));
    }

    // Checks that every access was a single-byte store to the window's
    // first byte, and that together they are expected.
    static void ExpectStores(const std::vector<DeviceAccess>& received, uint64_t window,
                             const Bytes& expected)
    {
        Bytes stored;
        for (const DeviceAccess& a : received) {
            if (!a.Write || a.Size != 1 || a.Address != window) {
                ADD_FAILURE() << "after " << stored.size() << " stores, " << Describe(a)
                              << "; want only 1-byte writes to 0x" << std::hex << window;
                return;
            }
            stored.push_back(static_cast<uint8_t>(a.Value));
        }
        ASSERT_EQ(stored.size(), expected.size()) << "stores received";
        for (std::size_t i = 0; i < stored.size(); ++i)
            ASSERT_EQ(stored[i], expected[i]) << "store " << i;
    }
};

// ---- the real kernel as it boots ------------------------------------------

class RealKernel : public KernelTest {
protected:
    static void SetUpTestSuite()
    {
        GuestPlan plan;
        plan.Cases = {"io", "prom"};
        if (Exists(BIT_FILE))
            plan.Cases.push_back("bit");
        // decode comes before anything else writes enable; remove comes last.
        for (const char* c : {"decode", "list_decode", "user", "exclusive", "list_held", "remove"})
            plan.Cases.push_back(c);
        // A design name longer than a pipe holds keeps the list_held run
        // from its end until the pipe is read.
        plan.Files.push_back({"/data/long-name.bit",
                              TempFile(BitFile({std::string(65000, 'x'), "b", "c", "d"}, 4, Bytes(4)))});
        booted.Start(plan);
    }
    static void TearDownTestSuite() { booted.Stop(); }
    void SetUp() override { booted.Require(); }
    static Booted booted;
};
Booted RealKernel::booted;

// The handshake through the real I/O BAR: each 32-bit read-modify-write of
// the control register reaches the device at I/O base + 0x6C, MODE set
// first, then PROGRAM cleared; the device never shows DONE, so the run
// ends at the busy check and nothing reaches the data window.
TEST_F(RealKernel, HandshakeReachesTheRegisterThroughTheRealIoBar)
{
    const GuestRunResult& r = Run(booted, "io");
    const std::string prom = PromRun(SMALL);
    EXPECT_EQ(r.Status, 102);
    EXPECT_EQ(MaskWindow(r.Out),
              BANNER + Card(booted) + prom.substr(0, prom.find("Programming...\n") + 15));
    EXPECT_EQ(r.Err, ErrorBlock("<DONE> status bit indicates busy at start of programming."));

    // The test device takes one byte at a time: QEMU passes each 32-bit
    // port access on as four byte accesses in a row, joined again here.
    const uint64_t control = booted.Boot().IoBase + 0x6C;
    const std::vector<DeviceAccess> want = {
        {false, control, 0x00000000, 4},  // read for MODE
        {true, control, 0x000C0000, 4},   // MODE set
        {false, control, 0x00000000, 4},  // read for PROGRAM
        {true, control, 0x00000000, 4},   // PROGRAM cleared (the device kept nothing)
        {false, control, 0x00000000, 4},  // status: DONE clear
    };
    const std::vector<DeviceAccess> got = Merge32(Received(booted, "io"));
    ASSERT_EQ(got.size(), want.size());
    for (std::size_t i = 0; i < want.size(); ++i)
        EXPECT_EQ(got[i], want[i]) << i << ": " << Describe(got[i]);
}

TEST_F(RealKernel, PromImageReachesTheRealWindowUnchanged)
{
    const GuestRunResult& r = Run(booted, "prom");
    EXPECT_EQ(r.Status, 0);
    EXPECT_EQ(MaskWindow(r.Out), BANNER + Card(booted) + PromRun(IMAGE));
    EXPECT_EQ(r.Err, "");
    ExpectStores(Received(booted, "prom"), booted.Boot().MmioBase, WithTrailer(PromImage(IMAGE)));
}

TEST_F(RealKernel, BitFileDataReachesTheRealWindowBitReversed)
{
    if (!Exists(BIT_FILE))
        SKIP_OR_FAIL_ON_CI("sample .bit files not present at " + BIT_FILE);
    const Bytes file = ReadBytes(BIT_FILE);
    const GuestRunResult& r = Run(booted, "bit");
    EXPECT_EQ(r.Status, 0);
    EXPECT_EQ(MaskWindow(r.Out),
              BANNER + Card(booted) +
                  BitRun("top.ncd;UserID=0xFFFFFFFF", "3s50atq144", "2019/08/04", "19:33:09",
                         BIT_DECLARED, file.size() - BIT_DATA_START));
    EXPECT_EQ(r.Err, "");
    Bytes reversed;
    for (std::size_t i = BIT_DATA_START; i < file.size(); ++i)
        reversed.push_back(ReverseBits(file[i]));
    ExpectStores(Received(booted, "bit"), booted.Boot().MmioBase, WithTrailer(reversed));
}

// Decoding cleared through config: the program's write to the real enable
// file turns it back on. The kernel counts enables, though: once the
// device is enabled, a second "1" changes nothing, so a card whose decoding
// is cleared again behind the kernel's back stays off and cannot be used.
TEST_F(RealKernel, CardThatDoesNotDecodeIsEnabledThroughTheKernelOnce)
{
    auto decodes = [](const std::string& command) {
        return std::strtoul(command.substr(0, 2).c_str(), nullptr, 16) & 0x3;
    };
    ASSERT_EQ(Fact(booted, "decode_before").size(), 4u);
    EXPECT_EQ(decodes(Fact(booted, "decode_before")), 0u) << Fact(booted, "decode_before");
    const GuestRunResult& r = Run(booted, "decode");
    EXPECT_EQ(r.Status, 0);
    EXPECT_EQ(MaskWindow(r.Out), BANNER + Card(booted) + PromRun(SMALL));
    EXPECT_EQ(r.Err, "");
    EXPECT_EQ(decodes(Fact(booted, "decode_after")), 3u) << Fact(booted, "decode_after");

    const GuestRunResult& again = Run(booted, "decode_again");
    EXPECT_EQ(again.Status, 105);
    EXPECT_EQ(again.Out, BANNER);
    EXPECT_EQ(again.Err, ErrorBlock("Can't gain access to 9054 card number 0.\n"));
    EXPECT_EQ(decodes(Fact(booted, "decode_again_after")), 0u);

    // Both runs together: only the first one's stores.
    ExpectStores(Received(booted, "decode"), booted.Boot().MmioBase, WithTrailer(PromImage(SMALL)));
}

// The project's udev rule, run as udev runs it, lets a member of the group
// program the card; without group access to resource3 the mapping fails.
TEST_F(RealKernel, OperatorInTheGroupProgramsTheCard)
{
    EXPECT_EQ(Fact(booted, "rule_status"), "0");
    EXPECT_EQ(Fact(booted, "user_modes"), "-rw-rw----:root:veldran -rw-rw----:root:veldran");
    const GuestRunResult& r = Run(booted, "user");
    EXPECT_EQ(r.Status, 0);
    EXPECT_EQ(MaskWindow(r.Out), BANNER + Card(booted) + PromRun(SMALL));
    EXPECT_EQ(r.Err, "");

    const GuestRunResult& denied = Run(booted, "user_denied");
    EXPECT_EQ(denied.Status, 105);
    EXPECT_EQ(denied.Out, BANNER + CardUpToWindow(booted));
    EXPECT_EQ(denied.Err, ErrorBlock("Can't map 9054 card number 0 base registers.\n"));
    // Both runs together: only the member's stores.
    ExpectStores(Received(booted, "user"), booted.Boot().MmioBase, WithTrailer(PromImage(SMALL)));
}

// A second run for the card while the first holds it (stopped mid-stream)
// is refused at the open; the first then completes.
TEST_F(RealKernel, SecondRunIsRefusedWhileTheFirstHoldsTheCard)
{
    const GuestRunResult& second = Run(booted, "exclusive_second");
    EXPECT_EQ(second.Status, 105);
    EXPECT_EQ(second.Out, BANNER);
    EXPECT_EQ(second.Err, ErrorBlock("Can't gain access to 9054 card number 0.\n"));

    const GuestRunResult& first = Run(booted, "exclusive_first");
    EXPECT_EQ(first.Status, 0);
    EXPECT_EQ(MaskWindow(first.Out), BANNER + Card(booted) + PromRun(LARGE));
    EXPECT_EQ(first.Err, "");
    ExpectStores(Received(booted, "exclusive"), booted.Boot().MmioBase,
                 WithTrailer(PromImage(LARGE)));
}

// What this kernel does when the device is removed while a run streams:
// the mapping is not revoked, the run completes, and the stores made after
// the removal still reach the device. The README says so; this keeps it true.
TEST_F(RealKernel, RemovingTheDeviceMidStreamDoesNotStopTheStores)
{
    EXPECT_EQ(Fact(booted, "removed"), "gone");
    const GuestRunResult& r = Run(booted, "remove");
    EXPECT_EQ(r.Status, 0);
    EXPECT_EQ(MaskWindow(r.Out), BANNER + Card(booted) + PromRun(LARGE));
    EXPECT_EQ(r.Err, "");
    const std::vector<DeviceAccess> before = Received(booted, "remove");
    const std::vector<DeviceAccess> after = Received(booted, "removed");
    EXPECT_GT(before.size(), 0u);
    EXPECT_GT(after.size(), 0u) << "no stores reached the device after its removal";
    std::vector<DeviceAccess> all = before;
    all.insert(all.end(), after.begin(), after.end());
    ExpectStores(all, booted.Boot().MmioBase, WithTrailer(PromImage(LARGE)));
    std::printf("stores before the removal: %zu, after it: %zu\n", before.size(), after.size());
}

// ---- --list on the real kernel ---------------------------------------------

// The list's header and the dressed card's line.
std::string ListHead(const Booted& booted, const std::string& verdict)
{
    const std::string board = "Quorvel KX-20 card";
    return "Card  Address       Board                                     Program now?\n0     " +
           booted.Boot().Facts.at("card") + "  " + board + std::string(42 - board.size(), ' ') +
           verdict + "\n";
}

// The I/O and memory bits of the command register as od shows its bytes.
unsigned long DecodeBits(const std::string& command)
{
    return std::strtoul(command.substr(0, 2).c_str(), nullptr, 16) & 0x3;
}

// Decoding cleared after the kernel enabled the card: enable reads more
// than 0, writing 1 would change nothing, and the list says no. The remedy
// it names works: 0 written until enable reads 0, then a run as root.
TEST_F(RealKernel, ListSaysWhenTheKernelWillNotEnableTheCardAgain)
{
    const std::string before = Fact(booted, "list_decode_enable");  // "COUNT COMMAND"
    const std::string count = before.substr(0, before.find(' '));
    std::printf("enable and command before: %s; cleared: %s; after the run: %s\n", before.c_str(),
                Fact(booted, "list_decode_cleared").c_str(),
                Fact(booted, "list_decode_remedied").c_str());
    ASSERT_NE(before.find(' '), std::string::npos) << before;
    EXPECT_NE(count, "0");
    EXPECT_EQ(DecodeBits(before.substr(before.find(' ') + 1)), 0u) << before;
    const GuestRunResult& enabled = Run(booted, "list_enabled");
    EXPECT_EQ(enabled.Status, 0);
    EXPECT_EQ(enabled.Out,
              ListHead(booted, "no") +
                  "      - I/O or memory decoding is off, but the kernel counts the card as\n"
                  "        enabled (enable reads " + count + "), so a run cannot turn it on; as root, write 0\n"
                  "        to /sys/bus/pci/devices/" + Fact(booted, "card") + "/enable until it reads 0, then run\n"
                  "        as root\n");

    EXPECT_EQ(Fact(booted, "list_decode_cleared").substr(0, 2), "0 ");
    const GuestRunResult& cleared = Run(booted, "list_cleared");
    EXPECT_EQ(cleared.Out, ListHead(booted, "yes") +
                               "      - I/O or memory decoding is off; a run as root turns it on\n");
    const GuestRunResult& remedy = Run(booted, "list_remedy");
    EXPECT_EQ(remedy.Status, 0) << remedy.Err;
    EXPECT_EQ(MaskWindow(remedy.Out), BANNER + Card(booted) + PromRun(SMALL));
    const std::string after = Fact(booted, "list_decode_remedied");
    EXPECT_EQ(after.substr(0, 2), "1 ") << after;
    EXPECT_EQ(DecodeBits(after.substr(after.find(' ') + 1)), 3u) << after;
    ExpectStores(Received(booted, "list_decode"), booted.Boot().MmioBase,
                 WithTrailer(PromImage(SMALL)));
}

// A run holding the card through the kernel's own resource1: /proc/locks
// shows its flock on that sysfs file's inode, and the list, which tries no
// lock, names the run's process.
TEST_F(RealKernel, ListNamesTheRunThatHoldsTheCard)
{
    const std::string pid = Fact(booted, "held_pid"), locks = Fact(booted, "held_locks");
    const std::string file = Fact(booted, "held_file");  // "DEVICE INODE", as stat shows them
    std::printf("/proc/locks: %s\nresource1 (device, inode): %s\nrun: %s\n", locks.c_str(),
                file.c_str(), pid.c_str());
    EXPECT_NE(locks.find("FLOCK  ADVISORY  WRITE " + pid + " "), std::string::npos) << locks;
    EXPECT_NE(locks.find(":" + file.substr(file.find(' ') + 1) + " 0 EOF"), std::string::npos)
        << locks << " / " << file;
    const GuestRunResult& list = Run(booted, "list_held");
    EXPECT_EQ(list.Status, 0);
    EXPECT_EQ(list.Out, ListHead(booted, "no") + "      - in use by another run (process " + pid +
                            ", veldran); wait for it to end\n");
    EXPECT_EQ(list.Err, "");
    // The run goes on once read, to the register that never shows DONE.
    const GuestRunResult& held = Run(booted, "list_held_run");
    EXPECT_EQ(held.Status, 102);
    EXPECT_EQ(held.Err, ErrorBlock("<DONE> status bit indicates busy at start of programming."));
}

// ---- a kernel locked down --------------------------------------------------

class LockedDownKernel : public KernelTest {
protected:
    static void SetUpTestSuite()
    {
        GuestPlan plan;
        plan.Cases = {"lockdown"};
        plan.KernelArgs = "lockdown=integrity";
        booted.Start(plan);
    }
    static void TearDownTestSuite() { booted.Stop(); }
    void SetUp() override { booted.Require(); }
    static Booted booted;
};
Booted LockedDownKernel::booted;

// The card is found and identified, but the kernel refuses the mapping, as
// the README and the manual page say.
TEST_F(LockedDownKernel, MappingIsRefused)
{
    EXPECT_NE(Fact(booted, "lockdown").find("[integrity]"), std::string::npos)
        << Fact(booted, "lockdown");
    const GuestRunResult& r = Run(booted, "lockdown");
    EXPECT_EQ(r.Status, 105);
    EXPECT_EQ(r.Out, BANNER + CardUpToWindow(booted));
    EXPECT_EQ(r.Err, ErrorBlock("Can't map 9054 card number 0 base registers.\n"));
    EXPECT_TRUE(Received(booted, "lockdown").empty());
}

}  // namespace
