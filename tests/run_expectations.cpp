#include "tests/run_expectations.h"

std::string ErrorBlock(const std::string& message)
{
    return "\n\n\aVELDRAN:\n" + message + "\n";
}

const std::string BANNER = "\nVELDRAN version 1.0\nQuorvel 9054 configuration utility for Windows.\n";

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

std::string PromRun(std::size_t size)
{
    const std::string n = std::to_string(size);
    return "\nLooks like a PROM file:\n  Configuration length: " + n + " bytes\n" +
           "\nProgramming...\n" + n + std::string(n.size() < 6 ? 6 - n.size() : 0, ' ') +
           "\r0     \nSuccessfully programmed " + n + " bytes.\n\nFunction complete.\n";
}
