#include "run/run_record.h"

#include <pwd.h>
#include <syslog.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <ctime>

#include "pci/pci_address.h"
#include "run/card_record.h"
#include "run/run_state.h"
#include "run/sha256.h"

namespace {

CardRecord Record;

std::string Now()
{
    const std::time_t now = std::time(nullptr);
    struct tm utc;
    char text[32];
    if (gmtime_r(&now, &utc) == nullptr || std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%SZ", &utc) == 0)
        return "";
    return text;
}

// Read beside the stream: pread leaves the file where the detection left
// it. A file that cannot be read whole gets no hash, and the stream then
// meets the same fault as a run always did.
std::string FileSha256()
{
    const int fd = fileno(State.ConfigFile);
    Sha256 hash;
    Sha256Start(&hash);
    for (off_t at = 0;;) {
        const ssize_t n = pread(fd, State.BlockBuffer, BLOCK_SIZE, at);
        if (n == 0)
            return Sha256Finish(&hash);
        if (n < 0 && errno != EINTR)
            return "";
        if (n > 0) {
            Sha256Add(&hash, State.BlockBuffer, static_cast<std::size_t>(n));
            at += n;
        }
    }
}

// The file the run opened, by the kernel's name for it: absolute, with the
// links resolved, and the very file read whatever was renamed meanwhile.
// Without /proc, the name given, made absolute.
std::string FilePath()
{
    char link[64], path[PATH_MAX];
    std::snprintf(link, sizeof link, "/proc/self/fd/%d", fileno(State.ConfigFile));
    const ssize_t n = readlink(link, path, sizeof path);
    if (n > 0 && static_cast<std::size_t>(n) < sizeof path)
        return std::string(path, static_cast<std::size_t>(n));
    const std::string name = State.ConfigName != nullptr ? State.ConfigName : "";
    if (name.empty() || name[0] == '/' || getcwd(path, sizeof path) == nullptr)
        return name;
    return std::string(path) + "/" + name;
}

// The real user: for a set-user-ID install, the one who ran it.
void NoteUser()
{
    const uid_t uid = getuid();
    Record.Uid = std::to_string(uid);
    struct passwd entry;
    struct passwd* found = nullptr;
    char buffer[4096];
    if (getpwuid_r(uid, &entry, buffer, sizeof buffer, &found) == 0 && found != nullptr)
        Record.User = found->pw_name;
}

int Priority(const std::string& result)
{
    if (result == "programmed" || result == "released")
        return LOG_NOTICE;
    return result == "interrupted" ? LOG_WARNING : LOG_ERR;
}

void WriteAndLog()
{
    WriteRecord(Record);
    openlog("veldran", LOG_PID, LOG_USER);
    syslog(Priority(Record.Result), "%s", RecordLogLine(Record).c_str());
    closelog();
}

}  // namespace

void StartRunRecord()
{
    const DeviceKey& key = State.CardDevice.Key;
    Record.Address = PciAddressText({key.Domain, key.Bus, key.Slot, key.Function});
    NoteUser();
    Record.File = FilePath();
    Record.Sha256 = FileSha256();
    Record.Format = State.ConfigFormat != nullptr ? State.ConfigFormat : "";
    std::string* const texts[HEADER_TEXTS] = {&Record.Design, &Record.Part, &Record.Date,
                                              &Record.Time};
    for (int field = HEADER_DESIGN; field < HEADER_TEXTS; ++field)
        *texts[field] = State.HeaderText[field];
    Record.When = Now();
    Record.Result = "started";
    State.RecordStarted = 1;
    WriteRecord(Record);
}

void RecordRelease(const std::string& address)
{
    if (ReadRecord(address, &Record) != RecordRead::Read) {
        Record = CardRecord{};
        Record.Address = address;
    }
    NoteUser();
    Record.When = Now();
    Record.Result = "released";
    Record.Step = "";
    WriteAndLog();
}

void EndRunRecord(const char* result, const std::string& step)
{
    if (!State.RecordStarted)
        return;
    State.RecordStarted = 0;
    Record.When = Now();
    Record.Bytes = std::to_string(State.BytesSent);
    Record.Result = result;
    Record.Step = step;
    WriteAndLog();
}
