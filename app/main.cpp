// ptk71: start-up in a fixed order. The settings file's location is fixed first, then the
// automation runtime comes (the archive needs it), then the chart's font names are mapped
// to installed fonts, then the main window, then the hidden setup window whose creation
// loads the settings file and therefore needs the main window. At the end the archive's
// object references are released before the automation runtime goes.
//
// The only command-line options are --help and --version (configuration stays in the
// settings file); the toolkit's own options (-platform, -display, ...) still work.
#include "automation.h"
#include "canvas.h"
#include "excelarchive.h"
#include "excelserver.h"
#include "form1.h"
#include "formsetup.h"
#include "settingspath.h"

#include <QApplication>
#include <QSocketNotifier>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <string>
#include <sys/socket.h>
#include <unistd.h>

#ifndef PTK71_VERSION
#define PTK71_VERSION "unknown"
#endif
#ifndef PTK71_APP_ID
#define PTK71_APP_ID "ptk71"
#endif

namespace
{

void PrintHelp()
{
    std::printf("Usage: ptk71 [--help | --version]\n"
                "\n"
                "Polls measuring instruments on serial (RS-485/RS-232) lines, shows every\n"
                "reading in a table and on a chart, and can append every polling pass to an\n"
                ".xlsx workbook.\n"
                "\n"
                "  -h, --help     show this help and exit\n"
                "  -V, --version  show the version and exit\n"
                "\n"
                "Everything else is set in the program's windows and kept in its settings\n"
                "file: the executable's path with \".ini\" when that file exists or the\n"
                "executable's folder is writable (never below /usr or /bin), otherwise\n"
                "$XDG_CONFIG_HOME/ptk71/ptk71.ini (default ~/.config/ptk71/ptk71.ini).\n"
                "COM ports are mapped to devices in its section [PORTS], for example\n"
                "COM1=/dev/ttyUSB0. This program's settings file:\n"
                "  %s\n"
                "\n"
                "See ptk71(1) and ptk71-sim(1).\n",
                CurrentSettingsLocation().path.c_str());
}

// Whether argv[i] is one of the toolkit's own options (QApplication takes those out of argv),
// and how many arguments it takes, so unknown arguments are refused before the toolkit is
// started: without a display it would end the program before the refusal could be printed.
int ToolkitOptionLength(const char *arg)
{
    std::string name = arg;
    if (name.rfind("--", 0) == 0)
        name.erase(0, 1);
    if (name.rfind("-qmljsdebugger=", 0) == 0)
        return 1;
    for (const char *withValue :
         {"-platform", "-platformpluginpath", "-platformtheme", "-plugin", "-qwindowgeometry",
          "-qwindowicon", "-qwindowtitle", "-session", "-style", "-stylesheet", "-display",
          "-geometry", "-title", "-name", "-visual", "-ncols", "-cmap"}) {
        if (name == withValue)
            return 2;
        if (name.rfind(std::string(withValue) + "=", 0) == 0)
            return 1;
    }
    for (const char *flag : {"-reverse", "-widgetcount", "-nograb", "-dograb", "-sync"})
        if (name == flag)
            return 1;
    return 0;
}

// Answers --help and --version and refuses unknown arguments. Returns the exit status, or -1
// when the program is to run.
int HandleOptions(int argc, char **argv)
{
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--help") == 0 || std::strcmp(argv[i], "-h") == 0) {
            PrintHelp();
            return 0;
        }
        if (std::strcmp(argv[i], "--version") == 0 || std::strcmp(argv[i], "-V") == 0) {
            std::printf("ptk71 %s\n", PTK71_VERSION);
            return 0;
        }
    }
    for (int i = 1; i < argc;) {
        const int n = ToolkitOptionLength(argv[i]);
        if (n == 0) {
            std::fprintf(stderr, "ptk71: unknown argument '%s'\nTry 'ptk71 --help'.\n", argv[i]);
            return 2;
        }
        i += n;
    }
    return -1;
}

// SIGTERM, SIGINT and SIGHUP (logout, shutdown, Ctrl+C in a terminal) close the main window
// as its close button does: a run stops after the current exchange, the workbook is saved
// and closed, the speed is saved. A second signal ends the program at once.
int SignalPipe[2] = {-1, -1};

void OnTerminationSignal(int signal)
{
    std::signal(signal, SIG_DFL);
    const char byte = 1;
    [[maybe_unused]] ssize_t n = ::write(SignalPipe[1], &byte, 1);
}

void CloseOnTerminationSignals(QWidget &window)
{
    if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, SignalPipe) != 0)
        return;
    auto *notifier = new QSocketNotifier(SignalPipe[0], QSocketNotifier::Read, &window);
    QObject::connect(notifier, &QSocketNotifier::activated, &window, [&window, notifier] {
        char byte;
        [[maybe_unused]] ssize_t n = ::read(SignalPipe[0], &byte, 1);
        notifier->setEnabled(false);
        window.close();
    });
    struct sigaction action {
    };
    action.sa_handler = OnTerminationSignal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    for (int s : {SIGTERM, SIGINT, SIGHUP})
        ::sigaction(s, &action, nullptr);
}

} // namespace

int main(int argc, char **argv)
{
    // Fixed now: replacing the executable while the program runs must not move the file.
    CurrentSettingsLocation();
    if (const int status = HandleOptions(argc, argv); status >= 0)
        return status;

    // The window is laid out in pixels and is not scaled to the screen's resolution.
    if (!qEnvironmentVariableIsSet("QT_ENABLE_HIGHDPI_SCALING"))
        qputenv("QT_ENABLE_HIGHDPI_SCALING", "0");
    QApplication app(argc, argv);
    // Lets the desktop match the window to the installed desktop entry (and its icon).
    QGuiApplication::setDesktopFileName(QStringLiteral(PTK71_APP_ID));
    QCoreApplication::setApplicationVersion(QStringLiteral(PTK71_VERSION));
    // The toolkit has taken its own options out of argv; anything left is unknown.
    if (argc > 1) {
        std::fprintf(stderr, "ptk71: unknown argument '%s'\nTry 'ptk71 --help'.\n", argv[1]);
        return 2;
    }

    AutomationStartup();
    InstallChartFontSubstitutions();

    int result = 0;
    {
        TForm1 form1;
        // The workbook server stands behind "Excel.Application"; when its window is closed by
        // hand, the "show" box is unticked.
        RegisterExcelServer({.viewerClosedByUser = [&form1] { form1.ExcelWindowClosed(); }});
        TFormSetup formSetup(
            form1.BoxSpeed, [&form1] { form1.BoxSpeedChange(); }, form1.SG, &form1);
        form1.FormSetup = &formSetup;
        CloseOnTerminationSignals(form1);
        form1.show();
        result = app.exec();
        form1.FormSetup = nullptr;
        RegisterExcelServer(); // the window is going: nothing may reach it any more
    }

    ReleaseArchive();
    AutomationShutdown();
    return result;
}
