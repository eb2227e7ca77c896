#include "tests/kernel/kernel_guest.h"

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <sstream>

#include "tools/testkit/files.h"
#include "tools/testkit/process.h"

namespace fs = std::filesystem;

namespace {

constexpr int BOOT_TIMEOUT_SECONDS = 150;
// The guest marks where a case begins on its card with a one-byte read of
// configuration space at MARK_BASE + the case's number: a read, since
// under lockdown the kernel refuses every write, and in the part of the
// space that belongs to the device, which nothing else reads byte by byte.
constexpr uint64_t MARK_BASE = 0x40;
constexpr uint64_t REMOVED_MARK = 0xFF - MARK_BASE;
// What --list reads of the cards that are not its case's own.
constexpr uint64_t LISTED_MARK = 0xFE - MARK_BASE;
constexpr unsigned BRIDGE_SLOT = 0x10;
// A card behind a bridge of its own: slot 0 of a conventional PCI bus
// behind a pcie-pci-bridge is its hot-plug controller's.
constexpr unsigned OWN_BRIDGE_SLOT = 1;
// Debian's firmware for the guest: SeaBIOS and QEMU's option ROMs.
const char* const FIRMWARE[] = {"/usr/share/qemu", "/usr/share/seabios"};

std::string FindInPath(const std::string& name)
{
    const char* path = std::getenv("PATH");
    std::stringstream folders(path != nullptr ? path : "/usr/bin:/bin");
    std::string folder;
    while (std::getline(folders, folder, ':')) {
        const std::string candidate = folder + "/" + name;
        if (access(candidate.c_str(), X_OK) == 0)
            return candidate;
    }
    return "";
}

std::string Base64Decode(const std::string& text)
{
    static const std::string ALPHABET =
        "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    std::string out;
    uint32_t bits = 0;
    int count = 0;
    for (char c : text) {
        const std::size_t v = ALPHABET.find(c);
        if (v == std::string::npos)
            continue;  // line breaks and padding
        bits = (bits << 6) | static_cast<uint32_t>(v);
        count += 6;
        if (count >= 8) {
            count -= 8;
            out.push_back(static_cast<char>((bits >> count) & 0xFF));
        }
    }
    return out;
}

// The program and everything it loads, from ldd: one path a line.
bool LibrariesOf(const std::string& binary, std::vector<std::string>* libraries, std::string* error)
{
    const Outcome r = RunProcess({FindInPath("ldd"), {binary}, {}, Command::Output::Captured, false, 30});
    if (r.Status != 0) {
        // A static binary: nothing to copy.
        if (r.Out.find("not a dynamic executable") != std::string::npos ||
            r.Err.find("not a dynamic executable") != std::string::npos)
            return true;
        *error = "ldd " + binary + " failed: " + r.Err;
        return false;
    }
    std::stringstream lines(r.Out);
    std::string line;
    while (std::getline(lines, line)) {
        std::size_t from = line.find("=> ");
        from = from == std::string::npos ? line.find_first_not_of(" \t") : from + 3;
        if (from == std::string::npos || line[from] != '/')
            continue;  // the vDSO
        libraries->push_back(line.substr(from, line.find(" (", from) - from));
    }
    return true;
}

bool CopyInto(const std::string& tree, const std::string& guestPath, const std::string& hostPath,
              std::string* error)
{
    const fs::path target = fs::path(tree) / fs::path(guestPath).relative_path();
    std::error_code ec;
    fs::create_directories(target.parent_path(), ec);
    fs::copy_file(hostPath, target, fs::copy_options::overwrite_existing, ec);
    // Test files are made private on the host; the guest's operator reads them.
    if (!ec)
        fs::permissions(target, fs::perms::group_read | fs::perms::others_read,
                        fs::perm_options::add, ec);
    if (ec) {
        *error = "cannot copy " + hostPath + ": " + ec.message();
        return false;
    }
    return true;
}

// The kernel's modules, fetched with it (fetch-kernel.sh): beside the image.
std::string ModulesOf(const std::string& kernel)
{
    return (fs::path(kernel).parent_path() / "modules").string();
}

bool BuildInitramfs(const std::string& tree, const std::string& image, const std::string& modules,
                    const GuestPlan& plan, std::string* error)
{
    std::string busybox = "/bin/busybox";
    if (access(busybox.c_str(), X_OK) != 0)
        busybox = FindInPath("busybox");
    std::vector<std::pair<std::string, std::string>> files = plan.Files;
    files.push_back({"/init", VELDRAN_GUEST_INIT});
    files.push_back({"/bin/busybox", busybox});
    files.push_back({"/opt/veldran", VELDRAN_BINARY});
    files.push_back({"/etc/veldran/60-veldran.rules", VELDRAN_UDEV_RULE});
    files.push_back({"/etc/veldran/61-veldran-vfio.rules", VELDRAN_VFIO_RULE});
    files.push_back({"/etc/veldran/veldran-tmpfiles.conf", VELDRAN_TMPFILES});
    std::vector<std::string> libraries;
    if (!LibrariesOf(VELDRAN_BINARY, &libraries, error) || !LibrariesOf(busybox, &libraries, error))
        return false;
    for (const std::string& library : libraries)
        files.push_back({library, library});
    for (const auto& [guest, host] : files)
        if (!CopyInto(tree, guest, host, error))
            return false;
    for (const char* folder : {"proc", "sys", "dev", "tmp", "run", "k"})
        fs::create_directories(fs::path(tree) / folder);
    std::error_code ec;
    fs::copy(modules, tree, fs::copy_options::recursive | fs::copy_options::overwrite_existing, ec);
    if (ec) {
        *error = "cannot copy the kernel's modules from " + modules + ": " + ec.message();
        return false;
    }
    fs::create_symlink("busybox", fs::path(tree) / "bin/sh", ec);
    // Rules name /sbin's commands; as on a merged-/usr system, one folder.
    if (!ec)
        fs::create_symlink("bin", fs::path(tree) / "sbin", ec);
    chmod((tree + "/init").c_str(), 0755);
    std::string cases;
    for (const GuestCase& c : plan.Cases) {
        const auto card = std::find_if(plan.Cards.begin(), plan.Cards.end(),
                                       [&](const GuestCard& k) { return k.Name == c.Card; });
        if (card == plan.Cards.end()) {
            *error = "the plan names no card " + c.Card + " for case " + c.Name;
            return false;
        }
        cases += c.Name + " " + std::to_string(CardNumber(plan, c.Card)) + " " +
                 CardAddress(plan, c.Card) + " " + std::to_string(c.Hold) + "\n";
    }
    if (ec || !WriteFile(tree + "/plan", cases) ||
        !WriteFile(tree + "/etc/passwd",
                   "root:x:0:0:root:/:/bin/sh\noperator:x:1000:1000::/tmp:/bin/sh\n"
                   "stranger:x:1001:1001::/tmp:/bin/sh\n") ||
        !WriteFile(tree + "/etc/group",
                   "root:x:0:\noperator:x:1000:\nstranger:x:1001:\nveldran:x:900:operator\n")) {
        *error = "cannot lay out the initramfs in " + tree;
        return false;
    }
    const Outcome r = RunProcess({"/bin/sh",
                                  {"-c", "cd \"$0\" && find . | cpio --quiet -o -H newc > \"$1\"",
                                   tree, image},
                                  {},
                                  Command::Output::Captured,
                                  false,
                                  60});
    if (r.Status != 0) {
        *error = "cpio failed: " + r.Err;
        return false;
    }
    return true;
}

// The report channel: facts, case numbers and whole runs.
void ParseReport(const std::string& text, GuestBoot* boot, std::map<uint64_t, std::string>* cases,
                 bool* done)
{
    std::stringstream lines(text);
    std::string line, run, section;
    std::string out, err;
    while (std::getline(lines, line)) {
        if (!line.empty() && line.back() == '\r')
            line.pop_back();
        if (line.rfind("@@fact ", 0) == 0) {
            const std::size_t space = line.find(' ', 7);
            boot->Facts[line.substr(7, space - 7)] =
                space == std::string::npos ? "" : line.substr(space + 1);
        } else if (line.rfind("@@case ", 0) == 0) {
            std::stringstream words(line.substr(7));
            uint64_t number = 0;
            std::string name;
            words >> number >> name;
            (*cases)[number] = name;
        } else if (line.rfind("@@run ", 0) == 0) {
            std::stringstream words(line.substr(6));
            int status = -1;
            words >> run >> status;
            boot->Runs[run].Status = status;
            out.clear();
            err.clear();
            section.clear();
        } else if (line == "@@out" || line == "@@err") {
            section = line;
        } else if (line == "@@end") {
            boot->Runs[run].Out = Base64Decode(out);
            boot->Runs[run].Err = Base64Decode(err);
            section.clear();
        } else if (line == "@@done") {
            *done = true;
        } else if (section == "@@out") {
            out += line;
        } else if (section == "@@err") {
            err += line;
        }
    }
}

bool ParseHex(const std::string& text, Bytes* bytes)
{
    if (text.size() % 2 != 0 || text.find_first_not_of("0123456789abcdef") != std::string::npos)
        return false;
    for (std::size_t i = 0; i < text.size(); i += 2)
        bytes->push_back(static_cast<uint8_t>(std::stoul(text.substr(i, 2), nullptr, 16)));
    return true;
}

bool ValidSize(unsigned size)
{
    return size == 1 || size == 2 || size == 4 || size == 8;
}

// An access: "r|w OFFSET SIZE VALUE", or for a stray store "OFFSET SIZE VALUE".
bool ParseAccess(std::istringstream& in, bool stray, CardEvent* e)
{
    std::string kind = "w";
    if (!stray)
        in >> kind;
    in >> std::hex >> e->Offset >> std::dec >> e->Size >> std::hex >> e->Value;
    e->Write = kind == "w";
    return (kind == "r" || kind == "w") && ValidSize(e->Size);
}

bool ParseEvent(const std::string& line, CardEvent* e)
{
    using Kind = CardEvent::Kind;
    static const std::map<std::string, Kind> KINDS = {
        {"reset", Kind::Reset}, {"cfg", Kind::Config}, {"mem", Kind::Mem},
        {"io", Kind::Io},       {"win", Kind::WindowRead}, {"stray", Kind::Stray},
        {"data", Kind::Data},   {"done", Kind::Done}};
    std::istringstream in(line);
    std::string kind;
    if (!(in >> e->Ns >> kind) || KINDS.count(kind) == 0)
        return false;
    e->What = KINDS.at(kind);
    bool ok = true;
    if (e->What == Kind::Data) {
        std::string hex;
        ok = static_cast<bool>(in >> e->LastNs >> hex) && e->LastNs >= e->Ns &&
             ParseHex(hex, &e->Data) && !e->Data.empty();
    } else if (e->What != Kind::Reset && e->What != Kind::Done) {
        ok = ParseAccess(in, e->What == Kind::Stray, e) &&
             (e->What != Kind::WindowRead || !e->Write);
    }
    std::string more;
    return ok && !in.fail() && !(in >> more);
}

// Hands each event of a card's record to the case whose mark came last
// before it; what comes before the first mark is the boot, and is dropped.
void SplitByMarks(const std::vector<CardEvent>& events, const std::map<uint64_t, std::string>& cases,
                  GuestBoot* boot)
{
    std::string current;
    for (const CardEvent& e : events) {
        if (e.What == CardEvent::Kind::Config && !e.Write && e.Size == 1 && e.Offset >= MARK_BASE) {
            const uint64_t mark = e.Offset - MARK_BASE;
            const auto it = cases.find(mark);
            current = mark == REMOVED_MARK  ? "removed"
                      : mark == LISTED_MARK ? "listed"
                      : it != cases.end()   ? it->second
                                            : "unknown";
            boot->Received[current];
            continue;
        }
        if (!current.empty())
            boot->Received[current].push_back(e);
    }
}

std::string Slot(unsigned slot)
{
    char text[8];
    std::snprintf(text, sizeof text, "%02x.0", slot);
    return text;
}

std::string RecordPath(const std::string& folder, const GuestCard& card)
{
    return folder + "/" + card.Name + ".record";
}

std::vector<std::string> QemuArguments(const std::string& kernel, const std::string& initramfs,
                                       const std::string& folder, const GuestPlan& plan)
{
    std::vector<std::string> args = {
        "-machine", "q35", "-accel", "tcg", "-m", "256", "-smp", "1", "-nodefaults",
        "-nic", "none", "-display", "none", "-no-reboot", "-kernel", kernel, "-initrd",
        initramfs, "-append", "console=ttyS0 panic=-1 quiet " + plan.KernelArgs,
        "-serial", "file:" + folder + "/console.txt", "-serial", "file:" + folder + "/report.txt"};
    for (const char* firmware : FIRMWARE)
        args.insert(args.end(), {"-L", firmware});
    // QEMU wants the IOMMU before the devices it translates for.
    if (plan.Iommu)
        args.insert(args.end(), {"-device", "intel-iommu"});
    if (std::any_of(plan.Cards.begin(), plan.Cards.end(),
                    [](const GuestCard& c) { return c.Where == Seat::SharedBridge; }))
        args.insert(args.end(), {"-device", "pcie-pci-bridge,id=bridge,addr=" + Slot(BRIDGE_SLOT)});
    unsigned chassis = 0;
    for (const GuestCard& card : plan.Cards) {
        std::string device = "quorvel-9054,addr=" + Slot(card.Slot);
        if (card.Where == Seat::SharedBridge) {
            device += ",bus=bridge";
        } else if (card.Where == Seat::OwnBridge) {
            const std::string port = "port-" + card.Name, bridge = "bridge-" + card.Name;
            args.insert(args.end(),
                        {"-device",
                         "pcie-root-port,id=" + port + ",bus=pcie.0,addr=" + Slot(card.Slot) +
                             ",chassis=" + std::to_string(++chassis),
                         "-device", "pcie-pci-bridge,id=" + bridge + ",bus=" + port});
            device = "quorvel-9054,addr=" + Slot(OWN_BRIDGE_SLOT) + ",bus=" + bridge;
        }
        if (card.Recorded)
            device += ",record=" + RecordPath(folder, card);
        if (!card.Properties.empty())
            device += "," + card.Properties;
        args.insert(args.end(), {"-device", device});
    }
    return args;
}

}  // namespace

