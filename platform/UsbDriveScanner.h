#pragma once
// Tells whether a file lies on a fixed disk attached over USB, which is
// what puts the program into portable mode.
//
// The block device behind the file's file system is looked up in sysfs:
// /sys/dev/block/<major>:<minor> leads to the device's place in the
// device tree; a partition is judged by its disk. The disk counts when
// its path passes through a USB host ("usbN") and it is not marked
// removable (removable media are skipped, like CD-ROM and network
// drives). File systems without a block device of their own (btrfs
// subvolumes and the like) are traced back through the mount table.
#include <string>

namespace qf::platform {

class CUsbDriveScanner {
public:
    explicit CUsbDriveScanner(std::string sysfsRoot = "/sys", std::string mountInfo = "/proc/self/mountinfo");

    bool IsUsbDrive(const std::string& path) const;
    bool IsUsbBlockDevice(unsigned major, unsigned minor) const;

private:
    bool BlockDeviceOf(const std::string& path, unsigned& major, unsigned& minor) const;

    std::string m_sysfsRoot;
    std::string m_mountInfo;
};

} // namespace qf::platform
