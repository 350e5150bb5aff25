// The settings dialog: the input and output devices and the recording sample rate, applied to
// the devices and the settings values when confirmed.
#pragma once

#include <QDialog>

class QComboBox;
class QLabel;
class QPushButton;
class TDIBImageContainer;
class TfrmMain;

class TfrmDevice : public QDialog {
 public:
  // Owned by the main window; shown without being modal; frees itself when closed.
  explicit TfrmDevice(TfrmMain* main);
  ~TfrmDevice() override;

  void FormShow();
  void btnOKClick();
  void btnCloseClick();

  TDIBImageContainer* DIBImageContainer1;
  QLabel* Label1;
  QComboBox* cmbInputDevice;
  QLabel* Label2;
  QComboBox* cmbOutputDevice;
  QLabel* Label3;
  QComboBox* cmbSample;
  QPushButton* btnOK;
  QPushButton* btnClose;

 protected:
  void showEvent(QShowEvent* event) override;

 private:
  TfrmMain* FMain;
};

// Reads a whole decimal integer; throws EConvertError "'TEXT' is not a valid integer value".
int32_t StrToInt(const std::string& text);
