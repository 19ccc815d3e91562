#pragma once
// The modal setup window: point count, pause and the point table.
//
// Created once, hidden, right after the main window; its constructor runs FormCreate,
// which loads the settings file (and the COM-port mapping), selects the saved speed in
// the main window's speed list, calls the main window's speed change handler, builds the
// setup grid and the main window's readings grid and makes the readings grid visible.
// Every edit takes effect in the variables of settings.h at once; closing the window
// (close button, Escape, or the window system) hides it and writes the settings file.
// "Порты" opens the port mapping dialog; the entries changed there are written into the
// "PORTS" section when this window closes, with the other settings.

#include "settings.h"

#include <QAbstractSpinBox>
#include <QDialog>
#include <functional>
#include <map>
#include <optional>
#include <string>

class QComboBox;
class QLabel;
class QPushButton;
class TTextGrid;

/// A numeric edit with up/down buttons. Its text is free (digits and signs, up to the
/// maximum length) so the change handler sees exactly what the operator typed; Value()
/// reads the text by the integer text rule (MinValue() when that fails) and SetValue()
/// brings the value into MinValue()..MaxValue() before writing it as decimal text.
/// `Changed` is emitted on every change of the text, typed or set.
class TNumberEdit : public QAbstractSpinBox
{
    Q_OBJECT
  public:
    explicit TNumberEdit(QWidget *parent = nullptr);

    int MinValue() const { return min_; }
    int MaxValue() const { return max_; }
    void SetMinValue(int v) { min_ = v; }
    void SetMaxValue(int v) { max_ = v; }
    void SetMaxLength(int n);

    int Value() const;
    void SetValue(int v);
    QString Text() const;
    void SetText(const QString &text);

    void stepBy(int steps) override;
    QValidator::State validate(QString &input, int &pos) const override;

  signals:
    void Changed();

  protected:
    StepEnabled stepEnabled() const override;

  private:
    int CheckValue(int v) const;
    int min_ = 0;
    int max_ = 0;
};

class TFormSetup : public QDialog
{
    Q_OBJECT
  public:
    /// `boxSpeed`, `boxSpeedChange` and `sg` belong to the main window and must outlive
    /// this window; none is owned.
    TFormSetup(QComboBox *boxSpeed, std::function<void()> boxSpeedChange, TTextGrid *sg,
               QWidget *parent = nullptr);
    ~TFormSetup() override;

    QLabel *Label1 = nullptr;
    TNumberEdit *EdChan = nullptr;
    QLabel *Label2 = nullptr;
    TNumberEdit *EdPause = nullptr;
    TTextGrid *SG2 = nullptr;
    QPushButton *BtnClose = nullptr;
    QPushButton *BtnPorts = nullptr;

    /// Lets the operator edit the port mapping starting from the one given; nullopt when
    /// cancelled. Replaceable for tests; the default runs the modal TPortsDialog.
    std::function<std::optional<PortMapping>(const PortMapping &)> EditPorts;

    void FormCreate();
    void EdChanChange();
    void EdPauseChange();
    void SG2SetEditText(int col, int row);
    void BtnCloseClick();
    void BtnPortsClick();
    void FormClose();

    void done(int result) override;

  protected:
    void showEvent(QShowEvent *event) override;

  private:
    QComboBox *boxSpeed_;
    std::function<void()> boxSpeedChange_;
    TTextGrid *sg_;
    /// Port mapping entries the operator changed (COM number -> path), not yet saved.
    std::map<int, std::string> portChanges_;
};
