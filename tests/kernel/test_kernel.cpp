// The real program against a real Linux kernel in a QEMU guest, and our
// model of the card behind it: standard output, standard error and exit
// status byte for byte, and everything the card received, from its record.
// Every file of a card is the kernel's: config, enable, resource,
// resource1 (the real I/O BAR) and resource3 (the real memory BAR).
//
// One boot serves all the cases of a fixture: each card is an instance of
// the model dressed for its case (a board of the table, a fault), the guest
// runs the cases in the order of its plan and reports them, and each test
// checks one of them.
#include <gtest/gtest.h>

#include <sys/stat.h>

#include <algorithm>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <memory>

#include "tests/kernel/kernel_guest.h"
#include "tests/test_support.h"
#include "tools/testkit/files.h"

namespace {

constexpr std::size_t SMALL = 600;
constexpr std::size_t IMAGE = 40000;    // three blocks
constexpr std::size_t LARGE = 262144;   // long enough to be held mid-stream
constexpr std::size_t BLOCK = 16384;   // the program sends a file in blocks of this size
constexpr int TRAILING_FF = 24;
constexpr int DONE_READS = 101;
constexpr unsigned FLICKER_READ = 50;   // the DONE read that the flickering card drops

// The register bits, as the card defines them.
constexpr uint32_t MODE = 0x000C0000;
constexpr uint32_t PROGRAM = 0x00010000;
constexpr uint32_t DONE = 0x00000002;
constexpr uint32_t CONTROL_OFFSET = 0x6C;
// The control register's power-on value we dress every card with: bits in
// every byte, so that a write that loses some shows; one MODE bit of two.
constexpr uint32_t POWER_ON = 0x2405A55C;
// The program's wait after PROGRAM is set and before the DONE check: one
// millisecond of its own processor time, so at least as much guest time.
constexpr uint64_t TICK_NS = 1000000;

// A real .bit file and its header, as listed in the shared data's SOURCES.md.
const std::string BIT_FILE = std::string(VELDRAN_BITFILES_DIR) + "/spartan3a-picoblaze3-soc.bit";
constexpr std::size_t BIT_DATA_START = 87;
constexpr std::size_t BIT_DECLARED = 54664;

bool Exists(const std::string& path)
{
    struct stat st;
    return stat(path.c_str(), &st) == 0;
}

// The stream a .BIT file's data makes at the card's port: every byte
// bit-reversed, by the test's own reference.
Bytes BitStream()
{
    const std::string file = ReadFile(BIT_FILE);
    Bytes stream;
    for (std::size_t i = BIT_DATA_START; i < file.size(); ++i)
        stream.push_back(ReverseBits(static_cast<uint8_t>(file[i])));
    return stream;
}

// One card of a boot: where it sits, which board it is and how it fails.
struct Dress {
    std::string Name;
    unsigned Slot;
    Seat Where;
    uint16_t Subsystem;
    std::string Board;  // the program's line for it
    std::string Faults;
    Bytes Stream;       // what it is made to take
};

Dress Card(std::string name, unsigned slot, uint16_t subsystem, std::string board,
           std::string faults, Bytes stream, Seat where = Seat::RootBus)
{
    return Dress{std::move(name), slot, where, subsystem, std::move(board), std::move(faults),
                 std::move(stream)};
}

GuestCard ToGuest(const Dress& d)
{
    char properties[160];
    std::snprintf(properties, sizeof properties, "subsys=0x%04x,control=0x%08x,config-size=%zu",
                  d.Subsystem, POWER_ON, ConfigSize(d.Stream));
    return GuestCard{d.Name, d.Slot, d.Where,
                     properties + (d.Faults.empty() ? "" : "," + d.Faults)};
}

GuestPlan PlanOf(const std::vector<Dress>& cards)
{
    GuestPlan plan;
    for (const Dress& d : cards)
        plan.Cards.push_back(ToGuest(d));
    return plan;
}

// A boot shared by the tests of one fixture. Without QEMU or a kernel image
// the tests skip, except on CI, which installs both and must run them.
class Booted {
public:
    void Start(std::vector<Dress> cards, GuestPlan plan)
    {
        cards_ = std::move(cards);
        for (const Dress& d : cards_)
            plan.Cards.push_back(ToGuest(d));
        plan_ = plan;
        std::string kernel, qemu;
        const std::string missing = GuestPrerequisites(&kernel, &qemu);
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
        boot_ = std::make_unique<GuestBoot>(BootGuest(kernel, qemu, plan));
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
    const GuestPlan& Plan() const { return plan_; }
    const Dress& CardOf(const std::string& name) const
    {
        return *std::find_if(cards_.begin(), cards_.end(),
                             [&](const Dress& d) { return d.Name == name; });
    }
    void Stop() { boot_.reset(); }

private:
    std::unique_ptr<GuestBoot> boot_;
    std::vector<Dress> cards_;
    GuestPlan plan_;
    std::string skip_;
    std::string problem_;
};

// What a run did to the card, from its record: one token per event but
// configuration space (the program's and the kernel's reads there are not
// the card's traffic): r and w a 32-bit read and write of the control
// register, d bytes at the port (all of them between two other events),
// ! DONE rising, x a reset; ? anything else (another register, a window
// load, a stray store).
struct Traffic {
    std::string Tokens;
    std::vector<CardEvent> Events;  // one per token

