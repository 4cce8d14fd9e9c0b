#include "platform/UsbDriveScanner.h"
#include "support/TempDir.h"

#include <gtest/gtest.h>

#include <fstream>
#include <sys/stat.h>
#include <sys/sysmacros.h>

using qf::platform::CUsbDriveScanner;
using qf::test::TempDir;
using qf::test::WriteFile;

namespace {

namespace fs = std::filesystem;

// A small fake of the sysfs block device tree.
class FakeSysfs {
public:
    explicit FakeSysfs(const TempDir& dir) : root(dir.file("sys")) { fs::create_directories(root + "/dev/block"); }

    // devicePath: the disk's place under devices/; partition: "" for the
    // whole disk.
    void AddDisk(const std::string& number, const std::string& devicePath, const std::string& partition,
                 const char* removable) {
        std::string disk = root + "/devices/" + devicePath;
        fs::create_directories(disk);
        WriteFile(disk + "/removable", std::string(removable) + "\n");
        std::string target = disk;
        if (!partition.empty()) {
            target = disk + "/" + partition;
            fs::create_directories(target);
            WriteFile(target + "/partition", "1\n");
        }
        fs::create_symlink(target, root + "/dev/block/" + number);
    }
    std::string root;
};

TEST(UsbDriveScannerTest, JudgesTheDiskBehindADeviceNumber) {
    TempDir dir;
    FakeSysfs sys(dir);
    const std::string usbHost = "pci0000:00/0000:00:14.0/usb2/2-1/2-1:1.0/host6/target6:0:0/6:0:0:0/block/";
    sys.AddDisk("8:17", usbHost + "sdb", "sdb1", "0");            // USB fixed disk, partition
    sys.AddDisk("8:32", usbHost + "sdc", "", "0");                // USB fixed disk, whole disk
    sys.AddDisk("8:49", usbHost + "sdd", "sdd1", "1");            // USB stick marked removable
    sys.AddDisk("8:1", "pci0000:00/0000:00:17.0/ata1/host0/target0:0:0/0:0:0:0/block/sda", "sda1", "0");
    sys.AddDisk("259:1", "pci0000:00/0000:00:1d.0/0000:3d:00.0/nvme/nvme0/nvme0n1", "nvme0n1p1", "0");
    sys.AddDisk("8:65", "pci0000:00/usbfake/block/sde", "sde1", "0"); // "usb" without a bus number
    CUsbDriveScanner scanner(sys.root, dir.file("none"));
    struct Case { unsigned maj, min; bool usb; } cases[] = {
        {8, 17, true}, {8, 32, true}, {8, 49, false}, {8, 1, false}, {259, 1, false}, {8, 65, false}, {7, 7, false},
    };
    for (const auto& c : cases) EXPECT_EQ(c.usb, scanner.IsUsbBlockDevice(c.maj, c.min)) << c.maj << ":" << c.min;
}

TEST(UsbDriveScannerTest, FindsTheDeviceOfAFile) {
    TempDir dir;
    FakeSysfs sys(dir);
    const std::string file = dir.file("quarvofon");
    WriteFile(file, "x");
    struct stat st{};
    ASSERT_EQ(0, ::stat(file.c_str(), &st));
    const std::string number = std::to_string(major(st.st_dev)) + ":" + std::to_string(minor(st.st_dev));

    // The temp folder's file system, dressed up as a USB disk.
    sys.AddDisk(number, "pci0000:00/0000:00:14.0/usb1/1-2/1-2:1.0/host3/block/sdz", "sdz1", "0");
    EXPECT_TRUE(CUsbDriveScanner(sys.root, dir.file("none")).IsUsbDrive(file));
    EXPECT_FALSE(CUsbDriveScanner(sys.root, dir.file("none")).IsUsbDrive(dir.file("missing")));

    // Without a sysfs entry of its own, the mount table leads to the
    // block device it was mounted from (here /dev/null stands in; it is
    // not a block device, so the answer is no).
    TempDir other;
    FakeSysfs empty(other);
    WriteFile(other.file("mountinfo"), "36 25 " + number + " / /mnt rw - btrfs /dev/null rw\n");
    EXPECT_FALSE(CUsbDriveScanner(empty.root, other.file("mountinfo")).IsUsbDrive(file));
}

} // namespace
