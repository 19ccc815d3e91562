#include "formsetup.h"

#include "inttext.h"
#include "portsdialog.h"
#include "settings.h"
#include "textgrid.h"
#include "windowplacement.h"

#include <QComboBox>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>

#include <algorithm>
#include <climits>
#include <cstdint>

namespace
{

constexpr int MinCom = 1;
constexpr int MaxCom = 12;
const QString CellPrefix = QStringLiteral("    ");

bool ParseQText(const QString &text, int32_t &value)
{
    return ParseIntText(text.toStdString(), value);
}

} // namespace

// --- TNumberEdit --------------------------------------------------------------

TNumberEdit::TNumberEdit(QWidget *parent) : QAbstractSpinBox(parent)
{
    setButtonSymbols(QAbstractSpinBox::UpDownArrows);
    connect(lineEdit(), &QLineEdit::textChanged, this, [this] {
        update(); // the arrows' enabled state follows the text
        emit Changed();
    });
}

void TNumberEdit::SetMaxLength(int n)
{
    lineEdit()->setMaxLength(n);
}

int TNumberEdit::Value() const
{
    int32_t v = 0;
    return ParseQText(Text(), v) ? v : min_;
}

void TNumberEdit::SetValue(int v)
{
    SetText(QString::number(CheckValue(v)));
}

QString TNumberEdit::Text() const
{
    return lineEdit()->text();
}

void TNumberEdit::SetText(const QString &text)
{
    if (lineEdit()->text() != text)
        lineEdit()->setText(text);
}

int TNumberEdit::CheckValue(int v) const
{
    if (max_ != min_)
        v = std::clamp(v, min_, max_);
    return v;
}

void TNumberEdit::stepBy(int steps)
{
    const int64_t v = static_cast<int64_t>(Value()) + steps;
    SetValue(static_cast<int>(std::clamp<int64_t>(v, INT32_MIN, INT32_MAX)));
}

// Typing is limited to digits and signs; the change handler decides what the text means.
QValidator::State TNumberEdit::validate(QString &input, int &) const
{
    for (QChar c : input)
        if (!c.isDigit() && c != u'+' && c != u'-')
            return QValidator::Invalid;
    return QValidator::Acceptable;
}

QAbstractSpinBox::StepEnabled TNumberEdit::stepEnabled() const
{
    if (isReadOnly())
        return StepNone;
    const int v = Value();
    StepEnabled e = StepNone;
    if (v < max_)
        e |= StepUpEnabled;
    if (v > min_)
        e |= StepDownEnabled;
    return e;
}

// --- TFormSetup -------------------------------------------------------------

