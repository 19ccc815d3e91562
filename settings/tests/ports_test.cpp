// The port mapping: the dialog's lists and states, the setup window's "Порты" button, and
// the "PORTS" entries written when the setup window closes.
#include "formsetup.h"
#include "inistore.h"
#include "morecom.h"
#include "portsdialog.h"
#include "settings.h"
#include "testpty.h"
#include "textgrid.h"

#include <QApplication>
#include <QComboBox>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QTemporaryDir>
#include <QTimer>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <memory>
#include <stdlib.h>
#include <sys/file.h>
#include <termios.h>
#include <unistd.h>

namespace
{

std::string Text(const QLabel *l)
{
    return l->text().toStdString();
}

class PortsTest : public ::testing::Test
{
  protected:
    void SetUp() override
    {
        ASSERT_TRUE(dir_.isValid());
        path_ = dir_.filePath("ptk71.ini").toStdString();
        SetSettingsFilePath(path_);
        ResetPointTable();
        NumPoints = 1;
        PauseSec = 4;
    }
    void TearDown() override
    {
        form_.reset();
        SetSettingsFilePath({});
        MoreCOM::ClearPortPaths();
    }
    TFormSetup &Create()
    {
        form_ = std::make_unique<TFormSetup>(nullptr, nullptr, nullptr);
        return *form_;
    }
    std::string Ports(const std::string &key) const
    {
        return IniStore(path_).ReadString("PORTS", key, "(none)");
    }

    QTemporaryDir dir_;
    std::string path_;
    std::unique_ptr<TFormSetup> form_;
};

} // namespace

