#pragma once
// The modal dialog of the setup window that maps COM1..COM12 to devices: per port an
// editable drop-down listing the serial devices present (stable /dev/serial/by-id names
// first) and the state of the path chosen (present, absent, no permission, held by
// another program), found without opening the device. The states are probed again every
// second while the dialog is shown, so a device plugged in meanwhile shows up.

#include "devices.h"
#include "settings.h"

#include <QDialog>
#include <array>
#include <functional>
#include <string>
#include <vector>

class QComboBox;
class QLabel;
class QPushButton;
class QTimer;

class TPortsDialog : public QDialog
{
    Q_OBJECT
  public:
    /// Lists the serial devices to offer; replaceable for tests.
    using DeviceLister = std::function<std::vector<std::string>()>;

    /// Starts from `mapping` (COM1..COM12; "" = no entry).
    explicit TPortsDialog(
        const PortMapping &mapping, QWidget *parent = nullptr,
        DeviceLister listDevices = [] { return MoreCOM::SerialDevices(); });

    /// The mapping as edited, each path trimmed of blanks.
    PortMapping Mapping() const;

    /// Drop-down and state label of COM port `com` (1..12).
    QComboBox *PortBox(int com) const { return boxes_[static_cast<std::size_t>(com - 1)]; }
    QLabel *StateLabel(int com) const { return states_[static_cast<std::size_t>(com - 1)]; }

    QPushButton *BtnOk = nullptr;
    QPushButton *BtnCancel = nullptr;

    /// Lists the devices again (keeping every typed text) and probes every port.
    void Refresh();

    /// The Russian text shown for a probe's result.
    static QString StateText(const MoreCOM::PortProbe &probe);

  protected:
    void showEvent(QShowEvent *event) override;
    void hideEvent(QHideEvent *event) override;

  private:
    void ShowState(int com);
    void FillDevices();

    DeviceLister listDevices_;
    std::vector<std::string> devices_;
    std::array<QComboBox *, MappedComPorts> boxes_{};
    std::array<QLabel *, MappedComPorts> states_{};
    QTimer *refresh_ = nullptr;
};
