#include "platform/UsbDriveScanner.h"

#include <climits>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <vector>

namespace qf::platform {
namespace {

bool Exists(const std::string& p) {
    struct stat st{};
    return ::stat(p.c_str(), &st) == 0;
}

std::string RealPath(const std::string& p) {
    char buf[PATH_MAX];
    return ::realpath(p.c_str(), buf) ? std::string(buf) : std::string();
}

std::string FirstLine(const std::string& p) {
    std::ifstream in(p);
    std::string line;
    std::getline(in, line);
    return line;
}

} // namespace

CUsbDriveScanner::CUsbDriveScanner(std::string sysfsRoot, std::string mountInfo)
    : m_sysfsRoot(std::move(sysfsRoot)), m_mountInfo(std::move(mountInfo)) {}

bool CUsbDriveScanner::IsUsbDrive(const std::string& path) const {
    unsigned maj = 0, min = 0;
    return BlockDeviceOf(path, maj, min) && IsUsbBlockDevice(maj, min);
}

bool CUsbDriveScanner::BlockDeviceOf(const std::string& path, unsigned& maj, unsigned& min) const {
    struct stat st{};
    if (::stat(path.c_str(), &st) != 0) return false;
    maj = ::major(st.st_dev);
    min = ::minor(st.st_dev);
    if (Exists(m_sysfsRoot + "/dev/block/" + std::to_string(maj) + ":" + std::to_string(min))) return true;

    // No block device of that number: find the mount with this device
    // number and take the block device it was mounted from.
    std::ifstream in(m_mountInfo);
    const std::string wanted = std::to_string(maj) + ":" + std::to_string(min);
    std::string line;
    for (int n = 0; n < 10000 && std::getline(in, line); ++n) {
        std::istringstream fields(line);
        std::string id, parent, devno, f;
        if (!(fields >> id >> parent >> devno) || devno != wanted) continue;
        while (fields >> f && f != "-") {
        }
        std::string fstype, source;
        if (!(fields >> fstype >> source) || source.rfind("/dev/", 0) != 0) continue;
        struct stat dev{};
        if (::stat(source.c_str(), &dev) != 0 || !S_ISBLK(dev.st_mode)) continue;
        maj = ::major(dev.st_rdev);
        min = ::minor(dev.st_rdev);
        return true;
    }
    return false;
}

bool CUsbDriveScanner::IsUsbBlockDevice(unsigned maj, unsigned min) const {
    std::string dev = RealPath(m_sysfsRoot + "/dev/block/" + std::to_string(maj) + ":" + std::to_string(min));
    if (dev.empty()) return false;
    // A partition is judged by the disk it belongs to.
    if (Exists(dev + "/partition")) dev = dev.substr(0, dev.find_last_of('/'));
    if (FirstLine(dev + "/removable") == "1") return false;

    const std::string root = RealPath(m_sysfsRoot);
    std::string rest = (!root.empty() && dev.rfind(root, 0) == 0) ? dev.substr(root.size()) : dev;
    std::istringstream parts(rest);
    for (std::string part; std::getline(parts, part, '/');) {
        if (part.size() > 3 && part.compare(0, 3, "usb") == 0 && part[3] >= '0' && part[3] <= '9') return true;
    }
    return false;
}

} // namespace qf::platform
