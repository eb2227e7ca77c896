#include "run/card_record.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "pci/run_folder.h"

namespace {

// Each header text is kept to a kilobyte and a path to PATH_MAX: a record
// is at most some 40 KiB, even with every byte escaped.
constexpr std::size_t RECORD_MAX = 65536;

std::string Escape(const std::string& value)
{
    std::string out;
    for (const char ch : value) {
        const unsigned char c = static_cast<unsigned char>(ch);
        if (c == '\\') {
            out += "\\\\";
        } else if (c == '\n') {
            out += "\\n";
        } else if (c < 0x20 || c == 0x7F) {
            char hex[5];
            std::snprintf(hex, sizeof hex, "\\x%02x", c);
            out += hex;
        } else {
            out += ch;
        }
    }
    return out;
}

int HexValue(char c)
{
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    return -1;
}

bool Unescape(const std::string& text, std::string* value)
{
    value->clear();
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (text[i] != '\\') {
            *value += text[i];
            continue;
        }
        if (i + 1 < text.size() && (text[i + 1] == '\\' || text[i + 1] == 'n')) {
            *value += text[i + 1] == 'n' ? '\n' : '\\';
            i += 1;
        } else if (i + 3 < text.size() && text[i + 1] == 'x' && HexValue(text[i + 2]) >= 0 &&
                   HexValue(text[i + 3]) >= 0) {
            *value += static_cast<char>(HexValue(text[i + 2]) * 16 + HexValue(text[i + 3]));
            i += 3;
        } else {
            return false;
        }
    }
    return true;
}

std::string RecordPath(const std::string& address)
{
    return RecordFolder() + "/" + address;
}

bool WriteAll(int fd, const std::string& text)
{
    std::size_t done = 0;
    while (done < text.size()) {
        const ssize_t n = write(fd, text.data() + done, text.size() - done);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return false;
        done += static_cast<std::size_t>(n);
    }
    return true;
}

}  // namespace

const std::vector<RecordField> RECORD_FIELDS = {
    {"address", &CardRecord::Address}, {"when", &CardRecord::When},
    {"user", &CardRecord::User},       {"uid", &CardRecord::Uid},
    {"file", &CardRecord::File},       {"sha256", &CardRecord::Sha256},
    {"format", &CardRecord::Format},   {"design", &CardRecord::Design},
    {"part", &CardRecord::Part},       {"date", &CardRecord::Date},
    {"time", &CardRecord::Time},       {"bytes", &CardRecord::Bytes},
    {"result", &CardRecord::Result},   {"step", &CardRecord::Step},
};

std::string RecordText(const CardRecord& record)
{
    std::string text;
    for (const RecordField& field : RECORD_FIELDS)
        text += std::string(field.Name) + "=" + Escape(record.*field.Value) + "\n";
    return text;
}

bool ParseRecord(const std::string& text, CardRecord* record)
{
    CardRecord parsed;
    std::size_t at = 0;
    for (const RecordField& field : RECORD_FIELDS) {
        const std::string prefix = std::string(field.Name) + "=";
        const std::size_t end = text.find('\n', at);
        if (end == std::string::npos || text.compare(at, prefix.size(), prefix) != 0 ||
            !Unescape(text.substr(at + prefix.size(), end - at - prefix.size()),
                      &(parsed.*field.Value)))
            return false;
        at = end + 1;
    }
    if (at != text.size())
        return false;
    *record = parsed;
    return true;
}

std::string RecordFolder()
{
    return RunFolder("cards");
}

bool WriteRecord(const CardRecord& record)
{
    // Beside the record and renamed over it, so that a reader never sees
    // half of one.
    std::string temporary = RunFolderToWrite("cards") + "/" + record.Address + ".XXXXXX";
    const int fd = mkostemp(&temporary[0], O_CLOEXEC);
    if (fd < 0)
        return false;
    const bool written = fchmod(fd, 0644) == 0 && WriteAll(fd, RecordText(record));
    const bool closed = close(fd) == 0;
    if (!written || !closed || rename(temporary.c_str(), RecordPath(record.Address).c_str()) != 0) {
        unlink(temporary.c_str());
        return false;
    }
    return true;
}

RecordRead ReadRecord(const std::string& address, CardRecord* record)
{
    const int fd = open(RecordPath(address).c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOFOLLOW);
    if (fd < 0)
        return errno == ENOENT ? RecordRead::None : RecordRead::Unreadable;
    std::string text;
    char buffer[4096];
    ssize_t n;
    while ((n = read(fd, buffer, sizeof buffer)) > 0 && text.size() <= RECORD_MAX)
        text.append(buffer, static_cast<std::size_t>(n));
    close(fd);
    // The folder is the group's: what one of its members left there may be
    // a link, a FIFO (hence no waiting for a writer) or a file that names
    // another card, and none of them is a record of this one.
    return n == 0 && ParseRecord(text, record) && record->Address == address
               ? RecordRead::Read
               : RecordRead::Unreadable;
}

std::string RecordLogLine(const CardRecord& record)
{
    std::string line;
    for (const RecordField& field : RECORD_FIELDS) {
        std::string value;
        for (const char c : Escape(record.*field.Value))
            value += c == '"' ? std::string("\\\"") : std::string(1, c);
        line += std::string(line.empty() ? "" : " ") + field.Name + "=\"" + value + "\"";
    }
    return line;
}