std::size_t ConfigSize(const Bytes& stream)
{
    static const Bytes SYNC = {0x55, 0x99};
    const auto at = std::search(stream.begin(), stream.end(), SYNC.begin(), SYNC.end());
    return at == stream.end() ? 0 : static_cast<std::size_t>(stream.end() - at) - SYNC.size();
}

std::string Describe(const CardEvent& e)
{
    static const char* const NAMES[] = {"reset", "cfg", "mem", "io", "win", "stray", "data", "done"};
    if (e.What == CardEvent::Kind::Data)
        return std::to_string(e.Ns) + " data, " + std::to_string(e.Data.size()) + " bytes";
    if (e.What == CardEvent::Kind::Reset || e.What == CardEvent::Kind::Done)
        return std::to_string(e.Ns) + " " + NAMES[static_cast<int>(e.What)];
    char text[128];
    std::snprintf(text, sizeof text, "%llu %s %s 0x%llx size %u value 0x%llx",
                  static_cast<unsigned long long>(e.Ns), NAMES[static_cast<int>(e.What)],
                  e.Write ? "write" : "read", static_cast<unsigned long long>(e.Offset), e.Size,
                  static_cast<unsigned long long>(e.Value));
    return text;
}

bool ParseRecord(const std::string& text, std::vector<CardEvent>* events, std::string* error)
{
    std::stringstream lines(text);
    std::string line;
    uint64_t last = 0;
    for (int number = 1; std::getline(lines, line); ++number) {
        CardEvent e;
        if (!ParseEvent(line, &e) || e.Ns < last) {
            *error = "record line " + std::to_string(number) + " malformed or out of order: " + line;
            return false;
        }
        last = e.What == CardEvent::Kind::Data ? e.LastNs : e.Ns;
        events->push_back(std::move(e));
    }
    return true;
}

