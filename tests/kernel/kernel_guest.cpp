#include "tests/kernel/kernel_guest.h"

#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "tools/testkit/files.h"
#include "tools/testkit/process.h"

namespace fs = std::filesystem;

namespace {

constexpr int BOOT_TIMEOUT_SECONDS = 150;
constexpr uint64_t REMOVED_MARK = 255;

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

// A line of the kernel's `resource` file: start and end.
bool ParseRange(const std::string& line, uint64_t* start, uint64_t* end)
{
    unsigned long long s = 0, e = 0;
    if (std::sscanf(line.c_str(), "%llx %llx", &s, &e) != 2 || e < s)
        return false;
    *start = s;
    *end = e;
    return true;
}

uint64_t TraceField(const std::string& line, const char* key)
{
    const std::size_t at = line.find(key);
    return at == std::string::npos ? 0 : std::strtoull(line.c_str() + at + std::strlen(key), nullptr, 0);
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

bool BuildInitramfs(const std::string& tree, const std::string& image, const GuestPlan& plan,
                    std::string* error)
{
    std::string busybox = "/bin/busybox";
    if (access(busybox.c_str(), X_OK) != 0)
        busybox = FindInPath("busybox");
    std::vector<std::pair<std::string, std::string>> files = plan.Files;
    files.push_back({"/init", VELDRAN_GUEST_INIT});
    files.push_back({"/bin/busybox", busybox});
    files.push_back({"/opt/veldran", VELDRAN_BINARY});
    files.push_back({"/etc/veldran/60-veldran.rules", VELDRAN_UDEV_RULE});
    std::vector<std::string> libraries;
    if (!LibrariesOf(VELDRAN_BINARY, &libraries, error) || !LibrariesOf(busybox, &libraries, error))
        return false;
    for (const std::string& library : libraries)
        files.push_back({library, library});
    for (const auto& [guest, host] : files)
        if (!CopyInto(tree, guest, host, error))
            return false;
    for (const char* folder : {"proc", "sys", "dev", "tmp", "k"})
        fs::create_directories(fs::path(tree) / folder);
    std::error_code ec;
    fs::create_symlink("busybox", fs::path(tree) / "bin/sh", ec);
    chmod((tree + "/init").c_str(), 0755);
    std::string cases;
    for (const std::string& c : plan.Cases)
        cases += c + "\n";
    if (ec || !WriteFile(tree + "/plan", cases) ||
        !WriteFile(tree + "/etc/passwd",
                   "root:x:0:0:root:/:/bin/sh\noperator:x:1000:1000::/tmp:/bin/sh\n") ||
        !WriteFile(tree + "/etc/group", "root:x:0:\noperator:x:1000:\nveldran:x:900:operator\n")) {
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

// QEMU's trace: the card's accesses, split into cases at the marker's writes.
void ParseTrace(const std::string& path, const std::map<uint64_t, std::string>& cases,
                uint64_t markerPort, uint64_t mmioEnd, uint64_t ioEnd, GuestBoot* boot)
{
    std::ifstream in(path);
    std::string line;
    std::string current = "boot";
    while (std::getline(in, line)) {
        if (line.find("name 'pci-testdev") == std::string::npos)
            continue;
        DeviceAccess a;
        a.Write = line.rfind("memory_region_ops_write", 0) == 0;
        a.Address = TraceField(line, " addr ");
        a.Value = TraceField(line, " value ");
        a.Size = static_cast<unsigned>(TraceField(line, " size "));
        if (a.Write && a.Address == markerPort) {
            if (a.Value == REMOVED_MARK) {
                current = "removed";
            } else {
                const auto it = cases.find(a.Value);
                current = it != cases.end() ? it->second : "unknown";
            }
            continue;
        }
        const bool mmio = a.Address >= boot->MmioBase && a.Address <= mmioEnd;
        const bool io = a.Address >= boot->IoBase && a.Address <= ioEnd;
        if (mmio || io)
            boot->Received[current].push_back(a);
    }
}

}  // namespace

std::string Describe(const DeviceAccess& a)
{
    char text[96];
    std::snprintf(text, sizeof text, "%s 0x%llx size %u value 0x%llx", a.Write ? "write" : "read",
                  static_cast<unsigned long long>(a.Address), a.Size,
                  static_cast<unsigned long long>(a.Value));
    return text;
}

std::vector<DeviceAccess> Merge32(const std::vector<DeviceAccess>& accesses)
{
    std::vector<DeviceAccess> merged;
    for (std::size_t i = 0; i < accesses.size();) {
        bool four = i + 4 <= accesses.size();
        for (std::size_t k = 0; four && k < 4; ++k) {
            const DeviceAccess& b = accesses[i + k];
            four = b.Size == 1 && b.Write == accesses[i].Write &&
                   b.Address == accesses[i].Address + k;
        }
        if (!four) {
            merged.push_back(accesses[i++]);
            continue;
        }
        DeviceAccess word = accesses[i];
        word.Size = 4;
        word.Value = 0;
        for (std::size_t k = 0; k < 4; ++k)
            word.Value |= (accesses[i + k].Value & 0xFF) << (8 * k);
        merged.push_back(word);
        i += 4;
    }
    return merged;
}

std::string GuestPrerequisites(std::string* kernel)
{
    const std::pair<const char*, const char*> tools[] = {
        {"qemu-system-x86_64", "qemu-system-x86"}, {"cpio", "cpio"}, {"ldd", "libc-bin"}};
    for (const auto& [tool, package] : tools)
        if (FindInPath(tool).empty())
            return std::string(tool) + " not found (package " + package + ")";
    if (access("/bin/busybox", X_OK) != 0 && FindInPath("busybox").empty())
        return "busybox not found (package busybox-static)";
    const Outcome r = RunProcess(
        {"/bin/sh", {VELDRAN_FETCH_KERNEL, VELDRAN_KERNEL_CACHE}, {}, Command::Output::Captured, false, 600});
    std::string path = r.Out;
    while (!path.empty() && (path.back() == '\n' || path.back() == '\r'))
        path.pop_back();
    if (r.Status != 0 || path.empty() || access(path.c_str(), R_OK) != 0)
        return "no kernel image: fetching linux-image-cloud-amd64 into " +
               std::string(VELDRAN_KERNEL_CACHE) + " failed: " + r.Err;
    *kernel = path;
    return "";
}

GuestBoot BootGuest(const std::string& kernel, const GuestPlan& plan)
{
    GuestBoot boot;
    TempFolder temp;
    if (temp.Path().empty()) {
        boot.Problem = "no temporary folder";
        return boot;
    }
    const std::string tree = temp.Path() + "/tree";
    const std::string initramfs = temp.Path() + "/initramfs.cpio";
    const std::string console = temp.Path() + "/console.txt";
    const std::string report = temp.Path() + "/report.txt";
    const std::string trace = temp.Path() + "/trace.txt";
    if (!BuildInitramfs(tree, initramfs, plan, &boot.Problem))
        return boot;

    const auto start = std::chrono::steady_clock::now();
    const Outcome q = RunProcess(
        {FindInPath("qemu-system-x86_64"),
         {"-machine", "q35", "-accel", "tcg", "-m", "256", "-smp", "1", "-nodefaults",
          "-display", "none", "-no-reboot", "-kernel", kernel, "-initrd", initramfs, "-append",
          "console=ttyS0 panic=-1 quiet " + plan.KernelArgs, "-serial", "file:" + console,
          "-serial", "file:" + report, "-device", "pci-testdev,addr=03.0", "-device",
          "pci-testdev,addr=04.0", "-trace", "memory_region_ops_write", "-trace",
          "memory_region_ops_read", "-D", trace},
         {},
         Command::Output::Captured,
         false,
         BOOT_TIMEOUT_SECONDS});
    boot.Seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    boot.Console = ReadFile(console);
    if (q.Status != 0) {
        boot.Problem = "qemu ended with status " + std::to_string(q.Status) +
                       (q.TimedOut ? " (timed out)" : "") + ": " + q.Err;
        return boot;
    }

    std::map<uint64_t, std::string> cases;
    bool done = false;
    ParseReport(ReadFile(report), &boot, &cases, &done);
    if (!done) {
        boot.Problem = "the guest did not finish its cases";
        return boot;
    }
    uint64_t mmioEnd = 0, ioEnd = 0, markerPort = 0, markerEnd = 0;
    if (!ParseRange(boot.Facts["card_mmio"], &boot.MmioBase, &mmioEnd) ||
        !ParseRange(boot.Facts["card_io"], &boot.IoBase, &ioEnd) ||
        !ParseRange(boot.Facts["marker_io"], &markerPort, &markerEnd)) {
        boot.Problem = "the guest did not report the test devices' BARs";
        return boot;
    }
    ParseTrace(trace, cases, markerPort, mmioEnd, ioEnd, &boot);
    return boot;
}