    uint32_t Value(std::size_t i) const { return static_cast<uint32_t>(Events[i].Value); }
};

Traffic TrafficOf(const std::vector<CardEvent>& received)
{
    using Kind = CardEvent::Kind;
    Traffic t;
    for (const CardEvent& e : received) {
        char token = '?';
        if (e.What == Kind::Config)
            continue;
        if (e.What == Kind::Io && e.Offset == CONTROL_OFFSET && e.Size == 4)
            token = e.Write ? 'w' : 'r';
        else if (e.What == Kind::Data)
            token = 'd';
        else if (e.What == Kind::Done)
            token = '!';
        else if (e.What == Kind::Reset)
            token = 'x';
        if (token == 'd' && !t.Tokens.empty() && t.Tokens.back() == 'd') {
            CardEvent& bytes = t.Events.back();
            bytes.Data.insert(bytes.Data.end(), e.Data.begin(), e.Data.end());
            bytes.LastNs = e.LastNs;
            continue;
        }
        t.Tokens.push_back(token);
        t.Events.push_back(e);
    }
    return t;
}

// The tokens for a failure message, with the first unexpected event.
std::string Show(const Traffic& t)
{
    const std::size_t at = t.Tokens.find('?');
    return t.Tokens + (at == std::string::npos ? "" : "\nfirst unexpected: " + Describe(t.Events[at]));
}

std::string Hex(uint32_t value)
{
    char text[16];
    std::snprintf(text, sizeof text, "0x%08X", value);
    return text;
}

// The handshake up to PROGRAM set (rwrwrrw), or as far as it went: every
// write is the read before it with its own bits changed and every other
// bit kept, and every read shows what was last written, DONE aside. The
// first read shows the register as the run found it: at power-on, or as a
// run before this one left it (DONE set, configured), which DONE shows
// until PROGRAM is cleared.
void ExpectHandshake(const Traffic& t, std::size_t steps, uint32_t found = POWER_ON)
{
    ASSERT_GE(t.Tokens.size(), steps);
    ASSERT_EQ(t.Tokens.substr(0, steps), std::string("rwrwrrw").substr(0, steps));
    struct Step {
        uint32_t Set, Clear;  // what each step changes in the one before it
        const char* What;
    };
    const uint32_t configured = found & DONE;
    const Step STEPS[] = {
        {0, 0, "the register as found"},
        {MODE, 0, "MODE set"},
        {configured, DONE & ~configured, "what was written, DONE as found (not cleared yet)"},
        {0, PROGRAM, "PROGRAM cleared"},
        {DONE, 0, "what was written, DONE set (ready)"},
        {0, 0, "the same"},
        {PROGRAM, 0, "PROGRAM set"},
    };
    for (std::size_t i = 0; i < steps; ++i) {
        const uint32_t before = i == 0 ? found : t.Value(i - 1);
        EXPECT_EQ(Hex(t.Value(i)), Hex((before | STEPS[i].Set) & ~STEPS[i].Clear))
            << "step " << i << ": " << STEPS[i].What;
    }
}

// A whole successful run: the handshake, at least a tick, the stream, DONE
// rising at its end, the wait, 101 DONE reads, then the trailing bytes.
void ExpectProgrammed(const std::vector<CardEvent>& received, const Bytes& stream,
                      uint32_t found = POWER_ON)
{
    const Traffic t = TrafficOf(received);
    ASSERT_EQ(t.Tokens, "rwrwrrwd!" + std::string(DONE_READS, 'r') + "d") << Show(t);
    ExpectHandshake(t, 7, found);
    const CardEvent& data = t.Events[7];
    const std::size_t reads = 9;
    EXPECT_EQ(data.Data, stream) << "the stream at the port";
    EXPECT_EQ(t.Events.back().Data, Bytes(TRAILING_FF, 0xFF))
        << "the trailing bytes, after the DONE reads";
    for (std::size_t i = reads; i < reads + DONE_READS; ++i)
        ASSERT_EQ(Hex(t.Value(i)), Hex(t.Value(6) | DONE)) << "DONE read " << i - reads;
    const uint64_t tick = data.Ns - t.Events[6].Ns;
    const uint64_t wait = t.Events[reads].Ns - data.LastNs;
    EXPECT_GE(tick, TICK_NS) << "from PROGRAM set to the first byte, in ns";
    EXPECT_GE(wait, TICK_NS) << "from the last byte to the first DONE read, in ns";
    std::printf("guest time from PROGRAM set to the first byte %.2f ms, from the last byte to "
                "the first DONE read %.2f ms\n",
                tick / 1e6, wait / 1e6);
}

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
    static std::vector<CardEvent> Received(const Booted& booted, const std::string& name)
    {
        const auto& received = booted.Boot().Received;
        const auto it = received.find(name);
        EXPECT_NE(it, received.end()) << "no mark for " << name << " in its card's record";
        return it == received.end() ? std::vector<CardEvent>{} : it->second;
    }
    static std::string Fact(const Booted& booted, const std::string& name)
    {
        const auto& facts = booted.Boot().Facts;
        const auto it = facts.find(name);
        return it == facts.end() ? "" : it->second;
    }

