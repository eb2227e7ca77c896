// The holder's protocol, without a real device: the holder's own loop
// serving over plain files (tests/fake_holder.h), asked the way runs,
// --release and --list ask it.
#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include <dirent.h>
#include <sys/eventfd.h>
#include <sys/stat.h>

#include "pci/plx_status.h"
#include "tests/fake_holder.h"
#include "tools/testkit/files.h"

namespace {

bool Exists(const std::string& path)
{
    struct stat st;
    return lstat(path.c_str(), &st) == 0;
}

bool SameFile(int fd, const std::string& path)
{
    struct stat a, b;
    return fstat(fd, &a) == 0 && stat(path.c_str(), &b) == 0 && a.st_ino == b.st_ino &&
           a.st_dev == b.st_dev;
}

int OpenDescriptors()
{
    int count = 0;
    DIR* fds = opendir("/proc/self/fd");
    while (fds != nullptr && readdir(fds) != nullptr)
        ++count;
    if (fds != nullptr)
        closedir(fds);
    return count;
}

class Holder : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_FALSE(temp_.Path().empty());
        const char* names[3] = {"container", "group", "device"};
        for (int i = 0; i < 3; ++i) {
            files_[i] = temp_.Path() + "/" + names[i];
            ASSERT_TRUE(WriteFile(files_[i], std::string(0x200, '\0')));
        }
    }
    TempFolder temp_;
    std::string files_[3];
    const std::string socket_ = temp_.Path() + "/0000:03:00.0";
    const vfio::Region bar1_ = {0x100, 0x100, 0};
};

TEST_F(Holder, AnswersWhoItIsAndReadsRegistersWhileItHolds)
{
    // The register at 0x6C of BAR 1, little-endian, as the card keeps it.
    std::string device = ReadFile(files_[2]);
    device.replace(0x100 + 0x6C, 4, std::string("\x02\x00\x0d\x00", 4));
    ASSERT_TRUE(WriteFile(files_[2], device));
    FakeHolder holder(socket_, files_, bar1_);
    ASSERT_TRUE(holder.Serving());

    vfio::HolderStatus status;
    ASSERT_EQ(vfio::AskStatus(socket_, &status), vfio::HolderState::Answered);
    EXPECT_EQ(status.Pid, holder.Pid());
    EXPECT_EQ(status.Since, FakeHolder::SINCE);
    uint32_t value = 0;
    ASSERT_EQ(vfio::PeekHolder(socket_, 1, 0x6C, &value), PLX_STATUS_OK);
    EXPECT_EQ(value, 0x000D0002u);
    // Off the register grid, past the BAR, or a BAR it does not have.
    for (const auto& [bar, offset] : {std::pair<unsigned, uint32_t>{1, 0x6E}, {1, 0x100}, {0, 0}})
        EXPECT_EQ(vfio::PeekHolder(socket_, bar, offset, &value), PLX_ERR_PORT_RANGE)
            << bar << " " << offset;
    EXPECT_FALSE(holder.Ended(100)) << "asking gives nothing up";

    // One who may not connect learns only that the card is held.
    if (geteuid() != 0)
        return;
    ASSERT_EQ(chmod(temp_.Path().c_str(), 0755), 0);
    ASSERT_EQ(chmod(socket_.c_str(), 0600), 0);
    const pid_t child = fork();
    if (child == 0) {
        vfio::HolderStatus silent;
        _exit(setresuid(65534, 65534, 65534) == 0 &&
                      vfio::AskStatus(socket_, &silent) == vfio::HolderState::Silent
                  ? 0
                  : 1);
    }
    int exited = -1;
    waitpid(child, &exited, 0);
    EXPECT_EQ(exited, 0);
}

// The descriptors themselves reach the taker, the holder ends, and its
// socket is gone before the taker's own holder would need the name.
TEST_F(Holder, ATakeOverHandsOverWhatItHeldAndEndsIt)
{
    FakeHolder holder(socket_, files_, bar1_);
    ASSERT_TRUE(holder.Serving());
    int fds[3];
    ASSERT_EQ(vfio::TakeOver(socket_, files_[1], fds), PLX_STATUS_OK);
    for (int i = 0; i < 3; ++i) {
        EXPECT_TRUE(SameFile(fds[i], files_[i])) << i;
        close(fds[i]);
    }
    EXPECT_TRUE(holder.Ended());
    EXPECT_FALSE(Exists(socket_));
    EXPECT_EQ(vfio::TakeOver(socket_, files_[1], fds), PLX_ERR_NOT_HELD);
}

