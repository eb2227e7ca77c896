#include "tests/fake_plx.h"

#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <sys/mman.h>
#include <fstream>
#include <unistd.h>

#include "run/run_state.h"
#include "tests/test_support.h"
#include "tools/testkit/files.h"

constexpr uint32_t DONE_MASK = DONE_BIT;

FakePlx Fake;

// The records the runs of these tests leave go to a folder of their own,
// never to the machine's /run/veldran. Death tests exit from forked
// children: only the process that made the folder removes it.
static void KeepRecordsHere()
{
    static const pid_t owner = getpid();
    static TempFolder* const records = new TempFolder;
    static const int registered = std::atexit([] {
        if (getpid() == owner)
            delete records;
    });
    (void)registered;
    setenv("VELDRAN_RUN_DIR", records->Path().c_str(), 1);
}

void ResetFake()
{
    static void* const window =
        mmap(nullptr, 64, PROT_READ | PROT_WRITE, MAP_SHARED | MAP_ANONYMOUS, -1, 0);
    Fake = FakePlx{};
    Fake.Window = static_cast<uint8_t*>(window);
    std::memset(Fake.Window, 0, 64);
    Fake.FoundKey.Bus = 3;
    Fake.FoundKey.Slot = 14;
    Fake.FoundKey.Function = 0;
    Fake.FoundKey.VendorId = 0x10B5;
    Fake.FoundKey.DeviceId = 0x9054;
    Fake.FoundKey.SubDeviceId = 0x3311;
    Fake.LogPath = TempFile({});
    std::memset(&State, 0, sizeof State);
    KeepRecordsHere();
}

std::vector<std::string> ReadFakeLog(const std::string& path)
{
    std::vector<std::string> lines;
    std::ifstream in(path);
    for (std::string line; std::getline(in, line);)
        lines.push_back(line);
    return lines;
}

std::string ReleaseCalls()
{
    std::string released;
    for (const std::string& call : ReadFakeLog())
        if (!released.empty() || call == "Unmap" || call == "Close")
            released += call + ";";
    return released;
}

static void Record(const std::string& call)
{
    Fake.Calls.push_back(call);
    Fake.CallTimes.push_back(std::clock());
    Fake.WindowAtCall.push_back(Fake.Window[0]);
    if (Fake.LogPath.empty())
        return;
    // Unbuffered, so that what a death test's child did survives its exit.
    const int fd = open(Fake.LogPath.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0600);
    if (fd < 0)
        return;
    const std::string line = call + "\n";
    (void)!write(fd, line.data(), line.size());
    close(fd);
}

PlxStatus PlxPci_DeviceFind(DeviceKey* key, uint16_t index)
{
    Record("Find " + std::to_string(index));
    if (Fake.FindStatus == PLX_STATUS_OK)
        *key = Fake.FoundKey;
    return Fake.FindStatus;
}

PlxStatus PlxPci_DeviceOpen(DeviceKey* key, DeviceObject* device)
{
    Record("Open");
    if (Fake.OpenStatus == PLX_STATUS_OK) {
        device->IsOpen = 1;
        device->Key = *key;
    }
    return Fake.OpenStatus;
}

PlxStatus PlxPci_DeviceClose(DeviceObject* device)
{
    Record("Close");
    device->IsOpen = 0;
    return PLX_STATUS_OK;
}

uint32_t PlxPci_PciRegisterRead(uint8_t bus, uint8_t slot, uint8_t function, uint16_t offset,
                                PlxStatus* status)
{
    Record("ConfigRead " + std::to_string(bus) + "/" + std::to_string(slot) + "/" +
           std::to_string(function) + " @" + std::to_string(offset));
    *status = Fake.ConfigStatus;
    return Fake.Bar1;
}

PlxStatus PlxPci_PciBarMap(DeviceObject*, uint8_t barIndex, void** address)
{
    Record("Map " + std::to_string(barIndex));
    if (Fake.MapStatus == PLX_STATUS_OK)
        *address = Fake.MapNull ? nullptr
                   : Fake.MapAddress != nullptr ? Fake.MapAddress : Fake.Window;
    return Fake.MapStatus;
}

PlxStatus PlxPci_PciBarUnmap(DeviceObject*, void**)
{
    Record("Unmap");
    return PLX_STATUS_OK;
}

PlxStatus PlxPci_IoPortRead(DeviceObject*, uint64_t port, void* value, uint32_t size,
                            int accessType)
{
    Record("PortRead " + std::to_string(port) + " " + std::to_string(size) + " " +
           std::to_string(accessType));
    const int index = Fake.PortReads++;
    const int sinceWrite = Fake.ReadsSinceWrite++;
    if (index == Fake.FailPortReadAt)
        return PLX_STATUS_OK + 1;
    uint32_t v = sinceWrite == Fake.ClearDoneAtReadAfterWrite ? Fake.Register & ~DONE_MASK
                                                               : Fake.Register;
    if (!Fake.ScriptedReads.empty()) {
        v = Fake.ScriptedReads.front();
        Fake.ScriptedReads.pop_front();
    }
    std::memcpy(value, &v, sizeof v);
    return PLX_STATUS_OK;
}

PlxStatus PlxPci_IoPortWrite(DeviceObject*, uint64_t port, void* value, uint32_t size,
                             int accessType)
{
    uint32_t v;
    std::memcpy(&v, value, sizeof v);
    char hex[16];
    std::snprintf(hex, sizeof hex, "0x%08X", static_cast<unsigned>(v));
    Record("PortWrite " + std::to_string(port) + " " + std::to_string(size) + " " +
           std::to_string(accessType) + " " + hex);
    Fake.ReadsSinceWrite = 0;
    if (Fake.PortWrites++ == Fake.FailPortWriteAt)
        return PLX_STATUS_OK + 1;
    Fake.Register = v;
    Fake.Written.push_back(v);
    return PLX_STATUS_OK;
}

PlxStatus PlxHost_CheckAccess(const DeviceKey*, PlxAccess* access)
{
    Record("CheckAccess");
    *access = PlxAccess{};
    return PLX_STATUS_OK;
}

PlxStatus PlxHost_PeekRegister(const DeviceKey*, uint8_t, uint32_t, uint32_t* value)
{
    Record("PeekRegister");
    *value = Fake.Register;
    return PLX_STATUS_OK;
}

PlxStatus PlxHost_WindowStore(DeviceObject*, void*, PlxWindowStore* store, void** context)
{
    Record("WindowStore");
    *store = Fake.Store;
    *context = Fake.StoreContext;
    return Fake.StoreStatus;
}

PlxStatus PlxHost_HoldDevice(DeviceObject*)
{
    Record("Hold");
    return Fake.HoldStatus;
}

PlxStatus PlxHost_ReleaseDevice(const DeviceKey*, int* holder)
{
    Record("Release");
    *holder = Fake.Holder;
    return Fake.ReleaseStatus;
}