TEST(PortsDialogTest, ListsDevicesAndShowsWhatEachPathWouldMeet)
{
    TestPty pty;
    ASSERT_FALSE(pty.path.empty());
    PortMapping mapping;
    mapping[0] = pty.path;
    mapping[1] = "/nonexistent/ttyUSB0";
    TPortsDialog dialog(mapping, nullptr, [&] {
        return std::vector<std::string>{"/dev/serial/by-id/usb-Maker_Model-if00", pty.path};
    });

    ASSERT_EQ(dialog.PortBox(1)->count(), 2);
    EXPECT_EQ(dialog.PortBox(1)->itemText(0), "/dev/serial/by-id/usb-Maker_Model-if00");
    EXPECT_EQ(dialog.PortBox(1)->currentText().toStdString(), pty.path);
    EXPECT_EQ(dialog.PortBox(12)->count(), 2);
    EXPECT_EQ(Text(dialog.StateLabel(1)), "есть");
    EXPECT_EQ(Text(dialog.StateLabel(2)), "нет устройства");
    // An empty entry stands for /dev/ttyS<n-1>, which is shown and probed.
    EXPECT_EQ(dialog.PortBox(3)->lineEdit()->placeholderText(), "/dev/ttyS2");
    EXPECT_EQ(dialog.StateLabel(3)->toolTip(), "/dev/ttyS2");

    // Typed text is probed as it changes; two ports on one device are pointed out.
    dialog.PortBox(2)->setEditText(QString::fromStdString("  " + pty.path + " "));
    EXPECT_EQ(Text(dialog.StateLabel(2)), "есть, тот же, что COM1");
    EXPECT_EQ(Text(dialog.StateLabel(1)), "есть, тот же, что COM2");
    dialog.PortBox(2)->setEditText("/dev/null");
    EXPECT_EQ(Text(dialog.StateLabel(1)), "есть");
    EXPECT_EQ(Text(dialog.StateLabel(2)), "не последовательный порт");

    // Another program's lock shows at the next refresh.
    const int other = open(pty.path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    ASSERT_EQ(flock(other, LOCK_EX | LOCK_NB), 0);
    dialog.Refresh();
    EXPECT_EQ(Text(dialog.StateLabel(1)), "занят другой программой (settings_tests)");
    close(other);

    const PortMapping edited = dialog.Mapping();
    EXPECT_EQ(edited[0], pty.path);
    EXPECT_EQ(edited[1], "/dev/null");
    EXPECT_EQ(edited[2], "");

    EXPECT_EQ(TPortsDialog::StateText({MoreCOM::PortState::NotPermitted, "dialout"}),
              "нет доступа: добавьте пользователя в группу dialout");
    EXPECT_EQ(TPortsDialog::StateText({MoreCOM::PortState::Held, ""}), "занят другой программой");
    EXPECT_EQ(TPortsDialog::StateText({MoreCOM::PortState::Console, ""}), "системная консоль");
}

TEST_F(PortsTest, TheButtonSitsLeftOfCloseAndTheOtherControlsKeepTheirPlaces)
{
    TFormSetup &f = Create();
    EXPECT_EQ(f.BtnPorts->text(), "Порты");
    EXPECT_EQ(f.BtnClose->geometry(), QRect(144, 314, 75, 25));
    EXPECT_EQ(f.SG2->geometry(), QRect(8, 80, 272, 228));
    const QRect ports = f.BtnPorts->geometry();
    EXPECT_LT(ports.right(), f.BtnClose->geometry().left());
    EXPECT_GE(ports.left(), 0);
    EXPECT_GT(ports.top(), f.SG2->geometry().bottom());
    EXPECT_LE(ports.bottom(), f.height());
}

// Only the entries the operator changed are written, when the setup window closes; an
// entry something else changed meanwhile (a simulator started) is kept.
TEST_F(PortsTest, ChangedEntriesAreSavedWhenTheSetupWindowCloses)
{
    {
        IniStore ini(path_);
        ASSERT_TRUE(ini.WriteStrings("PORTS", {{"COM1", "/dev/a"}, {"COM2", "/dev/b"}}));
    }
    TFormSetup &f = Create();
    PortMapping seen;
    f.EditPorts = [&](const PortMapping &m) -> std::optional<PortMapping> {
        seen = m;
        PortMapping edited = m;
        edited[1] = "/dev/c";
        edited[2] = "/dev/d";
        return edited;
    };
    f.show();
    f.BtnPorts->click();
    EXPECT_EQ(seen[0], "/dev/a");
    EXPECT_EQ(seen[1], "/dev/b");
    EXPECT_EQ(Ports("COM2"), "/dev/b") << "nothing is written before the window closes";
    ASSERT_TRUE(IniStore(path_).WriteString("PORTS", "COM1", "/dev/sim"));
    // Opening the dialog again shows the file as it is now, with the unsaved changes on top.
    f.EditPorts = [&](const PortMapping &m) -> std::optional<PortMapping> {
        seen = m;
        return std::nullopt; // cancelled
    };
    f.BtnPorts->click();
    EXPECT_EQ(seen[0], "/dev/sim");
    EXPECT_EQ(seen[1], "/dev/c");
    f.BtnClose->click();

    EXPECT_EQ(Ports("COM1"), "/dev/sim");
    EXPECT_EQ(Ports("COM2"), "/dev/c");
    EXPECT_EQ(Ports("COM3"), "/dev/d");
    EXPECT_EQ(Ports("COM4"), "(none)");
    EXPECT_EQ(MoreCOM::PortPath(2), "/dev/c");

    // Closing again without using the dialog leaves the section alone.
    ASSERT_TRUE(IniStore(path_).WriteString("PORTS", "COM2", "/dev/e"));
    f.show();
    f.BtnClose->click();
    EXPECT_EQ(Ports("COM2"), "/dev/e");
}

// The real dialog, run modally by the button, answered by a timer.
TEST_F(PortsTest, TheButtonRunsTheModalDialog)
{
    TFormSetup &f = Create();
    f.show();
    bool answered = false;
    QTimer answer;
    answer.setInterval(5);
    QObject::connect(&answer, &QTimer::timeout, [&] {
        auto *dialog = qobject_cast<TPortsDialog *>(QApplication::activeModalWidget());
        if (!dialog)
            return;
        dialog->PortBox(5)->setEditText("/dev/ttyUSB5");
        answered = true;
        dialog->BtnOk->click();
    });
    answer.start();
    f.BtnPorts->click();
    answer.stop();
    ASSERT_TRUE(answered);
    f.BtnClose->click();
    EXPECT_EQ(Ports("COM5"), "/dev/ttyUSB5");
    EXPECT_EQ(MoreCOM::PortPath(5), "/dev/ttyUSB5");
}