// A group that is not the card's is not used, and nothing of it is kept.
TEST_F(Holder, ATakeOverOfAnotherGroupIsRefused)
{
    FakeHolder holder(socket_, files_, bar1_);
    ASSERT_TRUE(holder.Serving());
    const int before = OpenDescriptors();
    int fds[3];
    EXPECT_EQ(vfio::TakeOver(socket_, files_[0], fds), PLX_ERR_HOLD);
    EXPECT_EQ(OpenDescriptors(), before);
}

TEST_F(Holder, AReleaseEndsIt)
{
    FakeHolder holder(socket_, files_, bar1_);
    ASSERT_TRUE(holder.Serving());
    long pid = 0;
    ASSERT_EQ(vfio::ReleaseHolder(socket_, &pid), PLX_STATUS_OK);
    EXPECT_EQ(pid, holder.Pid());
    EXPECT_TRUE(holder.Ended());
    EXPECT_FALSE(Exists(socket_));
    EXPECT_EQ(vfio::ReleaseHolder(socket_, &pid), PLX_ERR_NOT_HELD);
}

// The holder ends its connection only once it has closed the device, and
// the kernel resets the card as it closes it: a release that returned at
// the answer would say the card is reset before it is. A holder of the
// test's own answers, then keeps the connection open a while.
TEST_F(Holder, AReleaseWaitsForTheConnectionToEnd)
{
    const int listener = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_un address = {};
    address.sun_family = AF_UNIX;
    std::strncpy(address.sun_path, socket_.c_str(), sizeof address.sun_path - 1);
    ASSERT_EQ(bind(listener, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
    ASSERT_EQ(listen(listener, 1), 0);
    std::atomic<bool> returned{false};
    std::thread release([&] {
        long pid = 0;
        EXPECT_EQ(vfio::ReleaseHolder(socket_, &pid), PLX_STATUS_OK);
        returned = true;
    });
    const int connection = accept(listener, nullptr, nullptr);
    vfio::Ask ask;
    ASSERT_EQ(read(connection, &ask, sizeof ask), static_cast<ssize_t>(sizeof ask));
    EXPECT_EQ(ask.What, vfio::ASK_RELEASE);
    const vfio::Answer answer = {0, 4242, 0, 0, 0};
    ASSERT_EQ(write(connection, &answer, sizeof answer), static_cast<ssize_t>(sizeof answer));
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    EXPECT_FALSE(returned) << "returned while the holder still had the device";
    close(connection);
    release.join();
    EXPECT_TRUE(returned);
    close(listener);
}

// Unbinding or removing the card: the kernel asks for the device back.
TEST_F(Holder, TheKernelsRequestEndsIt)
{
    const int request = eventfd(0, EFD_CLOEXEC);
    ASSERT_GE(request, 0);
    FakeHolder holder(socket_, files_, bar1_, request);
    ASSERT_TRUE(holder.Serving());
    const uint64_t one = 1;
    ASSERT_EQ(write(request, &one, sizeof one), static_cast<ssize_t>(sizeof one));
    EXPECT_TRUE(holder.Ended());
    EXPECT_FALSE(Exists(socket_));
    close(request);
}

// A holder that died holds nothing: its socket is no holder to the list,
// and the next run, or a release, removes it.
TEST_F(Holder, ADeadHoldersSocketIsNoHolder)
{
    for (const bool byRelease : {false, true}) {
        FakeHolder holder(socket_, files_, bar1_);
        ASSERT_TRUE(holder.Serving());
        holder.Kill();
        vfio::HolderStatus status;
        EXPECT_EQ(vfio::AskStatus(socket_, &status), vfio::HolderState::None);
        EXPECT_TRUE(Exists(socket_)) << "the list only reads";
        int fds[3];
        long pid = 0;
        EXPECT_EQ(byRelease ? vfio::ReleaseHolder(socket_, &pid)
                            : vfio::TakeOver(socket_, files_[1], fds),
                  PLX_ERR_NOT_HELD);
        EXPECT_FALSE(Exists(socket_)) << byRelease;
    }
}

}  // namespace
