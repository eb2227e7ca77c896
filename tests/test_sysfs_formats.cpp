// The parsers of the kernel's PCI files, on what the kernel writes and on
// what it never would.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "pci/host.h"

using namespace sysfs;

// The one address parser: what the command line takes, and the kernel's
// own spelling, its one exact form, for device folders.
TEST(PciAddresses, ReadExactlyTheFormsTheListShows)
{
    struct Case {
        const char* text;
        uint32_t domain;
        unsigned bus, slot, function;
    } accepted[] = {{"0000:03:00.0", 0, 3, 0, 0},       {"03:00.0", 0, 3, 0, 0},
                    {"abcd:EF:1f.7", 0xabcd, 0xef, 0x1f, 7}, {"ffff:ff:1f.7", 0xffff, 0xff, 0x1f, 7},
                    {"0001:0a:1C.2", 1, 0x0a, 0x1c, 2},        {"10000:00:01.0", 0x10000, 0, 1, 0},
                    {"ffffffff:01:00.0", 0xffffffff, 1, 0, 0},
                    // Copied from a list, a script or a file with Windows line ends.
                    {" 03:00.0", 0, 3, 0, 0}, {"0000:05:00.0 ", 0, 5, 0, 0},
                    {"0000:05:00.0\r\n", 0, 5, 0, 0}, {"\t0001:05:00.0\n", 1, 5, 0, 0}};
    for (const auto& c : accepted) {
        PciAddress address{};
        ASSERT_TRUE(ParsePciAddress(c.text, &address)) << c.text;
        EXPECT_EQ(address.Domain, c.domain) << c.text;
        EXPECT_EQ(address.Bus, c.bus) << c.text;
        EXPECT_EQ(address.Slot, c.slot) << c.text;
        EXPECT_EQ(address.Function, c.function) << c.text;
    }
    const char* rejected[] = {"3",           "3:00.0",       "003:00.0",     "0000:3:00.0",
                              "0000:03:0.0", "0000:03:00",   "0000:03:00.",  "0000:03:00.00",
                              "0000:05:00.0x", "1:05:00.0",  "00000:03:00.0", "0000:03:00:0",
                              "0000.03:00.0", "03.00.0",     "g3:00.0",      "0x03:00.0",
                              "+3:00.0",     "0000:03:00.g", "", "100000000:01:00.0", "00001:01:00.0",
                              // No device can sit there.
                              "0000:03:20.0", "0000:03:00.8", "0000:ff:1f.00", "0000:03 :00.0"};
    for (const char* text : rejected) {
        PciAddress address{};
        EXPECT_FALSE(ParsePciAddress(text, &address)) << text;
    }
    PciAddress a{};
    ASSERT_TRUE(ParseKernelName("ffffffff:0a:1f.7", &a));
    EXPECT_EQ(std::vector<uint32_t>({a.Domain, a.Bus, a.Slot, a.Function}),
              std::vector<uint32_t>({0xffffffff, 0x0a, 0x1f, 7}));
    ASSERT_TRUE(ParseKernelName("10000:06:00.0", &a));
    EXPECT_EQ(a.Domain, 0x10000u);
    EXPECT_EQ(PciAddressText(a), "10000:06:00.0");
    for (const char* name : {"0000:06:00.0x", "000:06:00.0", "0000:6:00.0", "0000:06:20.0",
                             "0000:06:00.8", "0000:0A:00.0", "00000:06:00.0", "0000-06:00.0",
                             "0000:06:00", "100000000:06:00.0", "06:00.0", " 0000:06:00.0",
                             "0000:06:00.0\n", "garbage", ""})
        EXPECT_FALSE(ParseKernelName(name, &a)) << name;
}

TEST(SysfsFormats, IdFilesAreExactlyWhatTheKernelWrites)
{
    uint16_t id = 0;
    ASSERT_EQ(ParseIdText("0x10b5\n", &id), PLX_STATUS_OK);
    EXPECT_EQ(id, 0x10b5);
    ASSERT_EQ(ParseIdText("0x00ff\n", &id), PLX_STATUS_OK);
    EXPECT_EQ(id, 0xff);
    // "0x%04x\n" and nothing else: lowercase, four digits, one newline.
    for (const char* text : {"0xFf", "0x00FF\n", "0xff\n", "0x10b5", "hello\n", "0x10b50\n", "0x\n",
                             "10b5\n", "0X10b5\n", " 0x10b5\n", "0x10b5\n\n", "0x10g5\n", ""})
        EXPECT_EQ(ParseIdText(text, &id), PLX_ERR_PARSE) << text;
}

