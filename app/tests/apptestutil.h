// Shared fixture of the main-window tests: a settings file in a temporary folder, the
// instrument simulator on pseudo-terminals, and the two windows created in the program's
// order (main window, then the setup window that loads the settings).
#pragma once

#include "canvas.h"
#include "form1.h"
#include "formsetup.h"
#include "lineseries.h"
#include "morecom.h"
#include "panel.h"
#include "settings.h"
#include "simulator.h"
#include "textgrid.h"

#include <QCheckBox>
#include <QComboBox>
#include <QElapsedTimer>
#include <QPushButton>
#include <QTemporaryDir>
#include <QTimer>
#include <filesystem>
#include <fstream>
#include <functional>
#include <gtest/gtest.h>
#include <map>
#include <memory>
#include <string>
#include <vector>

/// One configured point: COM port, instrument address, channel.
struct TestPoint {
    int com;
    int address;
    int channel;
};

/// Number of descriptors of this process open on `path`.
inline int DescriptorsOpenOn(const std::string &path)
{
    namespace fs = std::filesystem;
    int count = 0;
    std::error_code ec;
    for (const auto &entry : fs::directory_iterator("/proc/self/fd", ec)) {
        std::error_code lec;
        const fs::path target = fs::read_symlink(entry.path(), lec);
        if (!lec && target == path)
            ++count;
    }
    return count;
}

class AppTest : public ::testing::Test
{
  protected:
    static void SetUpTestSuite() { InstallChartFontSubstitutions(); }

    void SetUp() override
    {
        ASSERT_TRUE(dir_.isValid());
        iniPath_ = dir_.filePath(QStringLiteral("ptk71.ini")).toStdString();
        SetSettingsFilePath(iniPath_);
    }

    void TearDown() override
    {
        setup.reset();
        form.reset();
        SetSettingsFilePath({});
        MoreCOM::ClearPortPaths();
        MoreCOM::StopFlag = 0;
    }

    /// Writes the settings file: the points, the pause and the COM port mapping.
    void WriteSettings(const std::vector<TestPoint> &points, int pauseSec,
                       const std::map<int, std::string> &ports)
    {
        std::ofstream out(iniPath_);
        out << "[PARAM]\nNum=" << points.size() << "\nPause=" << pauseSec << "\n";
        for (std::size_t i = 0; i < points.size(); ++i) {
            const std::size_t n = i + 1;
            out << "COMPribor" << n << "=" << points[i].com << "\nPribor" << n << "="
                << points[i].address << "\nChannel" << n << "=" << points[i].channel << "\n";
        }
        out << "[PORTS]\n";
        for (const auto &[com, path] : ports)
            out << "COM" << com << "=" << path << "\n";
    }

    /// Creates the main window, then the setup window (which loads the settings file), and
    /// shortens the reply timeout so that silent instruments cost little time.
    void CreateWindows(double replyTimeoutSec = 0.15)
    {
        form = std::make_unique<TForm1>();
        setup = std::make_unique<TFormSetup>(
            form->BoxSpeed, [f = form.get()] { f->BoxSpeedChange(); }, form->SG, form.get());
        form->FormSetup = setup.get();
        MoreCOM::ReplyTimeout = replyTimeoutSec / 86400.0;
    }

    /// Presses Start and keeps checking `stopWhen` every millisecond while the run dispatches
    /// events; presses Stop once it holds. Returns false when `limitMs` passed first.
    bool RunUntil(const std::function<bool()> &stopWhen, int limitMs = 8000)
    {
        QElapsedTimer clock;
        clock.start();
        bool timedOut = false;
        QTimer poll;
        poll.setInterval(1);
        QObject::connect(&poll, &QTimer::timeout, [&] {
            if (MoreCOM::StopFlag != 0)
                return;
            if (stopWhen()) {
                form->BtnStopClick();
            } else if (clock.elapsed() > limitMs) {
                timedOut = true;
                form->BtnStopClick();
            }
        });
        poll.start();
        form->BtnStartClick();
        poll.stop();
        return !timedOut;
    }

    int Points(int series) const { return form->SeriesOf(series)->PointCount(); }
    double LastY(int series) const
    {
        auto *s = form->SeriesOf(series);
        return s->YValueAt(s->PointCount() - 1);
    }
    QString Cell(int row) const { return form->SG->Cells(1, row); }

    /// True when every run input is enabled again and no port stays open.
    bool IdleAndClosed() const
    {
        for (const MoreCOM::PortEntry &e : MoreCOM::PortTable)
            if (e.open || e.handle != MoreCOM::NoHandle)
                return false;
        return !form->RunActive() && form->BtnStart->isEnabled() && form->BtnSetup->isEnabled() &&
               form->BoxSpeed->isEnabled() && form->EnExcel->isEnabled();
    }

    std::string iniPath_;
    sim::Simulator sim;
    std::unique_ptr<TForm1> form;
    std::unique_ptr<TFormSetup> setup;

  private:
    QTemporaryDir dir_;
};