    // The card lines as the program prints them for the card, its I/O
    // base from the kernel's resource file.
    static std::string CardLines(const Booted& booted, const std::string& name)
    {
        const unsigned long long io = std::strtoull(
            Fact(booted, "io_" + CardAddress(booted.Plan(), name)).c_str(), nullptr, 16);
        char base[16], control[16];
        std::snprintf(base, sizeof base, "%04llX", io);
        std::snprintf(control, sizeof control, "%04llX", io + CONTROL_OFFSET);
        const CardLocation at = LocationOf(booted.Plan(), name);
        return ::CardLines(at.Bus, at.Slot, booted.CardOf(name).Board, base, control);
    }
    // The card lines of a run that stops at the mapping: no memory base.
    static std::string CardUpToWindow(const Booted& booted, const std::string& name)
    {
        const std::string lines = CardLines(booted, name);
        return lines.substr(0, lines.find("\nPLX 9054 memory base:"));
    }
    static std::string ErrorFor(const Booted& booted, const char* format, const std::string& card)
    {
        char message[128];
        std::snprintf(message, sizeof message, format, CardNumber(booted.Plan(), card));
        return ErrorBlock(message);
    }
};

// A successful run of a PROM image of size, up to (not including) text.
std::string PromRunUpTo(std::size_t size, const std::string& text)
{
    const std::string run = PromRun(size);
    return run.substr(0, run.find(text));
}

// Where a failing DONE check ends a run: after the countdown's final 0.
std::string UpToDoneCheck(std::size_t size)
{
    return PromRunUpTo(size, "\nSuccessfully");
}

// Where the busy check ends a run.
std::string UpToProgramming(std::size_t size)
{
    return PromRunUpTo(size, "Programming...\n") + "Programming...\n";
}

// Where a held run of the large image is held: what it prints up to the
// countdown figure of its first block. Only the length counts: the window's
// address is printed with 16 digits, the I/O ports with 4.
std::size_t HeldAt(const std::vector<Dress>& cards, const std::string& name)
{
    const CardLocation at = LocationOf(PlanOf(cards), name);
    const auto d = std::find_if(cards.begin(), cards.end(), [&](const Dress& c) { return c.Name == name; });
    const std::string run = PromRun(LARGE);
    const std::string out = BANNER + ::CardLines(at.Bus, at.Slot, d->Board, "0000", "006C") +
                            run.substr(0, run.find('\r') + 1);
    return out.size() - std::string("<window>").size() + 2 * sizeof(void*);
}

// ---- the real kernel as it boots ------------------------------------------

class RealKernel : public KernelTest {
protected:
    static void SetUpTestSuite()
    {
        const Bytes small = PromImage(SMALL);
        const Bytes large = PromImage(LARGE);
        // Every board of the table, and one outside it.
        std::vector<Dress> cards = {
            Card("prom", 3, 0x3312, "\nFound Quorvel KX-20 card", "", PromImage(IMAGE)),
            Card("bit", 4, 0x3311, "\nFound Quorvel KX-10 card", "",
                 Exists(BIT_FILE) ? BitStream() : small),
            Card("busy", 5, 0x3313, "\nFound Quorvel KX-31 card", "busy-at-start=on", small),
            Card("never", 6, 0x3314, "\nFound Quorvel KX-30 card", "done-never=on", small),
            Card("flicker", 7, 0x3315, "\nFound Quorvel KX-40 card",
                 "done-flicker=" + std::to_string(FLICKER_READ), small),
            Card("noio", 8, 0x3472, "\nFound Quorvel KX-50 card", "io-bar=off", small),
            Card("decode", 9, 0x3473, "\nFound Quorvel KX-51 card", "", small),
            Card("user", 10, 0x3133, "\nFound Quorvel KX-10 card, old - update EEPROM!", "", small),
            Card("exclusive", 11, 0x0001, "\nUnknown PLX PCI9054 based card!", "", large),
            Card("remove", 12, 0x3312, "\nFound Quorvel KX-20 card", "", large),
            Card("reset", 1, 0x3312, "\nFound Quorvel KX-20 card", "", small, Seat::SharedBridge),
            Card("list_decode", 13, 0x3311, "\nFound Quorvel KX-10 card", "", small),
            Card("list_held", 14, 0x3311, "\nFound Quorvel KX-10 card", "", large),
        };
        GuestPlan plan;
        std::vector<std::string> cases = {"prom"};
        if (Exists(BIT_FILE))
            cases.push_back("bit");
        // decode comes before anything else writes enable; remove comes last.
        for (const char* c : {"busy", "never", "flicker", "noio", "decode", "list_decode", "user",
                              "exclusive", "list_held", "reset", "reset_after", "remove"})
            cases.push_back(c);
        for (const std::string& c : cases) {
            const bool held = c == "exclusive" || c == "list_held" || c == "remove";
            plan.Cases.push_back({c, c == "reset_after" ? "reset" : c, held ? HeldAt(cards, c) : 0});
        }
        booted.Start(cards, plan);
    }
    static void TearDownTestSuite() { booted.Stop(); }
    void SetUp() override { booted.Require(); }
    static Booted booted;
};
Booted RealKernel::booted;

TEST_F(RealKernel, PromImageProgramsTheCard)
{
    const GuestRunResult& r = Run(booted, "prom");
    EXPECT_EQ(r.Status, 0);
    EXPECT_EQ(MaskWindow(r.Out), BANNER + CardLines(booted, "prom") + PromRun(IMAGE));
    EXPECT_EQ(r.Err, "");
    ExpectProgrammed(Received(booted, "prom"), PromImage(IMAGE));
}

TEST_F(RealKernel, BitFileProgramsTheCardBitReversed)
{
    if (!Exists(BIT_FILE))
        SKIP_OR_FAIL_ON_CI("sample .bit files not present at " + BIT_FILE);
    const Bytes stream = BitStream();
    const GuestRunResult& r = Run(booted, "bit");
    EXPECT_EQ(r.Status, 0);
    EXPECT_EQ(MaskWindow(r.Out),
              BANNER + CardLines(booted, "bit") +
                  BitRun("top.ncd;UserID=0xFFFFFFFF", "3s50atq144", "2019/08/04", "19:33:09",
                         BIT_DECLARED, stream.size()));
    EXPECT_EQ(r.Err, "");
    ExpectProgrammed(Received(booted, "bit"), stream);
}

// The three ways DONE fails a run (status 102), each on its own card:
// busy at start (no data), never done, and a flicker that the confirmation
// stops at (the data sent, no trailing bytes). The last register read shows
// DONE clear, with every other bit as the last write left it.
TEST_F(RealKernel, DoneThatFailsEndsTheRunWithStatus102)
{
    const struct {
        const char* card;
        std::string out, message, tokens;
        std::size_t handshake;  // the handshake's steps before the failing read
    } cases[] = {
        {"busy", UpToProgramming(SMALL), "<DONE> status bit indicates busy at start of programming.",
         "rwrwr", 4},
        {"never", UpToDoneCheck(SMALL), "Error: Not <DONE>; programming not completed.",
         "rwrwrrwdr", 7},
        {"flicker", UpToDoneCheck(SMALL), "Error: Not <DONE>; programming not completed.",
         "rwrwrrwd!" + std::string(FLICKER_READ, 'r'), 7},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.card);
        const GuestRunResult& r = Run(booted, c.card);
        EXPECT_EQ(r.Status, 102);
        EXPECT_EQ(MaskWindow(r.Out), BANNER + CardLines(booted, c.card) + c.out);
        EXPECT_EQ(r.Err, ErrorBlock(c.message));
        const Traffic t = TrafficOf(Received(booted, c.card));
        ASSERT_EQ(t.Tokens, c.tokens) << Show(t);
        ExpectHandshake(t, c.handshake);
        if (c.handshake == 7) {
            EXPECT_EQ(t.Events[7].Data, PromImage(SMALL)) << "no trailing bytes";
        }
        const uint32_t written = t.Value(c.handshake == 7 ? 6 : 3);
        EXPECT_EQ(Hex(t.Value(t.Tokens.size() - 1)), Hex(written & ~DONE));
    }
}

// A card without an I/O BAR: its BAR 1 reads 0, the register is nowhere
// to be reached and there is no file to hold the card by, so the open
// refuses it; nothing reaches the card.
TEST_F(RealKernel, CardWithoutAnIoBarCannotBeDriven)
{
    const GuestRunResult& r = Run(booted, "noio");
    EXPECT_EQ(r.Status, 105);
    EXPECT_EQ(r.Out, BANNER);
    EXPECT_EQ(r.Err, ErrorFor(booted, "Can't gain access to 9054 card number %u.\n", "noio"));
    EXPECT_EQ(TrafficOf(Received(booted, "noio")).Tokens, "");
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
    EXPECT_EQ(MaskWindow(r.Out), BANNER + CardLines(booted, "decode") + PromRun(SMALL));
    EXPECT_EQ(r.Err, "");
    EXPECT_EQ(decodes(Fact(booted, "decode_after")), 3u) << Fact(booted, "decode_after");

    const GuestRunResult& again = Run(booted, "decode_again");
    EXPECT_EQ(again.Status, 105);
    EXPECT_EQ(again.Out, BANNER);
    EXPECT_EQ(again.Err, ErrorFor(booted, "Can't gain access to 9054 card number %u.\n", "decode"));
    EXPECT_EQ(decodes(Fact(booted, "decode_again_after")), 0u);

    // Both runs together: only the first one's.
    ExpectProgrammed(Received(booted, "decode"), PromImage(SMALL));
}

// The project's udev rule, run as udev runs it, lets a member of the group
// program the card; without group access to resource3 the mapping fails.
TEST_F(RealKernel, OperatorInTheGroupProgramsTheCard)
{
    EXPECT_EQ(Fact(booted, "rule_status"), "0");
    EXPECT_EQ(Fact(booted, "user_modes"), "-rw-rw----:root:veldran -rw-rw----:root:veldran");
    const GuestRunResult& r = Run(booted, "user");
    EXPECT_EQ(r.Status, 0);
    EXPECT_EQ(MaskWindow(r.Out), BANNER + CardLines(booted, "user") + PromRun(SMALL));
    EXPECT_EQ(r.Err, "");

    const GuestRunResult& denied = Run(booted, "user_denied");
    EXPECT_EQ(denied.Status, 105);
    EXPECT_EQ(denied.Out, BANNER + CardUpToWindow(booted, "user"));
    EXPECT_EQ(denied.Err, ErrorFor(booted, "Can't map 9054 card number %u base registers.\n", "user"));
    // Both runs together: only the member's.
    ExpectProgrammed(Received(booted, "user"), PromImage(SMALL));
}

