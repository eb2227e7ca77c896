// PlxPci_DeviceFind over simulated buses: which entries count, in which
// order, and what the key says afterwards.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <fstream>
#include <string>
#include <vector>

#include "tests/sysfs_fixture.h"

namespace {

std::string Name(const DeviceKey& key)
{
    SimCard card = CardAt(key.Domain, key.Bus, key.Slot, key.Function);
    return SimDeviceName(card);
}

// The names of every match of want, in index order.
std::vector<std::string> FindAll(const DeviceKey& want)
{
    std::vector<std::string> names;
    for (uint16_t index = 0; index < 100; ++index) {
        DeviceKey key = want;
        if (PlxPci_DeviceFind(&key, index) != PLX_STATUS_OK)
            break;
        names.push_back(Name(key));
    }
    return names;
}

class SysfsFind : public SimBusTest {
protected:
    std::string Entry(const std::string& name) const
    {
        return root_.Path() + "/bus/pci/devices/" + name;
    }
};

TEST_F(SysfsFind, OrdersByDomainBusSlotFunctionWhateverTheCreationOrder)
{
    Make({CardAt(0x10000, 0, 0, 0), CardAt(1, 0, 0, 0), CardAt(0, 5, 0, 0), CardAt(0, 2, 0x1f, 0),
          CardAt(0, 2, 3, 1), CardAt(0, 0x10, 0, 0), CardAt(0, 2, 3, 0), CardAt(0x2000, 0, 0, 0)});

    DeviceKey anyFunction = PlxKey();
    anyFunction.Function = PLX_IGNORE_8;
    EXPECT_EQ(FindAll(anyFunction),
              (std::vector<std::string>{"0000:02:03.0", "0000:02:03.1", "0000:02:1f.0",
                                        "0000:05:00.0", "0000:10:00.0", "0001:00:00.0",
                                        "2000:00:00.0", "10000:00:00.0"}));
    EXPECT_EQ(FindAll(PlxKey()),
              (std::vector<std::string>{"0000:02:03.0", "0000:02:1f.0", "0000:05:00.0",
                                        "0000:10:00.0", "0001:00:00.0", "2000:00:00.0",
                                        "10000:00:00.0"}));

    DeviceKey key = PlxKey();
    EXPECT_EQ(PlxPci_DeviceFind(&key, 7), PLX_ERR_NOT_FOUND);
    EXPECT_EQ(PlxPci_DeviceFind(&key, 0xFFFF), PLX_ERR_NOT_FOUND);
}

// Which names and file contents the kernel writes is the formats' tests'
// concern; here, that a device whose files fail to read is passed over.
TEST_F(SysfsFind, SkipsEntriesThatCannotBeReadOrParsed)
{
    Make({CardAt(0, 1, 0, 0), CardAt(0, 2, 0, 0), CardAt(0, 3, 0, 0), CardAt(0, 9, 0, 0)});
    ASSERT_EQ(unlink(File(CardAt(0, 1, 0, 0), "vendor").c_str()), 0);
    std::ofstream(File(CardAt(0, 2, 0, 0), "device"), std::ios::trunc) << "hello\n";
    // A folder where a file should be: it opens, but read() fails.
    ASSERT_EQ(unlink(File(CardAt(0, 3, 0, 0), "vendor").c_str()), 0);
    ASSERT_EQ(mkdir(File(CardAt(0, 3, 0, 0), "vendor").c_str(), 0755), 0);
    std::ofstream(Entry("0000:07:00.0")) << "a file, not a folder\n";
    ASSERT_EQ(symlink("../../../devices/nowhere", Entry("0000:08:00.0").c_str()), 0);

    EXPECT_EQ(FindAll(AnyKey()), std::vector<std::string>{"0000:09:00.0"});
}

TEST_F(SysfsFind, FindsLinkedAndPlainEntriesAndFillsTheKey)
{
    SimCard linked = CardAt(2, 3, 4, 0);
    linked.SubVendorId = 0x1172;
    linked.SubDeviceId = 0x3314;
    SimCard plain = CardAt(2, 3, 5, 0);
    plain.Symlink = false;
    Make({linked, plain});
    struct stat st;
    ASSERT_EQ(lstat(SimDevicePath(root_.Path(), linked).c_str(), &st), 0);
    ASSERT_TRUE(S_ISLNK(st.st_mode));

    DeviceKey key = PlxKey();
    ASSERT_EQ(PlxPci_DeviceFind(&key, 0), PLX_STATUS_OK);
    EXPECT_EQ(Name(key), "0002:03:04.0");
    EXPECT_EQ(key.VendorId, 0x10b5);
    EXPECT_EQ(key.DeviceId, 0x9054);
    EXPECT_EQ(key.SubVendorId, 0x1172);
    EXPECT_EQ(key.SubDeviceId, 0x3314);

    key = PlxKey();
    ASSERT_EQ(PlxPci_DeviceFind(&key, 1), PLX_STATUS_OK);
    EXPECT_EQ(Name(key), "0002:03:05.0");
    EXPECT_EQ(key.SubDeviceId, 0x3311);
}

TEST_F(SysfsFind, MatchesEveryFieldThatIsSet)
{
    SimCard kx20 = CardAt(0, 1, 0, 0);
    kx20.SubDeviceId = 0x3312;
    Make({CardAt(0, 1, 2, 0), kx20, CardAt(0, 7, 2, 0), CardAt(3, 1, 2, 0)});

    DeviceKey key = PlxKey();
    key.SubDeviceId = 0x3312;
    EXPECT_EQ(FindAll(key), std::vector<std::string>{"0000:01:00.0"});
    key = PlxKey();
    key.SubVendorId = 0x10b6;
    EXPECT_TRUE(FindAll(key).empty());
    key = PlxKey();
    key.Bus = 7;
    EXPECT_EQ(FindAll(key), std::vector<std::string>{"0000:07:02.0"});
    key = PlxKey();
    key.Slot = 2;
    EXPECT_EQ(FindAll(key),
              (std::vector<std::string>{"0000:01:02.0", "0000:07:02.0", "0003:01:02.0"}));
    key = PlxKey();
    key.Domain = 3;
    EXPECT_EQ(FindAll(key), std::vector<std::string>{"0003:01:02.0"});
}

// An enumeration from index 0 upward counts one look at the bus: a device
// that goes meanwhile keeps its place in it. A search that does not follow
// on from the last one looks again.
TEST_F(SysfsFind, AnEnumerationCountsOneLookAtTheBus)
{
    Make({CardAt(0, 1), CardAt(0, 2), CardAt(0, 3)});
    const std::string entry = Entry("0000:02:00.0"), away = root_.Path() + "/away";
    std::vector<std::string> names;
    for (uint16_t index = 0; index < 3; ++index) {
        DeviceKey key = PlxKey();
        ASSERT_EQ(PlxPci_DeviceFind(&key, index), PLX_STATUS_OK) << index;
        names.push_back(Name(key));
        if (index == 0) {
            ASSERT_EQ(rename(entry.c_str(), away.c_str()), 0);
        }
    }
    EXPECT_EQ(names, (std::vector<std::string>{"0000:01:00.0", "0000:02:00.0", "0000:03:00.0"}));
    EXPECT_EQ(FindAll(PlxKey()), (std::vector<std::string>{"0000:01:00.0", "0000:03:00.0"}));

    DeviceKey key = PlxKey();
    ASSERT_EQ(PlxPci_DeviceFind(&key, 0), PLX_STATUS_OK);
    ASSERT_EQ(rename(away.c_str(), entry.c_str()), 0);
    key = PlxKey();
    ASSERT_EQ(PlxPci_DeviceFind(&key, 2), PLX_STATUS_OK) << "not the next index";
    EXPECT_EQ(Name(key), "0000:03:00.0");
}

TEST_F(SysfsFind, FailsWithoutABusOrAKey)
{
    DeviceKey key = PlxKey();
    EXPECT_EQ(PlxPci_DeviceFind(&key, 0), PLX_ERR_NOT_FOUND);  // no bus/pci/devices at all
    EXPECT_EQ(PlxPci_DeviceFind(nullptr, 0), PLX_ERR_ARGUMENT);
    Make({});
    EXPECT_EQ(PlxPci_DeviceFind(&key, 0), PLX_ERR_NOT_FOUND);  // an empty bus
}

}  // namespace
