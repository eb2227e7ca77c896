#include "tests/run_expectations.h"

#include <algorithm>
#include <cinttypes>
#include <cstdint>
#include <cstdio>

#include "run/run_state.h"

std::string ErrorBlock(const std::string& message)
{
    return "\n\n\aVELDRAN:\n" + message + "\n";
}

const std::string BANNER =
    "\nVELDRAN version " VELDRAN_VERSION "\nQuorvel 9054 configuration utility for Windows.\n";

const std::string USAGE =
    "\nVELDRAN program usage:\nVELDRAN filename.ext card"
    "\nWhere:"
    "\nfilename.ext specifies the name of the configuration file to be loaded."
    "\ncard is the number of the PCI card.  (For use with multiple 9054 cards.)"
    "\nPurpose: 9054 configuration upload.\n";

std::string MaskWindow(std::string out)
{
    const std::string label = "memory base:                 0x";
    const std::size_t at = out.find(label);
    if (at == std::string::npos)
        return out;
    const std::size_t digits = at + label.size();
    const std::size_t end = out.find('\n', digits);
    const std::string address = out.substr(digits, end - digits);
    if (address.size() == 2 * sizeof(void*) &&
        address.find_first_not_of("0123456789ABCDEF") == std::string::npos)
        out.replace(digits, address.size(), "<window>");
    return out;
}

std::string CardLines(unsigned bus, unsigned slot, const std::string& board,
                      const std::string& io, const std::string& control)
{
    return "\nUsing PCI device at bus " + std::to_string(bus) + "/device " +
           std::to_string(slot) + "." + board + "\n\nPLX 9054 configuration I/O base port: 0x" +
           io + "\nPLX 9054 control/status port:         0x" + control +
           "\nPLX 9054 memory base:                 0x<window>\n";
}

std::string ProgrammingRun(std::size_t declared, std::size_t total)
{
    // The figures are 32-bit and printed before each block is sent.
    std::string out = "\nProgramming...\n";
    uint32_t remaining = static_cast<uint32_t>(declared);
    char figure[16];
    for (std::size_t sent = 0; sent < total; sent += BLOCK_SIZE) {
        std::snprintf(figure, sizeof figure, "%-6" PRIu32 "\r", remaining);
        out += figure;
        remaining -= static_cast<uint32_t>(std::min(BLOCK_SIZE, total - sent));
    }
    return out + "0     \nSuccessfully programmed " + std::to_string(total) +
           " bytes.\n\nFunction complete.\n";
}

std::string PromRun(std::size_t size)
{
    return "\nLooks like a PROM file:\n  Configuration length: " + std::to_string(size) +
           " bytes\n" + ProgrammingRun(size, size);
}

std::string BitRun(const std::string& name, const std::string& part, const std::string& date,
                   const std::string& time, std::size_t declared, std::size_t total)
{
    return "\nLooks like a .BIT file:\n  Design name:          " + name +
           "\n  Part I.D.:            " + part + "\n  Design date:          " + date +
           "\n  Design time:          " + time + "\n  Configuration length: " +
           std::to_string(declared) + " bytes\n" + ProgrammingRun(declared, total);
}

const std::string LIST_HEADER =
    "Card  Address       Board                                     Program now?\n";

std::string ListLine(const std::string& number, const std::string& address,
                     const std::string& board, const std::string& verdict)
{
    std::string line = number + std::string(6 - number.size(), ' ') + address + "  " + board;
    return line + std::string(42 - board.size(), ' ') + verdict + "\n";
}
