#include "portsdialog.h"

#include "morecom.h"

#include <QAbstractItemView>
#include <QComboBox>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QTimer>
#include <sys/stat.h>

namespace
{

constexpr int kRowTop = 36;
constexpr int kRowStep = 28;
constexpr int kLabelX = 12;
constexpr int kBoxX = 64;
constexpr int kBoxWidth = 330;
constexpr int kStateX = 404;
constexpr int kStateWidth = 340;
constexpr int kWidth = kStateX + kStateWidth + 12;
constexpr int kButtonsTop = kRowTop + MappedComPorts * kRowStep + 12;
constexpr int kHeight = kButtonsTop + 25 + 12;
constexpr int kRefreshMs = 1000;

std::string PathOf(const QComboBox *box, int com)
{
    const std::string typed = box->currentText().trimmed().toStdString();
    return typed.empty() ? MoreCOM::DefaultPortPath(com) : typed;
}

bool SameFile(const std::string &a, const std::string &b)
{
    struct stat sa {
    }, sb{};
    return ::stat(a.c_str(), &sa) == 0 && ::stat(b.c_str(), &sb) == 0 && sa.st_dev == sb.st_dev &&
           sa.st_ino == sb.st_ino;
}

} // namespace

TPortsDialog::TPortsDialog(const PortMapping &mapping, QWidget *parent, DeviceLister listDevices)
    : QDialog(parent), listDevices_(std::move(listDevices))
{
    setObjectName(QStringLiteral("PortsDialog"));
    setWindowTitle(QStringLiteral("  Порты"));
    setWindowFlags(Qt::Dialog | Qt::CustomizeWindowHint | Qt::WindowTitleHint |
                   Qt::WindowCloseButtonHint | Qt::MSWindowsFixedSizeDialogHint);
    setModal(true);
    setFixedSize(kWidth, kHeight);

    const struct {
        const char *text;
        int x;
    } headers[] = {{"Порт", kLabelX}, {"Устройство", kBoxX}, {"Состояние", kStateX}};
    for (const auto &h : headers) {
        auto *l = new QLabel(QString::fromUtf8(h.text), this);
        l->setGeometry(h.x, 10, 200, 18);
    }
    for (int com = 1; com <= MappedComPorts; ++com) {
        const int y = kRowTop + (com - 1) * kRowStep;
        auto *label = new QLabel(QStringLiteral("COM%1").arg(com), this);
        label->setGeometry(kLabelX, y + 3, kBoxX - kLabelX - 4, 18);

        auto *box = new QComboBox(this);
        box->setObjectName(QStringLiteral("BoxCOM%1").arg(com));
        box->setGeometry(kBoxX, y, kBoxWidth, 24);
        box->setEditable(true);
        box->setInsertPolicy(QComboBox::NoInsert);
        box->lineEdit()->setPlaceholderText(QString::fromStdString(MoreCOM::DefaultPortPath(com)));
        label->setBuddy(box);

        auto *state = new QLabel(this);
        state->setObjectName(QStringLiteral("StateCOM%1").arg(com));
        state->setGeometry(kStateX, y + 3, kStateWidth, 18);

        boxes_[static_cast<std::size_t>(com - 1)] = box;
        states_[static_cast<std::size_t>(com - 1)] = state;
    }
    FillDevices();
    for (int com = 1; com <= MappedComPorts; ++com) {
        QComboBox *box = PortBox(com);
        box->setEditText(QString::fromStdString(mapping[static_cast<std::size_t>(com - 1)]));
        // Every row: a changed path can make another row a duplicate or end one.
        connect(box, &QComboBox::editTextChanged, this, [this] {
            for (int c = 1; c <= MappedComPorts; ++c)
                ShowState(c);
        });
    }
    for (int com = 1; com <= MappedComPorts; ++com)
        ShowState(com);

    BtnOk = new QPushButton(QStringLiteral("OK"), this);
    BtnOk->setObjectName(QStringLiteral("BtnOk"));
    BtnOk->setGeometry(kWidth - 12 - 2 * 75 - 8, kButtonsTop, 75, 25);
    BtnOk->setDefault(true);
    BtnCancel = new QPushButton(QStringLiteral("Отмена"), this);
    BtnCancel->setObjectName(QStringLiteral("BtnCancel"));
    BtnCancel->setGeometry(kWidth - 12 - 75, kButtonsTop, 75, 25);
    connect(BtnOk, &QPushButton::clicked, this, &QDialog::accept);
    connect(BtnCancel, &QPushButton::clicked, this, &QDialog::reject);

    refresh_ = new QTimer(this);
    refresh_->setInterval(kRefreshMs);
    connect(refresh_, &QTimer::timeout, this, &TPortsDialog::Refresh);
}

