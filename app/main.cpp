// ptk71: start-up in a fixed order. The automation runtime comes first (the archive
// needs it), then the chart's font names are mapped to installed fonts, then the main
// window, then the hidden setup window whose creation loads the settings file and
// therefore needs the main window. At the end the archive's object references are
// released before the automation runtime goes.
#include "automation.h"
#include "canvas.h"
#include "excelarchive.h"
#include "excelserver.h"
#include "form1.h"
#include "formsetup.h"

#include <QApplication>

int main(int argc, char **argv)
{
    // The window is laid out in pixels and is not scaled to the screen's resolution.
    if (!qEnvironmentVariableIsSet("QT_ENABLE_HIGHDPI_SCALING"))
        qputenv("QT_ENABLE_HIGHDPI_SCALING", "0");
    QApplication app(argc, argv);

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
        form1.show();
        result = app.exec();
        form1.FormSetup = nullptr;
        RegisterExcelServer(); // the window is going: nothing may reach it any more
    }

    ReleaseArchive();
    AutomationShutdown();
    return result;
}
