// veldran --list against simulated buses: the numbers a run counts by,
// held against lspci's own reading of the bus, and each reason a card
// cannot be programmed, as root and as an ordinary user.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <grp.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <map>
#include <sstream>

#include "tests/e2e_fixture.h"

namespace fs = std::filesystem;

namespace {

using ::testing::HasSubstr;

const std::string HEADER =
    "Card  Address       Board                                     Program now?\n";

// A card's line, columns as an operator reads them.
std::string Line(const std::string& number, const std::string& address, const std::string& board,
                 const std::string& verdict)
{
    std::string line = number + std::string(6 - number.size(), ' ') + address + "  " + board;
    return line + std::string(42 - board.size(), ' ') + verdict + "\n";
}

const std::string PERMISSION =
    "      - no permission to read and write resource1 and resource3; the udev rule\n"
    "        60-veldran.rules gives the card's files to the group veldran; join it\n"
    "        and log in again, or run as root\n";
const std::string DECODING = "      - I/O or memory decoding is off; a run as root turns it on\n";
// What the list says last of a card that no run has recorded: its register
// as the bus makes it (DONE only), or that it cannot read it.
const std::string UNTOUCHED = "      nothing recorded; register 0x00000002: PROGRAM cleared, FPGA in reset\n";
const std::string UNREADABLE =
    "      nothing recorded; register: resource1 cannot be read here; what the\n"
    "        card carries now is not known\n";

// What the list says under a card with a driver bound.
std::string DriverWarning(const std::string& driver, const std::string& address)
{
    return "      - warning: the kernel driver " + driver + " is bound to the card; a run\n"
           "        goes ahead, but the driver may use the card too or keep it from being\n"
           "        mapped; to keep the driver off the card, unbind it as root:\n"
           "        echo " + address + " > /sys/bus/pci/devices/" + address + "/driver/unbind\n";
}

class List : public EndToEnd {
protected:
    Outcome RunList() { return RunVeldran({"--list"}, root); }