// A second run for the card while the first holds it (stopped mid-stream)
// is refused at the open; the first then completes.
TEST_F(RealKernel, SecondRunIsRefusedWhileTheFirstHoldsTheCard)
{
    EXPECT_EQ(Fact(booted, "held_exclusive"), "yes");
    const GuestRunResult& second = Run(booted, "exclusive_second");
    EXPECT_EQ(second.Status, 105);
    EXPECT_EQ(second.Out, BANNER);
    EXPECT_EQ(second.Err,
              ErrorFor(booted, "Can't gain access to 9054 card number %u.\n", "exclusive"));

    const GuestRunResult& first = Run(booted, "exclusive_first");
    EXPECT_EQ(first.Status, 0);
    EXPECT_EQ(MaskWindow(first.Out), BANNER + CardLines(booted, "exclusive") + PromRun(LARGE));
    EXPECT_EQ(first.Err, "");
    ExpectProgrammed(Received(booted, "exclusive"), PromImage(LARGE));
}

// A reset of the card through the kernel (a secondary bus reset of its
// bridge) undoes the load: the register is back at its power-on value and
// DONE is clear.
TEST_F(RealKernel, ResetThroughTheKernelUndoesTheLoad)
{
    const GuestRunResult& r = Run(booted, "reset");
    EXPECT_EQ(r.Status, 0);
    EXPECT_EQ(MaskWindow(r.Out), BANNER + CardLines(booted, "reset") + PromRun(SMALL));
    ExpectProgrammed(Received(booted, "reset"), PromImage(SMALL));

    EXPECT_EQ(Fact(booted, "reset_status"), "0");
    const uint32_t loaded = POWER_ON | MODE | PROGRAM | DONE;
    const Traffic t = TrafficOf(Received(booted, "reset_after"));
    ASSERT_EQ(t.Tokens, "rxr");
    EXPECT_EQ(Hex(t.Value(0)), Hex(loaded));
    EXPECT_EQ(Hex(t.Value(2)), Hex(POWER_ON));
    // As the guest read them.
    auto seen = [&](const char* fact) {
        return Hex(static_cast<uint32_t>(std::strtoul(Fact(booted, fact).c_str(), nullptr, 16)));
    };
    EXPECT_EQ(seen("reset_before"), Hex(loaded));
    EXPECT_EQ(seen("reset_after"), Hex(POWER_ON));
}

// What this kernel does when the device is removed while a run streams:
// the mapping is not revoked and the stores made after the removal still
// reach the card, but the register's file no longer answers, so the run
// ends at the DONE check. The README says so; this keeps it true.
TEST_F(RealKernel, RemovingTheDeviceMidStreamEndsTheRunAtTheDoneCheck)
{
    EXPECT_EQ(Fact(booted, "held_remove"), "yes");
    EXPECT_EQ(Fact(booted, "removed"), "gone");
    const GuestRunResult& r = Run(booted, "remove");
    EXPECT_EQ(r.Status, 105);
    EXPECT_EQ(MaskWindow(r.Out), BANNER + CardLines(booted, "remove") + UpToDoneCheck(LARGE));
    EXPECT_EQ(r.Err, ErrorBlock("Can't access 9054 card status register.\n"));
    const Traffic before = TrafficOf(Received(booted, "remove"));
    const Traffic after = TrafficOf(Received(booted, "removed"));
    ASSERT_EQ(before.Tokens, "rwrwrrwd") << Show(before);
    ASSERT_EQ(after.Tokens, "d!") << Show(after);
    // Held after its first block.
    const Bytes image = PromImage(LARGE);
    EXPECT_EQ(before.Events[7].Data, Bytes(image.begin(), image.begin() + BLOCK));
    EXPECT_EQ(after.Events[0].Data, Bytes(image.begin() + BLOCK, image.end()));
}

// ---- --list on the real kernel ---------------------------------------------

// The card's entry in --list's table: its line and the reasons under it
// ("- " and their continuations), and, from `carried` on, what the list
// says the card carries.
std::string ListEntry(const std::string& list, const std::string& address, bool carried = false)
{
    const std::size_t line = list.find("  " + address + "  ");
    if (line == std::string::npos)
        return "";
    std::size_t start = list.rfind('\n', line);
    start = start == std::string::npos ? 0 : start + 1;
    std::size_t end = list.find('\n', line) + 1;
    while (list.compare(end, 8, "      - ") == 0 || list.compare(end, 8, "        ") == 0)
        end = list.find('\n', end) + 1;
    if (!carried)
        return list.substr(start, end - start);
    start = end;
    while (list.compare(end, 6, "      ") == 0)
        end = list.find('\n', end) + 1;
    return list.substr(start, end - start);
}

// The I/O and memory bits of the command register as od shows its bytes.
unsigned long DecodeBits(const std::string& command)
{
    return std::strtoul(command.substr(0, 2).c_str(), nullptr, 16) & 0x3;
}

std::string ListLine(const Booted& booted, const std::string& name, const std::string& verdict)
{
    // The board as a run names it ("Found ..."), or as the list names one
    // outside the table.
    const std::string found = booted.CardOf(name).Board, prefix = "\nFound ";
    const std::string board = found.rfind(prefix, 0) == 0
                                  ? found.substr(prefix.size())
                                  : "unknown board (subsystem ID 0x" +
                                        Hex(booted.CardOf(name).Subsystem).substr(6) + ")";
    char number[8];
    std::snprintf(number, sizeof number, "%-4u", CardNumber(booted.Plan(), name));
    return std::string(number) + "  " + CardAddress(booted.Plan(), name) + "  " + board +
           std::string(42 - board.size(), ' ') + verdict + "\n";
}

// Decoding cleared after the kernel enabled the card: enable reads more
// than 0, writing 1 would change nothing, and the list says no. The remedy
// it names works: 0 written until enable reads 0, then a run as root.
TEST_F(RealKernel, ListSaysWhenTheKernelWillNotEnableTheCardAgain)
{
    const std::string address = CardAddress(booted.Plan(), "list_decode");
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
    EXPECT_EQ(ListEntry(enabled.Out, address),
              ListLine(booted, "list_decode", "no") +
                  "      - I/O or memory decoding is off, but the kernel counts the card as\n"
                  "        enabled (enable reads " + count + "), so a run cannot turn it on; as root, write 0\n"
                  "        to /sys/bus/pci/devices/" + address + "/enable until it reads 0, then run\n"
                  "        as root\n");
    // Decoding off, the register reads as nothing answering.
    EXPECT_EQ(ListEntry(enabled.Out, address, true),
              "      nothing recorded; register 0xffffffff: the card does not answer (its\n"
              "        decoding is off, or it is gone); what it carries now is not known\n");

    EXPECT_EQ(Fact(booted, "list_decode_cleared").substr(0, 2), "0 ");
    EXPECT_EQ(ListEntry(Run(booted, "list_cleared").Out, address),
              ListLine(booted, "list_decode", "yes") +
                  "      - I/O or memory decoding is off; a run as root turns it on\n");
    const GuestRunResult& remedy = Run(booted, "list_remedy");
    EXPECT_EQ(remedy.Status, 0) << remedy.Err;
    EXPECT_EQ(MaskWindow(remedy.Out), BANNER + CardLines(booted, "list_decode") + PromRun(SMALL));
    const std::string after = Fact(booted, "list_decode_remedied");
    EXPECT_EQ(after.substr(0, 2), "1 ") << after;
    EXPECT_EQ(DecodeBits(after.substr(after.find(' ') + 1)), 3u) << after;
    ExpectProgrammed(Received(booted, "list_decode"), PromImage(SMALL));
}

