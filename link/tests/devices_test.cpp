// The serial device list and the probing of a port's path without opening it.
#include "devices.h"
#include "link_fixture.h"

#include <filesystem>
#include <fstream>
#include <sys/file.h>

namespace fs = std::filesystem;

namespace
{

// A /dev and /sys of our own in a temporary folder.
struct FakeTree {
    fs::path root;
    FakeTree()
    {
        char dir[] = "/tmp/ptk71-dev-XXXXXX";
        root = mkdtemp(dir);
        fs::create_directories(Dev() / "serial/by-id");
        fs::create_directories(root / "sys/class/tty");
    }
    ~FakeTree()
    {
        std::error_code ec;
        fs::remove_all(root, ec);
    }
    fs::path Dev() const { return root / "dev"; }
    std::string Sys() const { return (root / "sys").string(); }
    void Touch(const fs::path &p) const { std::ofstream(p).put('x'); }
    void UartType(const std::string &name, const std::string &type) const
    {
        fs::create_directories(root / "sys/class/tty" / name);
        std::ofstream(root / "sys/class/tty" / name / "type") << type << "\n";
    }
};

} // namespace

TEST(SerialDevicesTest, StableNamesFirstThenUsbAcmAndRealUartsInNaturalOrder)
{
    FakeTree t;
    for (const char *n :
         {"ttyUSB10", "ttyUSB2", "ttyACM0", "ttyS0", "ttyS1", "ttyS3", "tty1", "ttyUSBx", "ttyS"})
        t.Touch(t.Dev() / n);
    t.UartType("ttyS0", "4");
    t.UartType("ttyS1", "0"); // a slot without a chip
    fs::create_symlink("../../ttyUSB2", t.Dev() / "serial/by-id/usb-Maker_B-if00");
    fs::create_symlink("../../ttyACM0", t.Dev() / "serial/by-id/usb-Board_A-if00");
    fs::create_symlink("../../ttyUSB7", t.Dev() / "serial/by-id/usb-Gone-if00");
    const std::string d = t.Dev().string();
    EXPECT_EQ(MoreCOM::SerialDevices(d, t.Sys()),
              (std::vector<std::string>{
                  d + "/serial/by-id/usb-Board_A-if00", d + "/serial/by-id/usb-Maker_B-if00",
                  d + "/ttyUSB2", d + "/ttyUSB10", d + "/ttyACM0", d + "/ttyS0", d + "/ttyS3"}));
    EXPECT_TRUE(MoreCOM::SerialDevices((t.root / "none").string(), t.Sys()).empty());
}

TEST(ProbePortTest, StatesWithoutOpeningTheDevice)
{
    using MoreCOM::PortState;
    FakeTree t;
    EXPECT_EQ(MoreCOM::ProbePort("/nonexistent/ttyUSB0").state, PortState::Absent);
    EXPECT_EQ(MoreCOM::ProbePort("").state, PortState::Absent);
    t.Touch(t.root / "file");
    EXPECT_EQ(MoreCOM::ProbePort((t.root / "file").string()).state, PortState::NotSerial);

    TestPty pty;
    ASSERT_FALSE(pty.path.empty());
    EXPECT_EQ(MoreCOM::ProbePort(pty.path).state, PortState::Present);
    // Through a stable name, too.
    fs::create_symlink(pty.path, t.root / "by-id-link");
    EXPECT_EQ(MoreCOM::ProbePort((t.root / "by-id-link").string()).state, PortState::Present);

    // Locked by another program (here: another descriptor of this process).
    const int other = open(pty.path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    ASSERT_EQ(flock(other, LOCK_EX | LOCK_NB), 0);
    const MoreCOM::PortProbe held = MoreCOM::ProbePort((t.root / "by-id-link").string());
    EXPECT_EQ(held.state, PortState::Held);
    EXPECT_EQ(held.detail, "link_tests");
    close(other);
    EXPECT_EQ(MoreCOM::ProbePort(pty.path).state, PortState::Present);

    // The console's line, and a UART slot without a chip, by what /sys says.
    const std::string name = pty.path.substr(pty.path.rfind('/') + 1);
    fs::create_directories(t.root / "sys/class/tty/console");
    std::ofstream(t.root / "sys/class/tty/console/active") << "tty0 " << name << "\n";
    EXPECT_EQ(MoreCOM::ProbePort(pty.path, t.Sys()).state, PortState::Console);
    t.UartType(name, "0");
    EXPECT_EQ(MoreCOM::ProbePort(pty.path, t.Sys()).state, PortState::Absent);
}

TEST(ProbePortTest, CharacterDevicesThatAreNoSerialLines)
{
    for (const char *path : {"/dev/null", "/dev/zero", "/dev/ptmx", "/dev/tty"})
        EXPECT_EQ(MoreCOM::ProbePort(path).state, MoreCOM::PortState::NotSerial) << path;
}