    // As "nobody", in the group "users" standing for veldran when inGroup.
    Outcome RunListAsUser(bool inGroup)
    {
        std::vector<std::string> args = {"--reuid=nobody", "--regid=nogroup"};
        args.push_back(inGroup ? "--groups=users" : "--clear-groups");
        args.insert(args.end(), {VELDRAN_BINARY, "--list"});
        return RunProcess({"/usr/bin/setpriv", args, {{"VELDRAN_SYSFS_ROOT", root}}});
    }
    // Only root can run the list as another user; the bus is then opened
    // to everyone, as /sys is, but for the resource files.
    bool OpenToUsers()
    {
        if (geteuid() != 0 || access("/usr/bin/setpriv", X_OK) != 0 || getgrnam("users") == nullptr)
            return false;
        for (const fs::path& path : {fs::path(temp.Path()), fs::path(root)})
            chmod(path.c_str(), 0755);
        for (const auto& entry : fs::recursive_directory_iterator(root)) {
            const std::string name = entry.path().filename();
            if (!entry.is_symlink() && name != "resource1" && name != "resource3")
                chmod(entry.path().c_str(), entry.is_directory() ? 0755 : 0644);
        }
        return true;
    }
    // Gives a card's resource files to the group "users", as the udev rule
    // gives them to veldran.
    void GrantToUsers(const SimCard& card)
    {
        for (const char* file : {"resource1", "resource3"}) {
            const std::string path = SimDevicePath(root, card) + "/" + file;
            ASSERT_EQ(chown(path.c_str(), 0, getgrnam("users")->gr_gid), 0) << path;
            ASSERT_EQ(chmod(path.c_str(), 0660), 0) << path;
        }
    }
    // A card's record as a run leaves it (one name=value line a field, in
    // this order), with the fields of set in place of these.
    void WriteRecordOf(const SimCard& card, const std::map<std::string, std::string>& set)
    {
        std::map<std::string, std::string> fields = {
            {"address", SimDeviceName(card)}, {"when", "2026-12-09T20:41:07Z"}, {"user", "alice"},
            {"uid", "1000"}, {"file", "/srv/designs/top.bit"}, {"sha256", std::string(16, '5') + std::string(48, '0')},
            {"format", "bit"}, {"design", "top.ncd;UserID=0xFFFFFFFF"}, {"part", "3s50atq144"},
            {"date", "2026/12/08"}, {"time", "12:00:00"}, {"bytes", "100000"}, {"result", "programmed"}};
        for (const auto& [name, value] : set)
            fields[name] = value;
        std::string text;
        for (const char* name : {"address", "when", "user", "uid", "file", "sha256", "format", "design",
                                 "part", "date", "time", "bytes", "result", "step"})
            text += std::string(name) + "=" + fields[name] + "\n";
        fs::create_directories(root + "/run/cards");
        ASSERT_TRUE(WriteFile(root + "/run/cards/" + SimDeviceName(card), text));
    }
    void WriteLockdown(const std::string& text)
    {
        fs::create_directories(root + "/kernel/security");
        ASSERT_TRUE(WriteFile(root + "/kernel/security/lockdown", text));
    }
};

TEST_F(List, NumbersTheCardsAsARunDoes)
{
    SimCard other = CardAt(2), second = CardAt(3), unknown = CardAt(1, 0x1234);
    other.DeviceId = 0x9056;
    second.Function = 1;
    unknown.Domain = 1;
    MakeBus({CardAt(7, 0x3312), other, second, unknown, CardAt(3, 0x3133)});
    const Outcome r = RunList();
    EXPECT_EQ(r.Status, 0);
    EXPECT_EQ(r.Err, "");
    EXPECT_EQ(r.Out, HEADER + Line("0", "0000:03:00.0", "Quorvel KX-10 card, old - update EEPROM!", "yes") +
                         UNTOUCHED + Line("1", "0000:07:00.0", "Quorvel KX-20 card", "yes") + UNTOUCHED +
                         Line("2", "0001:01:00.0", "unknown board (subsystem ID 0x1234)", "yes") + UNTOUCHED);
    // And a run of number 1 programs the card listed as 1.
    EXPECT_EQ(RunVeldran({prom, "1"}, root).Status, 0);
    EXPECT_EQ(ReadSimControl(root, CardAt(7)), 0x000D0002u);
}

TEST_F(List, NoCardIsStatus101)
{
    MakeBus({});
    const Outcome r = RunList();
    EXPECT_EQ(r.Status, 101);
    EXPECT_EQ(r.Out, "No 9054 card found.\n");
}

// lspci reads the same simulated files on its own and sorts the devices
// itself; the list must count the 9054s at function 0 in its order.
TEST_F(List, CountsInTheOrderLspciShows)
{
    if (access("/usr/bin/lspci", X_OK) != 0)
        SKIP_OR_FAIL_ON_CI("lspci not installed (Debian package pciutils)");
    std::vector<SimCard> cards;
    for (const auto& [domain, bus, slot, function] :
         std::vector<std::tuple<uint32_t, uint8_t, uint8_t, uint8_t>>{
             {2, 0, 0, 0}, {0, 0x40, 0, 0}, {0, 5, 3, 0}, {0x10, 1, 0, 0}, {0, 5, 0x1f, 0},
             {0, 5, 3, 1}, {1, 0x80, 2, 0}, {0, 0xa, 0, 0}, {0, 5, 0, 0}}) {
        SimCard card = CardAt(static_cast<uint8_t>(cards.size() + 1));
        card.Domain = domain;
        card.Bus = bus;
        card.Slot = slot;
        card.Function = function;
        cards.push_back(card);
    }
    MakeBus(cards);
    const Outcome lspci = RunProcess(
        {"/usr/bin/lspci",
         {"-A", "linux-sysfs", "-O", "sysfs.path=" + root + "/bus/pci", "-D", "-n", "-d", "10b5:9054"},
         {}});
    ASSERT_EQ(lspci.Status, 0) << lspci.Err;
    std::vector<std::string> expected;
    std::istringstream lines(lspci.Out);
    for (std::string line; std::getline(lines, line);)
        if (line.compare(12, 1, " ") == 0 && line.compare(11, 1, "0") == 0)
            expected.push_back(line.substr(0, 12));
    ASSERT_EQ(expected.size(), 8u) << lspci.Out;

    const Outcome r = RunList();
    ASSERT_EQ(r.Status, 0);
    std::vector<std::string> listed;
    std::istringstream list(r.Out);
    std::string line;
    std::getline(list, line);  // the header
    for (unsigned number = 0; std::getline(list, line); ++number) {
        if (line[0] == ' ' && number-- > 0)  // what the list says under the card above
            continue;
        EXPECT_EQ(line.substr(0, 6), std::to_string(number) + std::string(5, ' ')) << line;
        listed.push_back(line.substr(6, 12));
    }
    EXPECT_EQ(listed, expected);
}

TEST_F(List, AnOperatorWithoutTheGroupIsToldWhatGrantsAccess)
{
    MakeBus({CardAt(1), CardAt(2)});
    if (!OpenToUsers())
        SKIP_OR_FAIL_ON_CI("needs root, setpriv and the group users to run as another user");
    Outcome r = RunListAsUser(false);
    EXPECT_EQ(r.Status, 0) << r.Err;
    EXPECT_EQ(r.Out, HEADER + Line("0", "0000:01:00.0", "Quorvel KX-10 card", "no") + PERMISSION +
                         UNREADABLE + Line("1", "0000:02:00.0", "Quorvel KX-10 card", "no") + PERMISSION +
                         UNREADABLE);
    // The rule's grant counts once the user is in the group; only the
    // files still not granted are named.
    GrantToUsers(CardAt(1));
    ASSERT_EQ(chmod((SimDevicePath(root, CardAt(2)) + "/resource1").c_str(), 0666), 0);
    r = RunListAsUser(true);
    EXPECT_EQ(r.Out, HEADER + Line("0", "0000:01:00.0", "Quorvel KX-10 card", "yes") + UNTOUCHED +
                         Line("1", "0000:02:00.0", "Quorvel KX-10 card", "no") +
                         "      - no permission to read and write resource3; the udev rule\n" +
                         PERMISSION.substr(PERMISSION.find("        60-")) + UNTOUCHED);
    r = RunListAsUser(false);
    EXPECT_THAT(r.Out, HasSubstr(Line("0", "0000:01:00.0", "Quorvel KX-10 card", "no")));
}

// The kernel turns decoding on for a write of 1 to `enable` only as its
// count of enables goes from 0 to 1: a card enabled once, whose decoding
// was cleared behind the kernel's back, stays off whoever runs.
TEST_F(List, DecodingOffNeedsARunAsRootAndAKernelThatCountsNoEnable)
{
    SimCard deaf = CardAt(1), enabled = CardAt(2);
    deaf.Decoding = false;
    enabled.Decoding = false;
    enabled.Enable = 1;
    MakeBus({deaf, enabled});
    const std::string counted =
        "      - I/O or memory decoding is off, but the kernel counts the card as\n"
        "        enabled (enable reads 1), so a run cannot turn it on; as root, write 0\n"
        "        to /sys/bus/pci/devices/0000:02:00.0/enable until it reads 0, then run\n"
        "        as root\n";
    // Root may write `enable`: the run turns decoding on.
    if (geteuid() == 0) {
        EXPECT_EQ(RunList().Out, HEADER + Line("0", "0000:01:00.0", "Quorvel KX-10 card", "yes") +
                                     DECODING + UNTOUCHED +
                                     Line("1", "0000:02:00.0", "Quorvel KX-10 card", "no") + counted +
                                     UNTOUCHED);
    }
    if (!OpenToUsers())
        SKIP_OR_FAIL_ON_CI("needs root, setpriv and the group users to run as another user");
    GrantToUsers(deaf);
    GrantToUsers(enabled);
    EXPECT_EQ(RunListAsUser(true).Out,
              HEADER + Line("0", "0000:01:00.0", "Quorvel KX-10 card", "no") + DECODING + UNTOUCHED +
                  Line("1", "0000:02:00.0", "Quorvel KX-10 card", "no") + counted + UNTOUCHED);
}

TEST_F(List, LockdownIsNamedWithItsModeOrAsUnknown)
{
    MakeBus({CardAt(1)});
    WriteLockdown("none [integrity] confidentiality\n");
    Outcome r = RunList();
    // Through VFIO, which needs an IOMMU group that this card is not in.
    EXPECT_EQ(r.Out, HEADER + Line("0", "0000:01:00.0", "Quorvel KX-10 card", "no") +
                         "      - kernel lockdown is on (integrity): the kernel refuses the card's files\n"
                         "        to every program, root included, and the card is in no IOMMU group,\n"
                         "        which VFIO, the way around lockdown, needs; turn the IOMMU on:\n"
                         "        intel_iommu=on (Intel) or amd_iommu=on (AMD) on the kernel's command\n"
                         "        line, with VT-d or AMD-Vi enabled in the firmware's setup; or boot\n"
                         "        without lockdown (Secure Boot off)\n"
                         // Under lockdown a run takes VFIO, whose register only a holder reads.
                         "      nothing recorded; register: cannot be read here: only the process\n"
                         "        holding the card through VFIO may, and none does; what the card carries\n"
                         "        now is not known\n");
    WriteLockdown("none [\x1b(0\x07integrity] confidentiality\n");
    EXPECT_THAT(RunList().Out, HasSubstr("      - kernel lockdown is on (?(0?integrity):"));
    WriteLockdown("[none] integrity confidentiality\n");
    EXPECT_EQ(RunList().Out, HEADER + Line("0", "0000:01:00.0", "Quorvel KX-10 card", "yes") + UNTOUCHED);

    // No securityfs, as in many containers: a run may yet meet lockdown.
    const std::string unknown =
        "      - kernel lockdown could not be checked: /sys/kernel/security/lockdown\n"
        "        cannot be read (no securityfs here, as in many containers); a run fails\n"
        "        under lockdown\n";
    fs::remove(root + "/kernel/security/lockdown");
    EXPECT_EQ(RunList().Out,
              HEADER + Line("0", "0000:01:00.0", "Quorvel KX-10 card", "yes") + unknown + UNTOUCHED);
    // securityfs there, but a kernel without the lockdown module: none.
    ASSERT_TRUE(WriteFile(root + "/kernel/security/lsm", "capability,yama,apparmor"));
    EXPECT_EQ(RunList().Out, HEADER + Line("0", "0000:01:00.0", "Quorvel KX-10 card", "yes") + UNTOUCHED);
    ASSERT_TRUE(WriteFile(root + "/kernel/security/lsm", "capability,yama,lockdown\n"));
    EXPECT_EQ(RunList().Out,
              HEADER + Line("0", "0000:01:00.0", "Quorvel KX-10 card", "yes") + unknown + UNTOUCHED);
}

// A run programs a card that a driver is bound to (a machine whose driver
// shares the card may rely on that): yes, with a warning naming the driver
// as a terminal may show it. With decoding off too, no: the kernel enables
// no card that a driver holds.
TEST_F(List, ABoundDriverIsAWarningNamedWithHowToUnbindIt)
{
    SimCard deaf = CardAt(3);
    deaf.Decoding = false;
    MakeBus({CardAt(1), CardAt(2), deaf});
    for (const auto& [card, driver] : {std::pair<SimCard, std::string>{CardAt(2), "uio_pci_generic"},
                                       {deaf, "plx\x1b]0;x\x07"}}) {
        fs::create_directories(root + "/bus/pci/drivers/" + driver);
        fs::create_symlink("../../../../bus/pci/drivers/" + driver, SimDevicePath(root, card) + "/driver");
    }
    const Outcome r = RunList();
    EXPECT_EQ(r.Out,
              HEADER + Line("0", "0000:01:00.0", "Quorvel KX-10 card", "yes") + UNTOUCHED +
                  Line("1", "0000:02:00.0", "Quorvel KX-10 card", "yes") +
                  DriverWarning("uio_pci_generic", "0000:02:00.0") + UNTOUCHED +
                  Line("2", "0000:03:00.0", "Quorvel KX-10 card", "no") +
                  "      - warning: the kernel driver plx?]0;x? is bound to the card; a run goes\n"
                  "        ahead, but the driver may use the card too or keep it from being\n"
                  "        mapped; to keep the driver off the card, unbind it as root:\n"
                  "        echo 0000:03:00.0 > /sys/bus/pci/devices/0000:03:00.0/driver/unbind\n"
                  "      - I/O or memory decoding is off, and the kernel enables no card that a\n"
                  "        driver holds; unbind the driver, then run as root\n" + UNTOUCHED);
    EXPECT_EQ(RunVeldran({prom, "1"}, root).Status, 0) << "a run goes ahead";
}

// A run holds its card from the open to its end; this one is held there
// while it prints a design name longer than its output pipe takes. The
// list finds the run's lock in the kernel's list of locks, without trying
// it, and names the process; a run of its own would be refused.
TEST_F(List, ACardAnotherRunHoldsIsInUse)
{
    MakeBus({CardAt(1), CardAt(2)});
    const std::string design = TempFile(BitFile({std::string(60000, 'x'), "b", "c", "d"}, 4, Bytes(4)));
    Process held({VELDRAN_BINARY, {design, "1"}, {{"VELDRAN_SYSFS_ROOT", root}}});
    ASSERT_TRUE(held.WaitUntilBlockedWriting());
    EXPECT_EQ(RunList().Out, HEADER + Line("0", "0000:01:00.0", "Quorvel KX-10 card", "yes") + UNTOUCHED +
                                 Line("1", "0000:02:00.0", "Quorvel KX-10 card", "no") +
                                 "      - in use by another run (process " + std::to_string(held.Pid()) +
                                 ", veldran); wait for it to end\n" + UNTOUCHED);
    EXPECT_EQ(RunVeldran({prom, "1"}, root).Status, 105);
    EXPECT_EQ(held.Finish().Status, 0);
    EXPECT_THAT(RunList().Out, HasSubstr(Line("1", "0000:02:00.0", "Quorvel KX-10 card", "yes")));
}

// Where /proc/locks cannot be read, the list cannot see another run's
// hold: a run may still be refused. Shown as an operator in the group, in a
// mount namespace of the list's own where /proc/locks is a file of root's.
TEST_F(List, ALockListThatCannotBeReadIsSaid)
{
    MakeBus({CardAt(1)});
    if (!OpenToUsers())
        SKIP_OR_FAIL_ON_CI("needs root, setpriv and the group users to run as another user");
    GrantToUsers(CardAt(1));
    const std::string hidden = temp.Path() + "/locks";
    ASSERT_TRUE(WriteFile(hidden, ""));
    ASSERT_EQ(chmod(hidden.c_str(), 0600), 0);
    const Outcome r = RunProcess(
        {"/usr/bin/unshare",
         {"--mount", "sh", "-c",
          "mount --bind \"$0\" /proc/locks && exec setpriv --reuid=nobody --regid=nogroup "
          "--groups=users \"$1\" --list",
          hidden, VELDRAN_BINARY},
         {{"VELDRAN_SYSFS_ROOT", root}}});
    if (r.Status != 0 && r.Out.empty())
        SKIP_OR_FAIL_ON_CI("no private mount over /proc/locks here: " + r.Err);
    EXPECT_EQ(r.Out, HEADER + Line("0", "0000:01:00.0", "Quorvel KX-10 card", "yes") +
                         "      - whether another run holds the card could not be checked: /proc/locks\n"
                         "        cannot be read\n" + UNTOUCHED);
}

// Without the list of the card's resources, or an I/O BAR in it, a run
// finds no lock to take and refuses the card: so does the list.
TEST_F(List, ACardWithoutItsLockIsNo)
{
    MakeBus({CardAt(1), CardAt(2)});
    ASSERT_EQ(unlink((SimDevicePath(root, CardAt(1)) + "/resource").c_str()), 0);
    const std::string path = SimDevicePath(root, CardAt(2)) + "/resource";
    const std::string none = "0x0000000000000000 0x0000000000000000 0x0000000000000000\n";
    ASSERT_TRUE(WriteFile(path, ReadFile(path).replace(none.size(), none.size(), none)));
    EXPECT_EQ(RunList().Out,
              HEADER + Line("0", "0000:01:00.0", "Quorvel KX-10 card", "no") +
                  "      - the card's resource cannot be read\n" + UNREADABLE +
                  Line("1", "0000:02:00.0", "Quorvel KX-10 card", "no") +
                  "      - the card has no I/O BAR (the kernel gave it no I/O ports): a run\n"
                  "        reaches the card's registers, and holds the card, through it\n" + UNREADABLE);
    for (const char* number : {"0", "1"}) {
        const Outcome r = RunVeldran({prom, number}, root);
        EXPECT_EQ(r.Status, 105) << number;
        EXPECT_EQ(r.Out, BANNER) << number;
        EXPECT_EQ(r.Err, ErrorBlock("Can't gain access to 9054 card number " + std::string(number) + ".\n"));
    }
}

// A run takes the numbers 0 to 15; a card counted past them is listed all
// the same, with the one way to reach it.
TEST_F(List, ACardNumberedAbove15IsReachedByItsAddress)
{
    std::vector<SimCard> cards;
    for (uint8_t bus = 1; bus <= 17; ++bus)
        cards.push_back(CardAt(bus));
    MakeBus(cards);
    EXPECT_THAT(RunList().Out,
                ::testing::EndsWith(Line("15", "0000:10:00.0", "Quorvel KX-10 card", "yes") + UNTOUCHED +
                                    Line("16", "0000:11:00.0", "Quorvel KX-10 card", "yes") +
                                    "      - a run takes the card numbers 0 to 15 only: name this card by its\n"
                                    "        address, 0000:11:00.0\n" + UNTOUCHED));
    EXPECT_EQ(RunVeldran({prom, "16"}, root).Status, 101);
    EXPECT_EQ(RunVeldran({prom, "0000:11:00.0"}, root).Status, 0);
}

// A container's /sys is a read-only mount: shown here with a read-only bind
// mount of the simulated bus in a mount namespace of the list's own; a
// read-write mount of the card's folder on top gives that card back.
TEST_F(List, ReadOnlySysfsIsNamed)
{
    MakeBus({CardAt(1)});
    const std::string script = "mount --bind \"$0\" \"$0\" && mount -o remount,bind,ro \"$0\" \"$0\" "
                               "&& exec \"$1\" --list";
    const Outcome r = RunProcess({"/usr/bin/unshare", {"--mount", "sh", "-c", script, root, VELDRAN_BINARY},
                                  {{"VELDRAN_SYSFS_ROOT", root}}});
    if (r.Status != 0 && r.Out.empty())
        SKIP_OR_FAIL_ON_CI("no private read-only mount here: " + r.Err);
    EXPECT_EQ(r.Out, HEADER + Line("0", "0000:01:00.0", "Quorvel KX-10 card", "no") +
                         "      - sysfs is mounted read-only here (as in a container): the card's files\n"
                         "        cannot be opened for writing; run where /sys is writable\n" + UNTOUCHED);

    // A container given the card's own folder read-write, as a bind mount.
    const std::string card = fs::canonical(SimDevicePath(root, CardAt(1)));
    const Outcome given = RunProcess(
        {"/usr/bin/unshare",
         {"--mount", "sh", "-c",
          script.substr(0, script.find(" && exec")) +
              " && mount --bind \"$2\" \"$2\" && mount -o remount,bind,rw \"$2\" \"$2\""
              " && exec \"$1\" --list",
          root, VELDRAN_BINARY, card},
         {{"VELDRAN_SYSFS_ROOT", root}}});
    EXPECT_EQ(given.Out, HEADER + Line("0", "0000:01:00.0", "Quorvel KX-10 card", "yes") + UNTOUCHED)
        << given.Err;
}

// What a card carries: its record and its register now, read together.
// Where the register contradicts a record that says "programmed", the
// list says that the card no longer carries it.
TEST_F(List, SaysWhatTheRecordAndTheRegisterSayTogether)
{
    const SimCard card = CardAt(1);
    MakeBus({card});
    // Wrapped, as every line of the list, to 79 columns with room for the indent.
    const std::string file = "        file /srv/designs/top.bit, 100000 bytes sent, sha256\n"
                             "        5555555555555555...\n";
    const std::string programmed = "      recorded: programmed at 2026-12-09T20:41:07Z by alice (uid 1000)\n"
                                   "        design top.ncd;UserID=0xFFFFFFFF\n"
                                   "        part 3s50atq144, 2026/12/08 12:00:00\n" + file;
    const struct {
        std::map<std::string, std::string> record;
        uint32_t control;
        std::string says;
    } cases[] = {
        {{}, 0x000D0002, programmed + "      register 0x000d0002: done; the card carries the recorded design\n"},
        {{}, 0x000C0002, programmed + "      register 0x000c0002: PROGRAM cleared, FPGA in reset; the card no longer\n"
                                      "        carries the recorded design\n"},
        {{}, 0x000D0000, programmed + "      register 0x000d0000: a configuration cycle in progress; the card no\n"
                                      "        longer carries the recorded design\n"},
        // All ones is a bus where nothing answers, not a card that is done.
        {{}, 0xFFFFFFFF, programmed + "      register 0xffffffff: the card does not answer (its decoding is off, or\n"
                                      "        it is gone); what it carries now is not known\n"},
        {{{"format", "prom"}, {"user", ""}, {"result", "failed"},
          {"step", "Error: Not <DONE>; programming not completed."}},
         0x000D0002,
         "      recorded: failed at 2026-12-09T20:41:07Z by uid 1000: Error: Not\n"
         "        <DONE>; programming not completed.\n"
         "        a PROM image\n" + file +
         "      register 0x000d0002: done, but the recorded run did not finish: what\n"
         "        the card carries is not known\n"},
        {{{"result", "interrupted"}, {"step", "SIGINT"}, {"design", "\\x1b]0;x\\x07top"}, {"bytes", ""}},
         0x000C0002,
         "      recorded: interrupted by SIGINT at 2026-12-09T20:41:07Z by alice (uid\n"
         "        1000)\n"
         "        design ?]0;x?top\n"
         "        part 3s50atq144, 2026/12/08 12:00:00\n"
         "        file /srv/designs/top.bit, sha256 5555555555555555...\n"
         "      register 0x000c0002: PROGRAM cleared, FPGA in reset\n"},
        {{{"address", "0000:09:00.0"}}, 0x000D0002, "      the card's record cannot be read; register 0x000d0002: done\n"},
    };
    for (const auto& k : cases) {
        WriteRecordOf(card, k.record);
        ASSERT_TRUE(WriteSimControl(root, card, k.control, nullptr));
        EXPECT_EQ(RunList().Out, HEADER + Line("0", "0000:01:00.0", "Quorvel KX-10 card", "yes") + k.says);
    }
}

// The JSON form, as jq reads it: one card's object a line, each field of
// the manual's list with its type, and the system's names escaped, bytes
// that are not UTF-8 included.
TEST_F(List, JsonIsWhatJqReads)
{
    if (access("/usr/bin/jq", X_OK) != 0)
        SKIP_OR_FAIL_ON_CI("jq not installed (Debian package jq)");
    std::vector<SimCard> cards = {CardAt(1), CardAt(2), CardAt(3, 0x1234)};
    for (uint8_t bus = 4; bus <= 17; ++bus)
        cards.push_back(CardAt(bus));
    cards[1].SubVendorId = 0x1af4;
    MakeBus(cards);
    WriteRecordOf(cards[0], {});
    ASSERT_TRUE(WriteSimControl(root, cards[0], 0x000D0002, nullptr));
    const std::string driver = "plx\"\\\n\x1b\xff";
    fs::create_directories(root + "/bus/pci/drivers/" + driver);
    fs::create_symlink("../../../../bus/pci/drivers/" + driver, SimDevicePath(root, cards[1]) + "/driver");
    const Outcome r = RunVeldran({"--list", "--json"}, root);
    EXPECT_EQ(r.Status, 0);
    // "[", a line for each card, "]": what a shell reads line by line.
    EXPECT_THAT(r.Out, ::testing::MatchesRegex("\\[\n(\\{\"number\":[^\n]*\\},\n){16}\\{\"number\":[^\n]*\\}\n\\]\n"));
    const std::string json = temp.Path() + "/list.json";
    ASSERT_TRUE(WriteFile(json, r.Out));
    // jq would read bytes that are not UTF-8 as U+FFFD itself: iconv tells.
    EXPECT_EQ(RunProcess({"/usr/bin/iconv", {"-f", "UTF-8", "-t", "UTF-8", json}, {}}).Status, 0);
    const auto jq = [&](const std::string& filter) {
        const Outcome q = RunProcess({"/usr/bin/jq", {"-c", filter, json}, {}});
        EXPECT_EQ(q.Status, 0) << q.Err;
        return q.Out;
    };
    EXPECT_EQ(jq(".[0,1,2,16] | [.number, .address, .subsystem_vendor, .subsystem_device, .board, "
                 ".programmable, .method, (.reasons | length), .carries, .register]"),
              "[0,\"0000:01:00.0\",\"0x10b5\",\"0x3311\",\"Quorvel KX-10 card\",true,\"sysfs\",0,\"recorded\","
              "{\"value\":\"0x000d0002\",\"state\":\"done\"}]\n"
              "[1,\"0000:02:00.0\",\"0x1af4\",\"0x3311\",\"Quorvel KX-10 card\",true,\"sysfs\",1,\"none\","
              "{\"value\":\"0x00000002\",\"state\":\"program_cleared\"}]\n"
              "[2,\"0000:03:00.0\",\"0x10b5\",\"0x1234\",null,true,\"sysfs\",0,\"none\","
              "{\"value\":\"0x00000002\",\"state\":\"program_cleared\"}]\n"
              "[null,\"0000:11:00.0\",\"0x10b5\",\"0x3311\",\"Quorvel KX-10 card\",true,\"sysfs\",0,\"none\","
              "{\"value\":\"0x00000002\",\"state\":\"program_cleared\"}]\n");
    EXPECT_EQ(jq(".[0].record | [.address, .uid, .bytes, .result, .step, .sha256[0:4], .design]"),
              "[\"0000:01:00.0\",1000,100000,\"programmed\",\"\",\"5555\",\"top.ncd;UserID=0xFFFFFFFF\"]\n");
    EXPECT_EQ(jq(".[1].reasons[0] | [.blocks, .problem[0:38], .remedy[0:32], .remedy[32:39], .remedy[-7:]]"),
              "[false,\"warning: the kernel driver plx\\\"\\\\\\n\\u001b\ufffd is\","
              "\"to keep the driver off the card,\",\" unbind\",\"/unbind\"]\n");
    EXPECT_EQ(jq("[.[1:] | .[].record] | unique"), "[null]\n");

    MakeBus({});
    TempFolder none;
    root = none.Path();
    const Outcome empty = RunVeldran({"--list", "--json"}, root);
    EXPECT_EQ(empty.Status, 101);
    EXPECT_EQ(empty.Out, "[]\n");
}

// Every file of the bus, with its mode and content.
std::map<std::string, std::string> Snapshot(const std::string& root)
{
    std::map<std::string, std::string> files;
    for (const auto& entry : fs::recursive_directory_iterator(root)) {
        struct stat st;
        lstat(entry.path().c_str(), &st);
        files[entry.path()] = std::to_string(st.st_mode) + ":" +
                              (entry.is_regular_file() ? ReadFile(entry.path()) : "");
    }
    return files;
}

TEST_F(List, ChangesNothingOnTheBus)
{
    SimCard deaf = CardAt(1), busy = CardAt(2);
    deaf.Decoding = false;
    busy.Control = 0;
    MakeBus({deaf, busy});
    const auto before = Snapshot(root);
    EXPECT_EQ(RunList().Status, 0);
    EXPECT_EQ(Snapshot(root), before);
}

}  // namespace