PortMapping TPortsDialog::Mapping() const
{
    PortMapping mapping;
    for (int com = 1; com <= MappedComPorts; ++com)
        mapping[static_cast<std::size_t>(com - 1)] =
            PortBox(com)->currentText().trimmed().toStdString();
    return mapping;
}

void TPortsDialog::Refresh()
{
    FillDevices();
    for (int com = 1; com <= MappedComPorts; ++com)
        ShowState(com);
}

// Offers the devices present; a box keeps what it shows, and one whose list is open is
// left alone until it closes.
void TPortsDialog::FillDevices()
{
    std::vector<std::string> devices = listDevices_ ? listDevices_() : std::vector<std::string>{};
    if (devices == devices_ && boxes_[0]->count() == static_cast<int>(devices.size()))
        return;
    devices_ = std::move(devices);
    QStringList items;
    for (const std::string &d : devices_)
        items << QString::fromStdString(d);
    for (QComboBox *box : boxes_) {
        if (box->view()->isVisible())
            continue;
        const QString text = box->currentText();
        const QSignalBlocker block(box);
        box->clear();
        box->addItems(items);
        box->setEditText(text);
        box->view()->setMinimumWidth(box->view()->sizeHintForColumn(0) + 24);
    }
}

void TPortsDialog::ShowState(int com)
{
    QComboBox *box = PortBox(com);
    const std::string path = PathOf(box, com);
    const MoreCOM::PortProbe probe = MoreCOM::ProbePort(path);
    QString text = StateText(probe);
    // Two ports on one device: the second fails to open, as the first holds it.
    for (int other = 1; other <= MappedComPorts; ++other)
        if (other != com && probe.state != MoreCOM::PortState::Absent &&
            SameFile(PathOf(PortBox(other), other), path)) {
            text += QStringLiteral(", тот же, что COM%1").arg(other);
            break;
        }
    QLabel *state = StateLabel(com);
    state->setText(text);
    state->setToolTip(QString::fromStdString(path));
    QPalette pal = state->palette();
    pal.setColor(QPalette::WindowText,
                 probe.state == MoreCOM::PortState::Present ? Qt::darkGreen : Qt::darkRed);
    state->setPalette(pal);
    box->setToolTip(QString::fromStdString(path));
}

QString TPortsDialog::StateText(const MoreCOM::PortProbe &probe)
{
    const QString detail = QString::fromStdString(probe.detail);
    switch (probe.state) {
    case MoreCOM::PortState::Present:
        return QStringLiteral("есть");
    case MoreCOM::PortState::Absent:
        return QStringLiteral("нет устройства");
    case MoreCOM::PortState::NotPermitted:
        return QStringLiteral("нет доступа: добавьте пользователя в группу %1").arg(detail);
    case MoreCOM::PortState::Held:
        return detail.isEmpty() ? QStringLiteral("занят другой программой")
                                : QStringLiteral("занят другой программой (%1)").arg(detail);
    case MoreCOM::PortState::NotSerial:
        return QStringLiteral("не последовательный порт");
    case MoreCOM::PortState::Console:
        return QStringLiteral("системная консоль");
    }
    return {};
}

void TPortsDialog::showEvent(QShowEvent *event)
{
    QDialog::showEvent(event);
    Refresh();
    refresh_->start();
}

void TPortsDialog::hideEvent(QHideEvent *event)
{
    refresh_->stop();
    QDialog::hideEvent(event);
}
