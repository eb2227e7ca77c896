#include "pci/run_folder.h"

#include <grp.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>

namespace {

// As the package's tmpfiles.d makes it: the group veldran may write there.
constexpr mode_t SHARED_FOLDER_MODE = 02775;

std::string Variable(const char* name)
{
    const char* value = secure_getenv(name);
    return value != nullptr ? value : "";
}

void MakeShared(const std::string& folder)
{
    if (mkdir(folder.c_str(), 0755) != 0)
        return;
    const group* veldran = getgrnam("veldran");
    if (veldran != nullptr && chown(folder.c_str(), 0, veldran->gr_gid) == 0)
        chmod(folder.c_str(), SHARED_FOLDER_MODE);
}

std::string RunTop()
{
    const std::string run = Variable("VELDRAN_RUN_DIR"), bus = Variable("VELDRAN_SYSFS_ROOT");
    return !run.empty() ? run : bus.empty() ? "/run/veldran" : bus + "/run";
}

}  // namespace

std::string RunFolder(const char* name)
{
    return RunTop() + "/" + name;
}

std::string RunFolderToWrite(const char* name)
{
    const std::string folder = RunFolder(name);
    if (geteuid() == 0) {
        mkdir(RunTop().c_str(), 0755);
        MakeShared(folder);
    }
    return folder;
}