// A run holding the card through the kernel's own resource1: /proc/locks
// shows its flock on that sysfs file's inode, and the list, which tries no
// lock, names the run's process.
TEST_F(RealKernel, ListNamesTheRunThatHoldsTheCard)
{
    EXPECT_EQ(Fact(booted, "held_list_held"), "yes");
    const std::string pid = Fact(booted, "list_held_pid"), locks = Fact(booted, "list_held_locks");
    const std::string file = Fact(booted, "list_held_file");  // "DEVICE INODE", as stat shows them
    std::printf("/proc/locks: %s\nresource1 (device, inode): %s\nrun: %s\n", locks.c_str(),
                file.c_str(), pid.c_str());
    EXPECT_NE(locks.find("FLOCK  ADVISORY  WRITE " + pid + " "), std::string::npos) << locks;
    EXPECT_NE(locks.find(":" + file.substr(file.find(' ') + 1) + " 0 EOF"), std::string::npos)
        << locks << " / " << file;
    const GuestRunResult& list = Run(booted, "list_held");
    EXPECT_EQ(list.Status, 0);
    EXPECT_EQ(ListEntry(list.Out, CardAddress(booted.Plan(), "list_held")),
              ListLine(booted, "list_held", "no") + "      - in use by another run (process " + pid +
                  ", veldran); wait for it to end\n");
    // The run's record under /run, and its register, read through the real
    // I/O BAR mid-stream.
    const std::string carried =
        ListEntry(list.Out, CardAddress(booted.Plan(), "list_held"), true);
    const std::string recorded = "      recorded: started at ";
    const std::string by = " by root (uid 0), and has not\n        recorded its end\n"
                           "        a PROM image\n        file /data/large.prom, sha256 ";
    const std::string reg = "...\n      register 0x";
    ASSERT_EQ(carried.substr(0, recorded.size()), recorded) << carried;
    const std::size_t at = carried.find(by), hash = at + by.size();
    ASSERT_NE(at, std::string::npos) << carried;
    EXPECT_EQ(carried.substr(hash, 16).find_first_not_of("0123456789abcdef"), std::string::npos);
    EXPECT_EQ(carried.substr(hash + 16, reg.size()), reg) << carried;
    EXPECT_EQ(carried.substr(std::min(carried.size(), hash + 16 + reg.size() + 8)),
              ": a configuration cycle in progress\n") << carried;
    EXPECT_EQ(list.Err, "");
    const GuestRunResult& held = Run(booted, "list_held_run");
    EXPECT_EQ(held.Status, 0) << held.Err;
    // The list's one read of the register, between the run's data; the rest
    // is the run's.
    std::vector<CardEvent> received = Received(booted, "list_held");
    const auto data = std::find_if(received.begin(), received.end(),
                                   [](const CardEvent& e) { return e.What == CardEvent::Kind::Data; });
    const auto listed = std::find_if(data, received.end(), [](const CardEvent& e) {
        return e.What == CardEvent::Kind::Io && !e.Write;
    });
    ASSERT_NE(listed, received.end());
    received.erase(listed);
    ExpectProgrammed(received, PromImage(LARGE));
}

// ---- through VFIO, under lockdown ------------------------------------------
//
// Each card sits alone behind a bridge of its own, with an IOMMU, so that
// its group is the bridge and the card, and the reset vfio-pci makes at the
// first open and at the last close is a real secondary bus reset ("x" in
// the card's traffic).

// What the card holds after a whole run: what the run last wrote (MODE and
// PROGRAM set on the power-on value) and DONE, the FPGA configured.
constexpr uint32_t LOADED = POWER_ON | MODE | PROGRAM | DONE;

// The card's traffic after the reset at the open, which must come first;
// with closed, up to a reset at the close, which must come last.
std::vector<CardEvent> BetweenResets(const std::vector<CardEvent>& received, bool closed)
{
    std::vector<CardEvent> events;
    for (const CardEvent& e : received)
        if (e.What != CardEvent::Kind::Config)
            events.push_back(e);
    const auto isReset = [](const CardEvent& e) { return e.What == CardEvent::Kind::Reset; };
    const std::string tokens = TrafficOf(events).Tokens;
    EXPECT_FALSE(events.empty() || !isReset(events.front())) << "no reset at the open: " << tokens;
    EXPECT_EQ(!events.empty() && isReset(events.back()) && events.size() > 1, closed)
        << (closed ? "no reset at the close: " : "a reset at the end: ") << tokens;
    if (!events.empty() && isReset(events.front()))
        events.erase(events.begin());
    if (closed && !events.empty() && isReset(events.back()))
        events.pop_back();
    return events;
}

// The processes a fact lists, one PID a word.
std::vector<std::string> Pids(const std::string& fact)
{
    std::vector<std::string> pids;
    std::size_t at = 0;
    while ((at = fact.find_first_not_of(' ', at)) != std::string::npos) {
        const std::size_t end = fact.find(' ', at);
        pids.push_back(fact.substr(at, end - at));
        at = end;
    }
    return pids;
}

uint32_t ControlFact(const std::string& fact)
{
    return static_cast<uint32_t>(std::strtoul(fact.c_str(), nullptr, 16));
}