TFormSetup::TFormSetup(QComboBox *boxSpeed, std::function<void()> boxSpeedChange, TTextGrid *sg,
                       QWidget *parent)
    : QDialog(parent), boxSpeed_(boxSpeed), boxSpeedChange_(std::move(boxSpeedChange)), sg_(sg)
{
    setObjectName(QStringLiteral("FormSetup"));
    setWindowTitle(QStringLiteral("  Настройка"));
    setWindowFlags(Qt::Dialog | Qt::CustomizeWindowHint | Qt::WindowTitleHint |
                   Qt::MSWindowsFixedSizeDialogHint);
    setFixedSize(289, 346);
    QFont plain(QStringLiteral("MS Sans Serif"));
    plain.setPixelSize(13);
    setFont(plain);
    QFont bold = plain;
    bold.setBold(true);

    Label1 = new QLabel(QStringLiteral("Количество точек"), this);
    Label1->setObjectName(QStringLiteral("Label1"));
    Label1->setGeometry(16, 13, 124, 16);

    EdChan = new TNumberEdit(this);
    EdChan->setObjectName(QStringLiteral("EdChan"));
    EdChan->setGeometry(152, 8, 57, 26);
    EdChan->setFont(bold);
    EdChan->SetMinValue(1);
    EdChan->SetMaxValue(MaxPoints);
    EdChan->SetMaxLength(3);
    EdChan->SetValue(1);

    Label2 = new QLabel(QStringLiteral("Пауза, сек."), this);
    Label2->setObjectName(QStringLiteral("Label2"));
    Label2->setGeometry(16, 48, 72, 16);
    // Labels size themselves to their text, so a wider substitute font is not cut.
    for (QLabel *l : {Label1, Label2})
        l->resize(std::max(l->width(), l->sizeHint().width()), l->height());

    EdPause = new TNumberEdit(this);
    EdPause->setObjectName(QStringLiteral("EdPause"));
    EdPause->setGeometry(152, 40, 57, 26);
    EdPause->setFont(bold);
    EdPause->SetMinValue(MinPauseSec);
    EdPause->SetMaxValue(MaxPauseSec);
    EdPause->SetMaxLength(5);
    EdPause->SetValue(1);

    SG2 = new TTextGrid(this);
    SG2->setObjectName(QStringLiteral("SG2"));
    SG2->setGeometry(8, 80, 272, 228);
    SG2->setFont(bold);
    SG2->SetColCount(4);
    SG2->SetDefaultColWidth(60);
    SG2->SetDefaultRowHeight(24);
    SG2->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    SG2->setVerticalScrollBarPolicy(Qt::ScrollBarAsNeeded);
    SG2->SetAlwaysShowEditor(true);
    SG2->SetRowMoving(true);
    SG2->SetDrawFocusSelected(true);

    BtnClose = new QPushButton(QStringLiteral("Закрыть"), this);
    BtnClose->setObjectName(QStringLiteral("BtnClose"));
    BtnClose->setGeometry(144, 314, 75, 25);
    BtnClose->setAutoDefault(false);

    // In the free space left of "Закрыть".
    BtnPorts = new QPushButton(QStringLiteral("Порты"), this);
    BtnPorts->setObjectName(QStringLiteral("BtnPorts"));
    BtnPorts->setGeometry(64, 314, 75, 25);
    BtnPorts->setAutoDefault(false);
    EditPorts = [this](const PortMapping &mapping) -> std::optional<PortMapping> {
        TPortsDialog dialog(mapping, this);
        if (dialog.exec() != QDialog::Accepted)
            return std::nullopt;
        return dialog.Mapping();
    };

    setTabOrder(BtnClose, EdChan);
    setTabOrder(EdChan, SG2);
    setTabOrder(SG2, EdPause);

    connect(EdChan, &TNumberEdit::Changed, this, &TFormSetup::EdChanChange);
    connect(EdPause, &TNumberEdit::Changed, this, &TFormSetup::EdPauseChange);
    connect(SG2, &TTextGrid::cellTextSet, this, &TFormSetup::SG2SetEditText);
    connect(BtnClose, &QPushButton::clicked, this, &TFormSetup::BtnCloseClick);
    connect(BtnPorts, &QPushButton::clicked, this, &TFormSetup::BtnPortsClick);

    FormCreate();
}

TFormSetup::~TFormSetup() = default;

void TFormSetup::FormCreate()
{
    SG2->SetCells(0, 0, QStringLiteral(" Точка"));
    SG2->SetCells(1, 0, QStringLiteral(" COM"));
    SG2->SetCells(2, 0, QStringLiteral("Прибор"));
    SG2->SetCells(3, 0, QStringLiteral(" Канал"));

    const int current = boxSpeed_ != nullptr ? boxSpeed_->currentIndex() : DefaultSpeedIndex;
    const int speed = LoadSettingsFile(current);
    LoadPortPaths();
    if (boxSpeed_ != nullptr)
        boxSpeed_->setCurrentIndex(speed);

    // Setting a spin edit clamps the value; a changed text runs the change handler,
    // which stores the value. The explicit calls cover an unchanged text.
    EdPause->SetValue(PauseSec);
    EdPauseChange();
    EdChan->SetValue(NumPoints);
    EdChanChange();

    if (sg_ != nullptr)
        sg_->setVisible(true);
    if (boxSpeedChange_)
        boxSpeedChange_();
}