CardLocation LocationOf(const GuestPlan& plan, const std::string& card)
{
    // The bridges on bus 0 by slot, and how many buses each opens: the
    // shared bridge one, a root port two (its own and its bridge's).
    std::map<unsigned, unsigned> bridges;
    for (const GuestCard& c : plan.Cards) {
        if (c.Where == Seat::SharedBridge)
            bridges[BRIDGE_SLOT] = 1;
        else if (c.Where == Seat::OwnBridge)
            bridges[c.Slot] = 2;
    }
    std::map<unsigned, unsigned> firstBus;
    unsigned next = 1;
    for (const auto& [slot, buses] : bridges) {
        firstBus[slot] = next;
        next += buses;
    }
    for (const GuestCard& c : plan.Cards) {
        if (c.Name != card)
            continue;
        switch (c.Where) {
        case Seat::RootBus:
            return {0, c.Slot};
        case Seat::SharedBridge:
            return {firstBus[BRIDGE_SLOT], c.Slot};
        case Seat::OwnBridge:
            return {firstBus[c.Slot] + 1, OWN_BRIDGE_SLOT};
        }
    }
    return {};
}

std::string CardAddress(const GuestPlan& plan, const std::string& card)
{
    const CardLocation at = LocationOf(plan, card);
    char name[16];
    std::snprintf(name, sizeof name, "0000:%02x:%02x.0", at.Bus, at.Slot);
    return name;
}