class VfioKernel : public KernelTest {
protected:
    static void SetUpTestSuite()
    {
        const Bytes small = PromImage(SMALL);
        const Bytes large = PromImage(LARGE);
        auto own = [](std::string name, unsigned slot, uint16_t subsystem, std::string board,
                      std::string faults, Bytes stream) {
            return Card(std::move(name), slot, subsystem, std::move(board), std::move(faults),
                        std::move(stream), Seat::OwnBridge);
        };
        std::vector<Dress> cards = {
            own("vfio", 3, 0x3312, "\nFound Quorvel KX-20 card", "", PromImage(IMAGE)),
            own("vfio_bit", 4, 0x3311, "\nFound Quorvel KX-10 card", "",
                Exists(BIT_FILE) ? BitStream() : small),
            own("vfio_unmapped", 5, 0x3313, "\nFound Quorvel KX-31 card", "window-size=0x80",
                PromImage(IMAGE)),
            own("vfio_user", 6, 0x3314, "\nFound Quorvel KX-30 card", "", small),
            own("vfio_concurrent", 7, 0x3315, "\nFound Quorvel KX-40 card", "", large),
            own("vfio_killed", 8, 0x3472, "\nFound Quorvel KX-50 card", "", small),
            own("vfio_never", 9, 0x3473, "\nFound Quorvel KX-51 card", "done-never=on", small),
            own("vfio_interrupted", 10, 0x0001, "\nUnknown PLX PCI9054 based card!", "", large),
            own("vfio_unbound", 11, 0x3312, "\nFound Quorvel KX-20 card", "", small),
        };
        GuestPlan plan;
        const std::pair<const char*, const char*> cases[] = {
            {"vfio_run", "vfio"},       {"vfio_kept", "vfio"},
            {"vfio_takeover", "vfio"},  {"vfio_release", "vfio"},
            {"vfio_bit", "vfio_bit"},   {"vfio_placed", "vfio_unmapped"},
            {"vfio_unmapped", "vfio_unmapped"},
            {"vfio_user", "vfio_user"}, {"vfio_concurrent", "vfio_concurrent"},
            {"vfio_killed", "vfio_killed"}, {"vfio_after_kill", "vfio_killed"},
            {"vfio_never", "vfio_never"}, {"vfio_interrupted", "vfio_interrupted"},
            {"vfio_unbound", "vfio_unbound"},
        };
        for (const auto& [name, card] : cases) {
            const std::string c = name;
            const bool held = c == "vfio_concurrent" || c == "vfio_interrupted";
            if (c != "vfio_bit" || Exists(BIT_FILE))
                plan.Cases.push_back({c, card, held ? HeldAt(cards, card) : 0});
        }
        plan.KernelArgs = "intel_iommu=on lockdown=integrity";
        plan.Iommu = true;
        booted.Start(cards, plan);
    }
    static void TearDownTestSuite() { booted.Stop(); }
    void SetUp() override { booted.Require(); }
    static Booted booted;

    // A whole successful run of the card's case as root, exactly.
    static void ExpectRun(const std::string& run, const std::string& card, std::size_t size)
    {
        const GuestRunResult& r = Run(booted, run);
        EXPECT_EQ(r.Status, 0) << r.Err;
        EXPECT_EQ(MaskWindow(r.Out), BANNER + CardLines(booted, card) + PromRun(size));
        EXPECT_EQ(r.Err, "");
    }
    static std::string CantGainAccess(const std::string& card)
    {
        return ErrorFor(booted, "Can't gain access to 9054 card number %u.\n", card);
    }
};
Booted VfioKernel::booted;

// Bound to vfio-pci, the card is in a group with its bridge alone, and the
// kernel will reset it through that bridge. A run programs it through
// /dev/vfio, every byte through the mapped window, after the reset at the
// open; no reset follows: a holder keeps the device open.
TEST_F(VfioKernel, ARunProgramsTheCardAndLeavesItHeld)
{
    EXPECT_EQ(Fact(booted, "vfio_modules").substr(0, 2), "0 ") << Fact(booted, "vfio_modules");
    EXPECT_NE(Fact(booted, "lockdown").find("[integrity]"), std::string::npos);
    EXPECT_EQ(Fact(booted, "vfio_bound"), "0");
    const std::string address = CardAddress(booted.Plan(), "vfio");
    const CardLocation at = LocationOf(booted.Plan(), "vfio");
    char bridge[16];
    std::snprintf(bridge, sizeof bridge, "0000:%02x:00.0", at.Bus - 1);
    const std::string card = Fact(booted, "vfio_card");
    ASSERT_NE(card.find(": "), std::string::npos) << card;
    EXPECT_EQ(card.substr(card.find(": ")), ": " + std::string(bridge) + " " + address +
                                                " reset bus dev crw-rw----:root:veldran");
    ExpectRun("vfio_run", "vfio", IMAGE);
    ExpectProgrammed(BetweenResets(Received(booted, "vfio_run"), false), PromImage(IMAGE));
    EXPECT_EQ(Pids(Fact(booted, "vfio_run_users")).size(), 1u) << Fact(booted, "vfio_run_users");
}

// Once the run has ended, the card stays configured and nothing resets it
// until the holder is released; then the kernel resets it.
TEST_F(VfioKernel, TheHolderKeepsTheLoadUntilReleased)
{
    EXPECT_EQ(Hex(ControlFact(Fact(booted, "vfio_kept_control"))), Hex(LOADED));
    EXPECT_EQ(TrafficOf(Received(booted, "vfio_kept")).Tokens, "r");
    EXPECT_EQ(Fact(booted, "vfio_kept_users"), Fact(booted, "vfio_run_users"));

    // The last holder, that of the run that took the card over.
    const GuestRunResult& release = Run(booted, "vfio_release");
    EXPECT_EQ(release.Status, 0) << release.Err;
    EXPECT_EQ(release.Out, "Released 9054 card number " +
                               std::to_string(CardNumber(booted.Plan(), "vfio")) + " (" +
                               CardAddress(booted.Plan(), "vfio") + "): its holder, process " +
                               Pids(Fact(booted, "vfio_takeover_after")).at(0) +
                               ", has ended,\nand the kernel has reset the card; what was loaded "
                               "into it is gone.\n");
    EXPECT_EQ(release.Err, "");
    const Traffic t = TrafficOf(Received(booted, "vfio_release"));
    ASSERT_EQ(t.Tokens, "xr") << Show(t);
    EXPECT_EQ(Hex(t.Value(1)), Hex(POWER_ON));
    EXPECT_EQ(Hex(ControlFact(Fact(booted, "vfio_release_control"))), Hex(POWER_ON));
    EXPECT_EQ(Fact(booted, "vfio_release_users"), "");
    const GuestRunResult& again = Run(booted, "vfio_release_again");
    EXPECT_EQ(again.Status, 101);
    EXPECT_EQ(again.Out, "");
    EXPECT_EQ(again.Err, ErrorFor(booted, "9054 card number %u is not held: no holder keeps it open.\n", "vfio"));
}

// The next run takes the device over from the holder: no reset between,
// so the handshake finds the card as the first run left it; its own
// holder then keeps it.
TEST_F(VfioKernel, TheNextRunTakesTheCardOverWithoutAReset)
{
    ExpectRun("vfio_takeover", "vfio", IMAGE);
    ExpectProgrammed(Received(booted, "vfio_takeover"), PromImage(IMAGE), LOADED);
    const std::vector<std::string> before = Pids(Fact(booted, "vfio_takeover_before"));
    const std::vector<std::string> after = Pids(Fact(booted, "vfio_takeover_after"));
    ASSERT_EQ(before.size(), 1u);
    ASSERT_EQ(after.size(), 1u);
    EXPECT_NE(before, after) << "the first holder has handed the card over and ended";
}

