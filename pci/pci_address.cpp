#include "pci/pci_address.h"

#include <cctype>
#include <cstdio>
#include <tuple>

namespace {

constexpr uint32_t MAX_SLOT = 0x1F;
constexpr uint32_t MAX_FUNCTION = 7;
constexpr int DOMAIN_DIGITS = 4;
constexpr int DOMAIN_DIGITS_MAX = 8;

int HexDigit(char c)
{
    const unsigned char u = static_cast<unsigned char>(c);
    if (!std::isxdigit(u))
        return -1;
    return std::isdigit(u) ? u - '0' : std::tolower(u) - 'a' + 10;
}

// Reads exactly `digits` hex digits at *p.
bool TakeHex(const char** p, int digits, uint32_t* value)
{
    uint32_t v = 0;
    for (int i = 0; i < digits; ++i, ++*p) {
        const int digit = HexDigit(**p);
        if (digit < 0)
            return false;
        v = (v << 4) | static_cast<uint32_t>(digit);
    }
    *value = v;
    return true;
}

int HexRun(const char* text)
{
    int n = 0;
    while (HexDigit(text[n]) >= 0)
        ++n;
    return n;
}

bool IsBlank(char c)
{
    return std::isspace(static_cast<unsigned char>(c)) != 0;
}

// The domain as the kernel writes it: four digits, more only when the
// number needs them, so never a leading zero beyond four. BB:SS.F has none.
bool TakeDomain(const char** p, uint32_t* domain)
{
    const int digits = HexRun(*p);
    if (digits < DOMAIN_DIGITS || (*p)[digits] != ':') {
        *domain = 0;
        return true;
    }
    if (digits > DOMAIN_DIGITS_MAX || (digits > DOMAIN_DIGITS && (*p)[0] == '0'))
        return false;
    return TakeHex(p, digits, domain) && *(*p)++ == ':';
}

}  // namespace

bool SameAddress(const PciAddress& a, const PciAddress& b)
{
    return a.Domain == b.Domain && a.Bus == b.Bus && a.Slot == b.Slot && a.Function == b.Function;
}

bool AddressLess(const PciAddress& a, const PciAddress& b)
{
    return std::tie(a.Domain, a.Bus, a.Slot, a.Function) <
           std::tie(b.Domain, b.Bus, b.Slot, b.Function);
}

std::string PciAddressText(const PciAddress& address)
{
    char text[32];
    std::snprintf(text, sizeof text, "%04x:%02x:%02x.%x", static_cast<unsigned>(address.Domain),
                  static_cast<unsigned>(address.Bus), static_cast<unsigned>(address.Slot),
                  static_cast<unsigned>(address.Function));
    return text;
}

bool ParsePciAddress(const char* text, PciAddress* address)
{
    const char* p = text;
    while (IsBlank(*p))
        ++p;
    uint32_t domain = 0, bus = 0, slot = 0, function = 0;
    if (!TakeDomain(&p, &domain) || !TakeHex(&p, 2, &bus) || *p++ != ':' ||
        !TakeHex(&p, 2, &slot) || *p++ != '.' || !TakeHex(&p, 1, &function) ||
        slot > MAX_SLOT || function > MAX_FUNCTION)
        return false;
    while (IsBlank(*p))
        ++p;
    if (*p != '\0')
        return false;
    *address = PciAddress{domain, static_cast<uint8_t>(bus), static_cast<uint8_t>(slot),
                          static_cast<uint8_t>(function)};
    return true;
}

bool ParseKernelName(const char* name, PciAddress* address)
{
    PciAddress parsed;
    if (!ParsePciAddress(name, &parsed) || PciAddressText(parsed) != name)
        return false;
    *address = parsed;
    return true;
}
