// A data window that VFIO would not let the process map: its bytes go to
// the device's region one write each, and a write that fails must end the
// stores as a lost mapping does, never pass for a byte sent. The "device"
// is a plain file here, its BAR 3 region at a known offset.
#include <gtest/gtest.h>

#include <csignal>

#include "pci/vfio.h"
#include "tools/testkit/files.h"

namespace {

constexpr uint64_t REGION = 0x3000;

class UnmappedWindow : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_TRUE(WriteFile(file_, std::string(REGION + 16, '\0')));
        device_.Resources.assign(PLX_BAR_COUNT, sysfs::Resource{0xF0000000, 0xF00007FF,
                                                                sysfs::RESOURCE_MEM});
        device_.Vfio = &vfio_;
        vfio_.Device = open(file_.c_str(), O_RDWR | O_CLOEXEC);
        ASSERT_GE(vfio_.Device, 0);
        vfio_.Regions[3] = {REGION, 0x800, 0};  // readable and writable, no MMAP
    }
    void TearDown() override
    {
        vfio::UnmapAll(&vfio_);
        close(vfio_.Device);
    }
    // Maps BAR 3 and stores bytes through the store the card layer is given.
    void Store(const std::string& bytes)
    {
        void* window = nullptr;
        ASSERT_EQ(vfio::MapBar(&device_, 3, &window), PLX_STATUS_OK);
        PlxWindowStore store = nullptr;
        void* context = nullptr;
        ASSERT_EQ(vfio::WindowStore(&device_, window, &store, &context), PLX_STATUS_OK);
        ASSERT_NE(store, nullptr) << "an unmapped window needs a store";
        for (const char byte : bytes)
            store(context, static_cast<uint8_t>(byte));
    }
    TempFolder temp_;
    const std::string file_ = temp_.Path() + "/device";
    PlxPlatformDevice device_;
    VfioDevice vfio_;
};

TEST_F(UnmappedWindow, EachByteIsAWriteAtTheRegionsFirstByte)
{
    Store("\x12\x34\xAB");
    const std::string device = ReadFile(file_);
    EXPECT_EQ(device.substr(REGION, 2), std::string("\xAB\0", 2)) << "the last byte, at the window's first";
    EXPECT_EQ(device.find_first_not_of('\0'), REGION);
}

TEST_F(UnmappedWindow, AWriteThatFailsFaultsAsALostMapping)
{
    close(vfio_.Device);
    vfio_.Device = open(file_.c_str(), O_RDONLY | O_CLOEXEC);
    // With SIGBUS as it is by default (a sanitizer's handler would report
    // it): the run's window guard catches it as it catches a lost mapping.
    EXPECT_EXIT(
        {
            std::signal(SIGBUS, SIG_DFL);
            Store("\x01");
        },
        ::testing::KilledBySignal(SIGBUS), "");
}

}  // namespace