void TFormSetup::EdChanChange()
{
    int32_t v = 0;
    if (!ParseQText(EdChan->Text(), v) || v < EdChan->MinValue() || v > EdChan->MaxValue())
        EdChan->SetValue(NumPoints); // rewrites the text and runs this handler again
    else
        NumPoints = v;

    const int count = std::clamp<int32_t>(NumPoints, 1, MaxPoints);
    SG2->ResetRowOrder();
    SG2->SetRowCount(count + 1);
    if (sg_ != nullptr)
        sg_->SetRowCount(count + 1);
    for (int i = 1; i <= count; ++i) {
        const PointEntry &e = PointTable[static_cast<std::size_t>(i - 1)];
        const QString num = QString::number(i);
        SG2->SetCells(0, i, CellPrefix + num);
        SG2->SetCells(1, i, CellPrefix + QString::number(e.Com));
        SG2->SetCells(2, i, CellPrefix + QString::number(e.Address));
        SG2->SetCells(3, i, CellPrefix + QString::number(e.Channel));
        if (sg_ != nullptr)
            sg_->SetCells(0, i, QStringLiteral("   ") + num);
    }
}

void TFormSetup::EdPauseChange()
{
    int32_t v = 0;
    if (!ParseQText(EdPause->Text(), v) || v < EdPause->MinValue() || v > EdPause->MaxValue())
        EdPause->SetValue(PauseSec);
    else
        PauseSec = v;
}

void TFormSetup::SG2SetEditText(int col, int row)
{
    if (col < 1 || col > 3 || row < 1 || row > NumPoints || row > MaxPoints)
        return;
    const QString text = SG2->Cells(col, row);
    // An empty cell keeps the table's value, so a cell can be cleared before typing.
    if (text.isEmpty())
        return;
    PointEntry &e = PointTable[static_cast<std::size_t>(row - 1)];
    uint8_t &field = col == 1 ? e.Com : col == 2 ? e.Address : e.Channel;
    const int lo = col == 1 ? MinCom : 0;
    const int hi = col == 1 ? MaxCom : 255;
    int32_t v = 0;
    if (!ParseQText(text, v) || v < lo || v > hi)
        SG2->SetCells(col, row, CellPrefix + QString::number(field));
    else
        field = static_cast<uint8_t>(v);
}

void TFormSetup::BtnCloseClick()
{
    close();
}

// The dialog starts from the file as it is now (a simulator may have changed it) with the
// operator's unsaved changes on top; only entries the operator changes are written later,
// so entries changed meanwhile by others are kept.
void TFormSetup::BtnPortsClick()
{
    PortMapping shown = LoadPortMapping();
    for (const auto &[com, path] : portChanges_)
        shown[static_cast<std::size_t>(com - 1)] = path;
    const std::optional<PortMapping> edited = EditPorts ? EditPorts(shown) : std::nullopt;
    if (!edited)
        return;
    for (int com = 1; com <= MappedComPorts; ++com) {
        const std::string &path = (*edited)[static_cast<std::size_t>(com - 1)];
        if (path != shown[static_cast<std::size_t>(com - 1)])
            portChanges_[com] = path;
    }
}

void TFormSetup::FormClose()
{
    hide();
    SaveSettingsFile();
    if (!portChanges_.empty()) {
        SavePortPaths({portChanges_.begin(), portChanges_.end()});
        portChanges_.clear();
        LoadPortPaths();
    }
}

// Every way of closing (close button, Escape, the window system) ends here.
void TFormSetup::done(int result)
{
    const bool wasVisible = isVisible();
    QDialog::done(result);
    if (wasVisible)
        FormClose();
}

void TFormSetup::showEvent(QShowEvent *event)
{
    // Centred every time it opens, the same way (before the window system shows it).
    CentreOnScreen(this);
    QDialog::showEvent(event);
    BtnClose->setFocus();
}