TEST_F(VfioKernel, BitFileProgramsTheCardBitReversed)
{
    if (!Exists(BIT_FILE))
        SKIP_OR_FAIL_ON_CI("sample .bit files not present at " + BIT_FILE);
    const Bytes stream = BitStream();
    const GuestRunResult& r = Run(booted, "vfio_bit");
    EXPECT_EQ(r.Status, 0) << r.Err;
    EXPECT_EQ(MaskWindow(r.Out),
              BANNER + CardLines(booted, "vfio_bit") +
                  BitRun("top.ncd;UserID=0xFFFFFFFF", "3s50atq144", "2019/08/04", "19:33:09",
                         BIT_DECLARED, stream.size()));
    EXPECT_EQ(r.Err, "");
    ExpectProgrammed(BetweenResets(Received(booted, "vfio_bit"), false), stream);
}

// A window that does not start a page cannot be mapped through VFIO; each
// byte then goes to the device as a write of its own, and the card gets
// the same stream.
TEST_F(VfioKernel, AWindowThatCannotBeMappedGetsTheSameStream)
{
    const std::string window = Fact(booted, "vfio_unmapped_window");  // START END FLAGS
    const uint64_t start = std::strtoull(window.c_str(), nullptr, 16);
    EXPECT_EQ(std::strtoull(window.c_str() + window.find(' '), nullptr, 16) - start + 1, 0x80u);
    EXPECT_NE(start % 4096, 0u) << window;
    ExpectRun("vfio_unmapped", "vfio_unmapped", IMAGE);
    ExpectProgrammed(BetweenResets(Received(booted, "vfio_unmapped"), false), PromImage(IMAGE));
}

// Through the group device, which the rule gives to the group veldran: a
// member programs the card, and its holder runs as that member; a user
// outside the group cannot open it, and nothing reaches the card.
TEST_F(VfioKernel, AMemberOfTheGroupProgramsTheCard)
{
    const std::string facts = Fact(booted, "vfio_user_card");
    ASSERT_NE(facts.find(" dev "), std::string::npos) << facts;
    EXPECT_EQ(facts.substr(facts.find(" dev ")), " dev crw-rw----:root:veldran");
    const GuestRunResult& stranger = Run(booted, "vfio_stranger");
    EXPECT_EQ(stranger.Status, 105);
    EXPECT_EQ(stranger.Out, BANNER);
    EXPECT_EQ(stranger.Err, CantGainAccess("vfio_user"));
    const GuestRunResult& r = Run(booted, "vfio_user");
    EXPECT_EQ(r.Status, 0) << r.Err;
    EXPECT_EQ(MaskWindow(r.Out), BANNER + CardLines(booted, "vfio_user") + PromRun(SMALL));
    EXPECT_EQ(r.Err, "");
    // The reset at the open is the member's: the stranger's run did not get that far.
    ExpectProgrammed(BetweenResets(Received(booted, "vfio_user"), false), PromImage(SMALL));
    EXPECT_EQ(Fact(booted, "vfio_user_holder"), "operator");
}

// A second run while the first streams (held after its first block) is
// refused at the open, and touches nothing; the first then completes.
TEST_F(VfioKernel, ASecondConcurrentRunIsRefused)
{
    EXPECT_EQ(Fact(booted, "held_vfio_concurrent"), "yes");
    const GuestRunResult& second = Run(booted, "vfio_concurrent_second");
    EXPECT_EQ(second.Status, 105);
    EXPECT_EQ(second.Out, BANNER);
    EXPECT_EQ(second.Err, CantGainAccess("vfio_concurrent"));
    ExpectRun("vfio_concurrent_first", "vfio_concurrent", LARGE);
    ExpectProgrammed(BetweenResets(Received(booted, "vfio_concurrent"), false), PromImage(LARGE));
}

// A holder killed outright: the kernel resets the card as it closes the
// device, and the next run opens it afresh.
TEST_F(VfioKernel, AKilledHolderLeavesNothingInTheWay)
{
    ExpectRun("vfio_killed", "vfio_killed", SMALL);
    EXPECT_EQ(Pids(Fact(booted, "vfio_killed_holder")).size(), 1u);
    EXPECT_EQ(Fact(booted, "vfio_killed_after"), "");
    ExpectProgrammed(BetweenResets(Received(booted, "vfio_killed"), true), PromImage(SMALL));
    ExpectRun("vfio_after_kill", "vfio_killed", SMALL);
    ExpectProgrammed(BetweenResets(Received(booted, "vfio_after_kill"), false), PromImage(SMALL));
}

// A run that fails, and one that is interrupted, leave no holder: the
// device is closed as the run ends, and the kernel resets the card.
TEST_F(VfioKernel, AFailedOrInterruptedRunLeavesNoHolder)
{
    const GuestRunResult& never = Run(booted, "vfio_never");
    EXPECT_EQ(never.Status, 102);
    EXPECT_EQ(MaskWindow(never.Out), BANNER + CardLines(booted, "vfio_never") + UpToDoneCheck(SMALL));
    EXPECT_EQ(never.Err, ErrorBlock("Error: Not <DONE>; programming not completed."));
    const Traffic t = TrafficOf(BetweenResets(Received(booted, "vfio_never"), true));
    ASSERT_EQ(t.Tokens, "rwrwrrwdr") << Show(t);
    ExpectHandshake(t, 7);
    EXPECT_EQ(t.Events[7].Data, PromImage(SMALL));
    EXPECT_EQ(Fact(booted, "vfio_never_users"), "");

    EXPECT_EQ(Fact(booted, "held_vfio_interrupted"), "yes");
    const GuestRunResult& stopped = Run(booted, "vfio_interrupted");
    EXPECT_EQ(stopped.Status, 128 + SIGTERM);
    EXPECT_EQ(stopped.Err, ErrorBlock("Programming interrupted."));
    EXPECT_EQ(stopped.Out.find("Successfully"), std::string::npos) << stopped.Out;
    // Stopped at a block boundary (held after its first block, it sends
    // the one whose figure it was printing), the FPGA left in reset:
    // PROGRAM cleared, MODE kept.
    const Traffic s = TrafficOf(BetweenResets(Received(booted, "vfio_interrupted"), true));
    ASSERT_EQ(s.Tokens, "rwrwrrwdrw") << Show(s);
    ExpectHandshake(s, 7);
    const Bytes image = PromImage(LARGE);
    const std::size_t sent = s.Events[7].Data.size();
    std::printf("the interrupted run sent %zu bytes\n", sent);
    EXPECT_EQ(sent % BLOCK, 0u) << sent;
    EXPECT_GT(sent, 0u);
    EXPECT_LT(sent, LARGE);
    EXPECT_EQ(s.Events[7].Data, Bytes(image.begin(), image.begin() + sent));
    EXPECT_EQ(Hex(s.Value(9)), Hex(s.Value(8) & ~PROGRAM));
    EXPECT_EQ(Fact(booted, "vfio_interrupted_users"), "");
}