TEST(SysfsFormats, ResourceLinesAreThreeFieldsOfSixteenDigits)
{
    const std::string none = "0x0000000000000000 0x0000000000000000 0x0000000000000000\n";
    const std::string seven = none + "0x000000000000e000 0x000000000000e0ff 0x0000000000040101\n" +
                              none + none + none + none + none;
    std::vector<Resource> r;
    ASSERT_EQ(ParseResources(seven + none, &r), PLX_STATUS_OK) << "newer kernels print more";
    ASSERT_EQ(r.size(), 8u);
    EXPECT_EQ(std::vector<uint64_t>({r[1].Start, r[1].End, r[1].Flags, ResourceLength(r[1])}),
              std::vector<uint64_t>({0xe000, 0xe0ff, 0x40101, 0x100}));
    EXPECT_EQ(ResourceLength(r[0]), 0u) << "all zeros: no resource";
    const std::string spaced = "0x0000000000000000  0x0000000000000000 0x0000000000000000\n";
    for (const std::string& bad : {seven.substr(57), seven + spaced, std::string(),
                                   seven + "0x0 0x0 0x0\n", seven + none.substr(0, 56)})
        EXPECT_EQ(ParseResources(bad, &r), PLX_ERR_PARSE) << bad;
}

TEST(SysfsFormats, ConfigRegistersAreAlignedInsideTheSpaceAndLittleEndian)
{
    EXPECT_EQ(CheckConfigRange(256, 0xFC, 4), PLX_STATUS_OK) << "the last register";
    EXPECT_EQ(CheckConfigRange(6, 0x04, 2), PLX_STATUS_OK);
    for (uint32_t misaligned : {0x02, 0x13})
        EXPECT_EQ(CheckConfigRange(256, misaligned, 4), PLX_ERR_ARGUMENT) << misaligned;
    EXPECT_EQ(CheckConfigRange(256, 0x100, 4), PLX_ERR_ARGUMENT);
    EXPECT_EQ(CheckConfigRange(5, 0x04, 2), PLX_ERR_ARGUMENT) << "a cut configuration space";
    const unsigned char ids[4] = {0xb5, 0x10, 0x54, 0x90};
    EXPECT_EQ(ConfigValue(ids, 4), 0x905410b5u);
    EXPECT_EQ(ConfigValue(ids, 2), 0x10b5u);
}

// /proc/locks as fs/locks.c writes it: only a flock lock held on a file
// keeps a run off the card. A waiter, fcntl-style locks and leases do not.
TEST(SysfsFormats, OnlyFlockLocksHeldOnAFileAreHolders)
{
    HeldFlock lock{};
    auto fields = [&] {
        return std::vector<int64_t>({lock.Pid, lock.Major, lock.Minor, static_cast<int64_t>(lock.Inode)});
    };
    ASSERT_TRUE(ParseHeldFlock("1: FLOCK  ADVISORY  WRITE 31515 fe:00:10952914 0 EOF", &lock));
    EXPECT_EQ(fields(), std::vector<int64_t>({31515, 0xfe, 0, 10952914}));
    ASSERT_TRUE(ParseHeldFlock("12: FLOCK  ADVISORY  READ 0 103:1a:42 0 EOF", &lock))
        << "shared; a process the reader's /proc cannot see";
    EXPECT_EQ(fields(), std::vector<int64_t>({0, 0x103, 0x1a, 42}));
    for (const char* line : {"1: -> FLOCK  ADVISORY  WRITE 31516 fe:00:10952914 0 EOF",
                             "2: POSIX  ADVISORY  WRITE 3568 fd:00:2531452 0 EOF",
                             "3: OFDLCK ADVISORY  WRITE -1 08:01:7 0 EOF",
                             "4: LEASE  ACTIVE    READ 5 08:01:7 0 EOF",
                             "5: FLOCK  ADVISORY  WRITE 9 <none>:0 0 EOF",
                             "6: FLOCK  ADVISORY  WRITE 9 08:01 0 EOF",
                             "6: FLOCK  ADVISORY  WRITE 9 08:01:7x 0 EOF",
                             "6: FLOCK  ADVISORY  WRITE x 08:01:7 0 EOF",
                             "FLOCK  ADVISORY  WRITE 9 08:01:7 0 EOF", ""})
        EXPECT_FALSE(ParseHeldFlock(line, &lock)) << line;
}
