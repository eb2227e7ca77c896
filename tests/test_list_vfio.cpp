// The VFIO method against simulated buses: which method a card gets, as
// the list and a run show it; the list's reasons for a card reached
// through VFIO; a held card and --release. The group's device files are
// plain files here (tools/simbus), so a run through VFIO gets as far as
// its first ioctl and no further: the real path is the kernel suite's.
#include <gtest/gtest.h>

#include <grp.h>
#include <sys/stat.h>

#include <filesystem>

#include "pci/sysfs_formats.h"
#include "tests/e2e_fixture.h"
#include "tests/fake_holder.h"

namespace fs = std::filesystem;

namespace {

const std::string KX10 = "Quorvel KX-10 card";
const std::string NO_ACCESS = ErrorBlock("Can't gain access to 9054 card number 0.\n");

const std::string NO_IOMMU =
    "      - kernel lockdown is on (integrity): the kernel refuses the card's files\n"
    "        to every program, root included, and the card is in no IOMMU group,\n"
    "        which VFIO, the way around lockdown, needs; turn the IOMMU on:\n"
    "        intel_iommu=on (Intel) or amd_iommu=on (AMD) on the kernel's command\n"
    "        line, with VT-d or AMD-Vi enabled in the firmware's setup; or boot\n"
    "        without lockdown (Secure Boot off)\n";

// What the list says of a card not bound to vfio-pci under lockdown.
std::string NotBound(const std::string& address, const std::string& driver = "")
{
    const std::string folder = "/sys/bus/pci/devices/" + address;
    return "      - kernel lockdown is on (integrity): the kernel refuses the card's files\n"
           "        to every program, root included; a run reaches the card through VFIO\n" +
           (driver.empty()
                ? "        once it is bound to vfio-pci; the udev rule 61-veldran-vfio.rules binds\n"
                  "        it as it appears: copy it from /usr/share/doc/veldran/examples to\n"
                  "        /etc/udev/rules.d; or bind it now, as root:\n"
                : "        once it is bound to vfio-pci (now " + driver + "); the udev rule\n"
                  "        61-veldran-vfio.rules binds it as it appears: copy it from\n"
                  "        /usr/share/doc/veldran/examples to /etc/udev/rules.d; or bind it now,\n"
                  "        as root:\n") +
           "        modprobe vfio-pci\n"
           "        echo vfio-pci > " + folder + "/driver_override\n" +
           (driver.empty() ? "" : "        echo " + address + " > " + folder + "/driver/unbind\n") +
           "        echo " + address + " > /sys/bus/pci/drivers_probe\n"
           "        the first open through VFIO then resets the card once\n";
}

// The list with each reason on one line: where a process ID's digits
// wrap it does not matter.
std::string Unwrapped(std::string text)
{
    for (std::size_t at; (at = text.find("\n        ")) != std::string::npos;)
        text.replace(at, 9, " ");
    return text;
}

// The list without what it says each card carries (the record and the
// register, which the list tests check): the card lines and their reasons.
std::string Reasons(const std::string& list)
{
    std::string out;
    bool carried = false;
    for (std::size_t at = 0, end; at < list.size(); at = end) {
        end = list.find('\n', at);
        end = end == std::string::npos ? list.size() : end + 1;
        const std::string line = list.substr(at, end - at);
        const bool more = line.compare(0, 8, "        ") == 0;
        carried = (line.compare(0, 6, "      ") == 0 && line[6] != ' ' && line[6] != '-') ||
                  (carried && more);
        if (!carried)
            out += line;
    }
    return out;
}

// vfio-pci enables a card only while it is open: `enable` reads 0 then.
SimCard Bound(uint8_t bus, int group, const std::string& driver = "vfio-pci")
{
    SimCard card = CardAt(bus);
    card.Group = group;
    card.Driver = driver;
    card.Enable = driver == "vfio-pci" ? 0 : -1;
    return card;
}

class VfioBus : public EndToEnd {
protected:
    std::vector<std::pair<std::string, std::string>> Env() const
    {
        return {{"VELDRAN_SYSFS_ROOT", root}, {"VELDRAN_DEV_ROOT", dev},
                {"VELDRAN_RUN_DIR", run}};
    }
    Outcome Run(const std::vector<std::string>& args)
    {
        return RunProcess({VELDRAN_BINARY, args, Env()});
    }
    void MakeVfioBus(const std::vector<SimCard>& cards)
    {
        MakeBus(cards);
        std::string error;
        ASSERT_TRUE(MakeSimDevices(dev, cards, &error)) << error;
    }
    void Lockdown()
    {
        ASSERT_TRUE(WriteFile(root + "/kernel/security/lockdown", "none [integrity] confidentiality\n"));
    }
    // A holder of card address, over the card's group file: as a run's
    // holder keeps it.
    std::unique_ptr<FakeHolder> HoldCard(const std::string& address, int group)
    {
        fs::create_directories(run + "/hold");
        const std::string files[3] = {dev + "/vfio/vfio", dev + "/vfio/" + std::to_string(group),
                                      prom};
        return std::make_unique<FakeHolder>(run + "/hold/" + address, files, vfio::Region{});
    }
    const std::string dev = temp.Path() + "/dev";
    const std::string run = temp.Path() + "/run";
};

// VFIO where the card is bound to vfio-pci or the kernel is locked down,
// the sysfs files elsewhere: a run through VFIO fails at its open here,
// where one through the files programs the card.
TEST_F(VfioBus, TheMethodIsChosenPerCardAtRunTime)
{
    MakeVfioBus({CardAt(1), Bound(2, 2), Bound(3, 3, "")});
    EXPECT_EQ(Reasons(Run({"--list"}).Out), LIST_HEADER + ListLine("0", "0000:01:00.0", KX10, "yes") +
                                       ListLine("1", "0000:02:00.0", KX10, "yes") +
                                       ListLine("2", "0000:03:00.0", KX10, "yes"));
    for (const auto& [card, status] : {std::pair<const char*, int>{"0", 0}, {"1", 105}, {"2", 0}})
        EXPECT_EQ(Run({prom, card}).Status, status) << card;

    Lockdown();
    EXPECT_EQ(Reasons(Run({"--list"}).Out), LIST_HEADER + ListLine("0", "0000:01:00.0", KX10, "no") +
                                       NO_IOMMU + ListLine("1", "0000:02:00.0", KX10, "yes") +
                                       ListLine("2", "0000:03:00.0", KX10, "no") +
                                       NotBound("0000:03:00.0"));
    for (const char* card : {"0", "1", "2"}) {
        const Outcome r = Run({prom, card});
        EXPECT_EQ(r.Status, 105) << card;
        EXPECT_EQ(r.Err, ErrorBlock("Can't gain access to 9054 card number " + std::string(card) + ".\n"));
    }
}

// What stands between a bound card and a run: each of its files, the
// module that gives a group its IOMMU, and the other devices of its group.
TEST_F(VfioBus, ABoundCardsFilesModulesAndGroupAreChecked)
{
    SimCard other = Bound(9, 5, "e1000e");
    other.VendorId = 0x8086;
    other.DeviceId = 0x10d3;
    MakeVfioBus({Bound(4, 4), Bound(5, 5), other, Bound(6, 6, "igb")});
    Lockdown();
    ASSERT_EQ(unlink((dev + "/vfio/4").c_str()), 0);
    EXPECT_EQ(Reasons(Run({"--list"}).Out),
              LIST_HEADER + ListLine("0", "0000:04:00.0", KX10, "no") +
                  "      - the card's group device /dev/vfio/4 is missing; in a container, pass\n"
                  "        /dev/vfio/vfio and /dev/vfio/4 in (--device)\n" +
                  ListLine("1", "0000:05:00.0", KX10, "no") +
                  "      - the card's IOMMU group 5 also holds 0000:09:00.0 (e1000e), bound to\n"
                  "        other drivers: the kernel lets a program use a group only when all its\n"
                  "        devices are bound to vfio-pci or to none; bind them to vfio-pci as\n"
                  "        well, or unbind their drivers; or move the card to a slot with a group\n"
                  "        of its own\n" +
                  ListLine("2", "0000:06:00.0", KX10, "no") + NotBound("0000:06:00.0", "igb"));

    // A kernel with the unsafe no-IOMMU mode names the group noiommu-N.
    ASSERT_TRUE(WriteFile(dev + "/vfio/noiommu-4", ""));
    const std::string noIommu = Reasons(Run({"--list"}).Out);
    EXPECT_NE(noIommu.find(ListLine("0", "0000:04:00.0", KX10, geteuid() == 0 ? "yes" : "no") +
                           "      - no IOMMU guards the card: its group is one of the kernel's unsafe\n"
                           "        no-IOMMU mode, which only root may use; turn the IOMMU on:\n"),
              std::string::npos)
        << noIommu;

    ASSERT_EQ(unlink((dev + "/vfio/vfio").c_str()), 0);
    fs::create_directories(root + "/module/vfio");
    const std::string out = Reasons(Run({"--list"}).Out);
    EXPECT_NE(out.find("      - /dev/vfio/vfio is missing; as root, load vfio-pci:\n"
                       "        modprobe vfio-pci\n"
                       "        in a container, pass /dev/vfio/vfio and /dev/vfio/noiommu-4 in\n"),
              std::string::npos) << out;
    EXPECT_NE(out.find("      - the kernel module vfio_iommu_type1 is not loaded: VFIO cannot give the\n"
                       "        card's group an IOMMU; as root:\n"
                       "        modprobe vfio_iommu_type1\n"),
              std::string::npos) << out;
}

// The group's device is root's alone, as the kernel makes it; the opt-in
// rule gives it to the group veldran ("users" here).
TEST_F(VfioBus, AnOperatorNeedsTheGroupDevice)
{
    MakeVfioBus({Bound(1, 7)});
    if (geteuid() != 0 || access("/usr/bin/setpriv", X_OK) != 0 || getgrnam("users") == nullptr)
        SKIP_OR_FAIL_ON_CI("needs root, setpriv and the group users to run as another user");
    for (const auto& entry : fs::recursive_directory_iterator(temp.Path()))
        if (entry.is_directory() && !entry.is_symlink())
            chmod(entry.path().c_str(), 0755);
    chmod(temp.Path().c_str(), 0755);
    const auto asUser = [&] {
        return RunProcess({"/usr/bin/setpriv",
                           {"--reuid=nobody", "--regid=nogroup", "--groups=users", VELDRAN_BINARY,
                            "--list"},
                           Env()});
    };
    EXPECT_EQ(Reasons(asUser().Out),
              LIST_HEADER + ListLine("0", "0000:01:00.0", KX10, "no") +
                  "      - no permission to open the card's group device /dev/vfio/7; the udev\n"
                  "        rule 61-veldran-vfio.rules gives it to the group veldran; join it and\n"
                  "        log in again, or run as root\n");
    const std::string group = dev + "/vfio/7";
    ASSERT_EQ(chown(group.c_str(), 0, getgrnam("users")->gr_gid), 0);
    ASSERT_EQ(chmod(group.c_str(), 0660), 0);
    EXPECT_EQ(Reasons(asUser().Out), LIST_HEADER + ListLine("0", "0000:01:00.0", KX10, "yes"));
}

// A holder keeps the card and what it was loaded with: a run takes the card
// over, so it is a note; any other process with the group open is another
// run, which a run must wait for.
TEST_F(VfioBus, AHeldCardIsANoteAndOneInUseIsNo)
{
    MakeVfioBus({Bound(3, 8)});
    auto holder = HoldCard("0000:03:00.0", 8);
    ASSERT_TRUE(holder->Serving());
    const std::string name = ReadFile("/proc/" + std::to_string(holder->Pid()) + "/comm");
    EXPECT_EQ(Unwrapped(Reasons(Run({"--list"}).Out)),
              LIST_HEADER + ListLine("0", "0000:03:00.0", KX10, "yes") +
                  "      - held since 2023-11-14T22:13:20Z by process " +
                  std::to_string(holder->Pid()) + " (" + name.substr(0, name.size() - 1) +
                  "), which keeps what a run loaded; a run takes the card over from it; "
                  "veldran --release 0000:03:00.0 ends it, and the kernel then resets the card\n");
    holder->Kill();
    Process user({"/bin/sh", {"-c", "exec 3<>\"$0\" && exec sleep 60", dev + "/vfio/8"}, {}});
    ASSERT_TRUE(user.Started());
    // Until sleep runs, with the file open.
    Outcome r;
    for (int i = 0; i < 500; ++i) {
        r = Run({"--list"});
        if (r.Out.find(" sleep)") != std::string::npos)
            break;
    }
    EXPECT_EQ(Unwrapped(Reasons(r.Out)), LIST_HEADER + ListLine("0", "0000:03:00.0", KX10, "no") +
                                    "      - in use by another run (process " +
                                    std::to_string(user.Pid()) + ", sleep); wait for it to end\n");
    // Open, as the kernel counts it, by a process this one cannot see.
    user.Signal(SIGKILL);
    user.Finish();
    ASSERT_TRUE(WriteFile(SimDevicePath(root, Bound(3, 8)) + "/enable", "1\n"));
    EXPECT_EQ(Reasons(Run({"--list"}).Out),
              LIST_HEADER + ListLine("0", "0000:03:00.0", KX10, "no") +
                  "      - in use by another run, whose process cannot be seen from here; wait for\n"
                  "        it to end\n");
}

TEST_F(VfioBus, ReleaseEndsTheHolderOrSaysThereIsNone)
{
    MakeVfioBus({CardAt(1), Bound(2, 9)});
    auto holder = HoldCard("0000:02:00.0", 9);
    ASSERT_TRUE(holder->Serving());
    Outcome r = Run({"--release", "1"});
    EXPECT_EQ(r.Status, 0) << r.Err;
    EXPECT_EQ(r.Out, "Released 9054 card number 1 (0000:02:00.0): its holder, process " +
                         std::to_string(holder->Pid()) + ", has ended,\n"
                         "and the kernel has reset the card; what was loaded into it is gone.\n");
    EXPECT_TRUE(holder->Ended());
    // The card's record says it was reset, keeping what it had carried.
    const std::string record = ReadFile(run + "/cards/0000:02:00.0");
    EXPECT_NE(record.find("\nresult=released\n"), std::string::npos) << record;
    const std::string list = Run({"--list"}).Out;
    EXPECT_NE(list.find("      recorded: released at "), std::string::npos) << list;
    struct Case {
        const char* card;
        int status;
        std::string message;
    } cases[] = {
        {"0000:02:00.0", 101, "9054 card number 1 is not held: no holder keeps it open.\n"},
        {"0", 101, "9054 card number 0 is not held: no holder keeps it open.\n"},  // sysfs
        {"2", 101, "Can't find 9054 card number 2.\n"},
        {"02:01.0", 101, "Can't find 9054 card at 0000:02:01.0.\n"},
        {"x", 101, "Invalid card number: x"},
    };
    for (const Case& c : cases) {
        r = Run({"--release", c.card});
        EXPECT_EQ(r.Status, c.status) << c.card;
        EXPECT_EQ(r.Out, "") << c.card;
        EXPECT_EQ(r.Err, ErrorBlock(c.message)) << c.card;
    }
}

}  // namespace