unsigned CardNumber(const GuestPlan& plan, const std::string& card)
{
    std::vector<std::string> addresses;
    std::string wanted;
    for (const GuestCard& c : plan.Cards) {
        addresses.push_back(CardAddress(plan, c.Name));
        if (c.Name == card)
            wanted = addresses.back();
    }
    std::sort(addresses.begin(), addresses.end());
    return static_cast<unsigned>(std::find(addresses.begin(), addresses.end(), wanted) -
                                 addresses.begin());
}

std::string GuestPrerequisites(std::string* kernel, std::string* qemu)
{
    const std::pair<const char*, const char*> tools[] = {{"cpio", "cpio"}, {"ldd", "libc-bin"}};
    for (const auto& [tool, package] : tools)
        if (FindInPath(tool).empty())
            return std::string(tool) + " not found (package " + package + ")";
    if (access("/bin/busybox", X_OK) != 0 && FindInPath("busybox").empty())
        return "busybox not found (package busybox-static)";
    for (const char* firmware : FIRMWARE)
        if (access(firmware, R_OK) != 0)
            return std::string("no firmware in ") + firmware + " (package qemu-system-x86)";
    auto pathFrom = [](const Outcome& r) {
        std::string path = r.Out;
        while (!path.empty() && (path.back() == '\n' || path.back() == '\r'))
            path.pop_back();
        return r.Status == 0 && access(path.c_str(), R_OK) == 0 ? path : "";
    };
    const Outcome q = RunProcess(
        {"/bin/sh", {VELDRAN_BUILD_QEMU, "--cached"}, {}, Command::Output::Captured, false, 60});
    *qemu = pathFrom(q);
    if (qemu->empty())
        return "no QEMU with the card model (the test kernel.qemu builds it): " + q.Err;
    const Outcome r = RunProcess(
        {"/bin/sh", {VELDRAN_FETCH_KERNEL, VELDRAN_KERNEL_CACHE}, {}, Command::Output::Captured, false, 600});
    *kernel = pathFrom(r);
    if (kernel->empty())
        return "no kernel image: fetching linux-image-cloud-amd64 into " +
               std::string(VELDRAN_KERNEL_CACHE) + " failed: " + r.Err;
    if (!fs::is_directory(ModulesOf(*kernel)))
        return "no modules beside the kernel image " + *kernel;
    return "";
}

