// The main window's side of the workbook archive: the archive reads the readings grid, the
// archiving tab's controls and writes the caption through the host installed here.
#include "form1.h"

#include "excelarchive.h"
#include "textgrid.h"

#include <QCheckBox>
#include <QCoreApplication>
#include <QLineEdit>

void TForm1::InstallArchiveHost()
{
    ArchiveHost host;
    host.readingText = [this](int point) { return SG->Cells(1, point); };
    host.enExcel = [this] { return EnExcel->isChecked(); };
    host.fileName = [this] { return FileName->text(); };
    host.excelVisible = [this] { return ExcelVisible->isChecked(); };
    host.setCaption = [this](const QString &caption) { setWindowTitle(caption); };
    host.processEvents = [] { QCoreApplication::processEvents(); };
    SetArchiveHost(std::move(host));
}

void TForm1::OpenExcel()
{
    ::OpenExcel();
}

void TForm1::SaveExcel()
{
    ::SaveExcel();
}

void TForm1::CloseExcel()
{
    ::CloseExcel();
}

void TForm1::ExcelVisibleClick()
{
    ::ExcelVisibleClick();
}

void TForm1::ExcelWindowClosed()
{
    ExcelVisible->setChecked(false);
}