// Under lockdown a card not bound to vfio-pci has no way left to it: the
// open refuses it, and nothing reaches it.
TEST_F(VfioKernel, AnUnboundCardIsRefused)
{
    const GuestRunResult& r = Run(booted, "vfio_unbound");
    EXPECT_EQ(r.Status, 105);
    EXPECT_EQ(r.Out, BANNER);
    EXPECT_EQ(r.Err, CantGainAccess("vfio_unbound"));
    // The first the card sees is the reset of the open once the list's
    // remedy has bound it (below).
    EXPECT_EQ(TrafficOf(Received(booted, "vfio_unbound")).Tokens.substr(0, 1), "x");
}

// A reason as one line: the list wraps its text at the width of the table.
std::string Unwrapped(std::string text)
{
    for (std::size_t at; (at = text.find("\n        ")) != std::string::npos;)
        text.replace(at, 9, " ");
    return text;
}

// --list on the real kernel for cards reached through VFIO: a card under
// lockdown not bound yet (and the commands it gives, which bind it: the
// next run programs it, after the reset of its first open), a card a
// holder keeps (its process, since when), and a card whose group device
// the user may not open.
TEST_F(VfioKernel, ListGivesTheReasonsOfVfio)
{
    const GuestRunResult& list = Run(booted, "vfio_list");
    EXPECT_EQ(list.Status, 0);
    EXPECT_EQ(list.Err, "");
    const std::string unbound = CardAddress(booted.Plan(), "vfio_unbound");
    EXPECT_EQ(ListEntry(list.Out, unbound),
              ListLine(booted, "vfio_unbound", "no") +
                  "      - kernel lockdown is on (integrity): the kernel refuses the card's files\n"
                  "        to every program, root included; a run reaches the card through VFIO\n"
                  "        once it is bound to vfio-pci; the udev rule 61-veldran-vfio.rules binds\n"
                  "        it as it appears: copy it from /usr/share/doc/veldran/examples to\n"
                  "        /etc/udev/rules.d; or bind it now, as root:\n"
                  "        modprobe vfio-pci\n"
                  "        echo vfio-pci > /sys/bus/pci/devices/" + unbound + "/driver_override\n"
                  "        echo " + unbound + " > /sys/bus/pci/drivers_probe\n"
                  "        the first open through VFIO then resets the card once\n");
    EXPECT_EQ(Fact(booted, "vfio_remedy"), "3 ran");
    ExpectRun("vfio_remedied", "vfio_unbound", SMALL);
    // Its record holds the refused run, the list's look and the remedied run.
    ExpectProgrammed(BetweenResets(Received(booted, "vfio_unbound"), false), PromImage(SMALL));

    const std::string bit = CardAddress(booted.Plan(), "vfio_bit");
    std::string held = Unwrapped(ListEntry(list.Out, bit));
    const std::size_t since = held.find("held since ");
    ASSERT_NE(since, std::string::npos) << held;
    const std::string time = held.substr(since + 11, 20);  // as date -u +%FT%TZ prints it
    EXPECT_EQ(time.size(), 20u);
    EXPECT_EQ(time.find_first_not_of("0123456789-:TZ"), std::string::npos) << time;
    EXPECT_EQ(time.substr(4, 1) + time.substr(10, 1) + time.substr(19), "-TZ") << time;
    held.replace(since + 11, 20, "<time>");
    EXPECT_EQ(held, ListLine(booted, "vfio_bit", "yes") + "      - held since <time> by process " +
                        Pids(Fact(booted, "vfio_bit_holder")).at(0) +
                        " (veldran), which keeps what a run loaded; a run takes the card over "
                        "from it; veldran --release " + bit +
                        " ends it, and the kernel then resets the card\n");

    // As a user outside the group veldran, before a run of that card.
    const std::string facts = Fact(booted, "vfio_user_card");  // "vfio-pci group N: ..."
    const std::string group = facts.substr(15, facts.find(':') - 15);
    const GuestRunResult& stranger = Run(booted, "vfio_stranger_list");
    EXPECT_EQ(stranger.Status, 0);
    EXPECT_EQ(Unwrapped(ListEntry(stranger.Out, CardAddress(booted.Plan(), "vfio_user"))),
              ListLine(booted, "vfio_user", "no") +
                  "      - no permission to open the card's group device /dev/vfio/" + group +
                  "; the udev rule 61-veldran-vfio.rules gives it to the group veldran; join it "
                  "and log in again, or run as root\n");
}

// ---- a kernel locked down --------------------------------------------------

class LockedDownKernel : public KernelTest {
protected:
    static void SetUpTestSuite()
    {
        GuestPlan plan;
        plan.Cases = {{"lockdown", "lockdown"}, {"list_lockdown", "lockdown"}};
        plan.KernelArgs = "lockdown=integrity";
        booted.Start({Card("lockdown", 3, 0x3312, "\nFound Quorvel KX-20 card", "",
                           PromImage(SMALL))},
                     plan);
    }
    static void TearDownTestSuite() { booted.Stop(); }
    void SetUp() override { booted.Require(); }
    static Booted booted;
};
Booted LockedDownKernel::booted;

// The kernel refuses the card's sysfs files, and the card is not bound to
// vfio-pci, the one way left to it: the open refuses the card; nothing
// reaches it.
// Without an IOMMU the card has no group, so VFIO cannot reach it either:
// the list names the setting the machine needs.
TEST_F(LockedDownKernel, ListNamesTheIommuSettingTheCardNeeds)
{
    EXPECT_EQ(Fact(booted, "list_lockdown_groups"), "0 unlinked");
    const GuestRunResult& list = Run(booted, "list_lockdown");
    EXPECT_EQ(list.Status, 0);
    EXPECT_EQ(list.Err, "");
    EXPECT_EQ(Unwrapped(ListEntry(list.Out, CardAddress(booted.Plan(), "lockdown"))),
              ListLine(booted, "lockdown", "no") +
                  "      - kernel lockdown is on (integrity): the kernel refuses the card's files "
                  "to every program, root included, and the card is in no IOMMU group, which "
                  "VFIO, the way around lockdown, needs; turn the IOMMU on: intel_iommu=on "
                  "(Intel) or amd_iommu=on (AMD) on the kernel's command line, with VT-d or "
                  "AMD-Vi enabled in the firmware's setup; or boot without lockdown (Secure "
                  "Boot off)\n");
}

TEST_F(LockedDownKernel, AnUnboundCardIsRefused)
{
    EXPECT_NE(Fact(booted, "lockdown").find("[integrity]"), std::string::npos)
        << Fact(booted, "lockdown");
    const GuestRunResult& r = Run(booted, "lockdown");
    EXPECT_EQ(r.Status, 105);
    EXPECT_EQ(r.Out, BANNER);
    EXPECT_EQ(r.Err, ErrorFor(booted, "Can't gain access to 9054 card number %u.\n", "lockdown"));
    EXPECT_EQ(TrafficOf(Received(booted, "lockdown")).Tokens, "");
}

}  // namespace