GuestBoot BootGuest(const std::string& kernel, const std::string& qemu, const GuestPlan& plan)
{
    GuestBoot boot;
    TempFolder temp;
    if (temp.Path().empty()) {
        boot.Problem = "no temporary folder";
        return boot;
    }
    const std::string tree = temp.Path() + "/tree";
    const std::string initramfs = temp.Path() + "/initramfs.cpio";
    if (!BuildInitramfs(tree, initramfs, ModulesOf(kernel), plan, &boot.Problem))
        return boot;

    const auto start = std::chrono::steady_clock::now();
    const Outcome q = RunProcess({qemu, QemuArguments(kernel, initramfs, temp.Path(), plan), {},
                                  Command::Output::Captured, false, BOOT_TIMEOUT_SECONDS});
    boot.Seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    boot.Console = ReadFile(temp.Path() + "/console.txt");
    std::map<uint64_t, std::string> cases;
    bool done = false;
    ParseReport(ReadFile(temp.Path() + "/report.txt"), &boot, &cases, &done);
    // Where a guest that did not finish got to: the case it last began.
    const std::string last = cases.empty() ? "none" : cases.rbegin()->second;
    if (q.Status != 0) {
        boot.Problem = "qemu ended with status " + std::to_string(q.Status) +
                       (q.TimedOut ? " (timed out)" : "") + " in case " + last + ": " + q.Err;
        return boot;
    }
    if (!done) {
        boot.Problem = "the guest did not finish its cases; the last one begun: " + last;
        return boot;
    }
    for (const GuestCard& card : plan.Cards) {
        if (!card.Recorded)
            continue;
        std::vector<CardEvent> events;
        std::string error;
        if (!ParseRecord(ReadFile(RecordPath(temp.Path(), card)), &events, &error) ||
            events.empty()) {
            boot.Problem = "card " + card.Name + ": " + (error.empty() ? "no record" : error);
            return boot;
        }
        SplitByMarks(events, cases, &boot);
    }
    return boot;
}
