// The program's window: the two audio chains, the skinned transport (monitor, play, record,
// stop) with its lamps and labels, the file dialogs, the settings loaded at start and saved at
// the end, and the settings button.
#pragma once

#include <QImage>
#include <QPointer>
#include <QWidget>
#include <string>
#include <vector>

#include "app/settings.h"
#include "platform/component/component.h"

class QCheckBox;
class QLabel;
class QPushButton;
class TMMFloatNumberEdit;
class TMMSlider;
class TSpinButton;
class TMMConnector;
class TMMHiTimer;
class TMMLEDDigit;
class TMMLEDPanel;
class TMMLevel;
class TMMLevelScale;
class TMMMeter;
class TMMSpectrum;
class TDIBGlyphButton;
class TDIBImageContainer;
class TDIBImageList;
class TMMPlayChain;
class TMMRecordChain;
class TMMRingBuffer;
class TMMWaveFile;
class TMMWaveIn;
class TMMWaveOut;
class TfrmDevice;

class TfrmMain : public QWidget, public TComponent {
 public:
  // `executablePath` places the settings file.
  explicit TfrmMain(const std::string& executablePath = ExecutablePath());
  ~TfrmMain() override;

  // The handlers of the window.
  void FormCreate();
  void FormClose();
  void btnMoniClick(TObject* Sender);
  void btnPlayClick(TObject* Sender);
  void btnRecClick(TObject* Sender);
  void btnStopClick(TObject* Sender);
  void btnSettingClick();
  void DeviceStart(TObject* Sender);
  void DeviceStop(TObject* Sender);
  void Timer1Timer(TObject* Sender);
  void PeakTimerTimer(TObject* Sender);
  void editLRefChange(TObject* Sender);
  void editRRefChange(TObject* Sender);
  void SpinLUpClick(TObject* Sender);
  void SpinLDownClick(TObject* Sender);
  void SpinRUpClick(TObject* Sender);
  void SpinRDownClick(TObject* Sender);
  void MMSlider1Change(TObject* Sender);
  // Lights the clip mark of each bar whose channel clipped since it was last looked at, from
  // the counts of the connector of the chain that runs (or ran).
  void ShowClips(TMMConnector* Connector);
  // Both meters take the face that the picture `index` holds (0 blue, 1 orange, 2 yellow).
  void MeterFaceClick(int index);

  // The suggested name of a recording made now: local date and time, "yyyymmddhhnnss.wav".
  static std::string DatedFileName();
  // The folder the save dialog opens in: the last take's, else the user's music folder, else
  // the home folder.
  std::string TakeFolder() const;
  // The notice line under the instruments.
  void SetNotice(const std::string& text);

  bool Playing = false;
  bool Recording = false;
  bool Monitoring = false;
  std::vector<std::string> InputNames;
  std::vector<std::string> OutputNames;
  TSettingsStore Settings;

  // The two chains, and their parts.
  TMMRecordChain* RecordChain;
  TMMPlayChain* PlayChain;
  TMMWaveIn* WaveIn;
  TMMRingBuffer* RecBuffer;
  TMMWaveFile* RecFile;
  TMMWaveFile* PlayFile;
  TMMRingBuffer* PlayBuffer;
  TMMWaveOut* WaveOut;
  // The taps of both chains: they show what passes on the instruments.
  TMMConnector* ConnectorIN;
  TMMConnector* ConnectorOut;
  // The read-outs' timers: the elapsed time every 50 ms, the peak every 500 ms.
  TMMHiTimer* Timer1;
  TMMHiTimer* PeakTimer;

  // The controls.
  TDIBImageList* ImageList;
  TDIBImageContainer* DIBImageContainer1;
  QLabel* lblFileName;
  QLabel* lblInput;
  QLabel* lblOutput;
  QLabel* lblSample;
  TDIBGlyphButton* btnRecLED;
  TDIBGlyphButton* btnPlayLED;
  TDIBGlyphButton* btnMoniLED;
  TDIBGlyphButton* btnMoni;
  TDIBGlyphButton* btnPlay;
  TDIBGlyphButton* btnRec;
  TDIBGlyphButton* btnStop;
  QLabel* Label6;
  QLabel* Image1;
  QLabel* MMLabel1;
  QLabel* Label7;
  QLabel* Label8;
  QLabel* Label9;
  QPushButton* btnSetting;
  TMMMeter* MMMeter1;
  TMMMeter* MMMeter2;
  TMMLevel* MMLevel1;
  TMMLevel* MMLevel2;
  TMMLevelScale* MMLevelScale1;
  TMMSpectrum* MMSpectrum1;
  // The elapsed time h:mm:ss.mmm, and the peak in dB under full scale behind a minus sign.
  TMMLEDPanel* LEDHour;
  TMMLEDPanel* LEDMin;
  TMMLEDPanel* LEDSec;
  TMMLEDPanel* LEDMSec;
  TMMLEDDigit* MMLEDDigit1;
  TMMLEDDigit* MMLEDDigit2;
  TMMLEDDigit* MMLEDDigit3;
  TMMLEDDigit* MMLEDDigit4;
  TMMLEDPanel* LEDPeak;
  // The reference levels of the two meters, stepped by 0.1 dB, both at once with "Both".
  QLabel* Label4;
  TMMFloatNumberEdit* editLRef;
  TSpinButton* SpinL;
  QLabel* Label5;
  TMMFloatNumberEdit* editRRef;
  TSpinButton* SpinR;
  QCheckBox* cbBoth;
  QLabel* Label3;
  // The phase scope's zoom; hidden, set from the settings only.
  TMMSlider* MMSlider1;
  QLabel* Label1;
  QLabel* Label2;
  // The three face pictures beside METER FACE: blue, orange, yellow; and the faces they stand
  // for.
  QLabel* MeterFacePct[3];
  QImage MeterFaces[3];
  // The settings dialog while it is open.
  QPointer<TfrmDevice> frmDevice;

  // The device labels, as the settings dialog also writes them.
  void ShowDeviceNames();

 protected:
  void closeEvent(QCloseEvent* event) override;

 private:
  void CreateComponents();
  void CreateControls();
  void CreateInstruments();
  void CreateReferenceControls();
  // A reference-level edit's change: its text with one decimal, then the meter and the setting.
  void RefChange(TMMFloatNumberEdit* edit, TMMMeter* meter, double& setting);
  // A click on a spin button; `both` moves the other edit along from the clicked one's level.
  void SpinClick(TMMFloatNumberEdit* clicked, TMMFloatNumberEdit* other, double step);
  QLabel* AddLabel(const char* text, int left, int top, const char* color);
  // Starts a device; when it fails, the window goes back to Idle and the error is reported.
  template <typename TDevice>
  void StartDevice(TDevice* device);

  // What the user is told once a recording has stopped: why it ended early, and the audio it
  // lost; empty when nothing went wrong.
  std::string RecordingReport();
  // The notice after a recording: where it went, how long and how large, and `report` (what
  // went wrong) in short.
  std::string SavedNotice(const std::string& report) const;
  // The last take's full name; empty before the first recording.
  std::string FLastTake;
  // The last take was just recorded: the next PLAY offers it.
  bool FOfferLastTake = false;
  // Shows a report after the handler that found it has returned; while the window closes, on
  // standard error instead, so that nothing waits for a person.
  void ShowReportLater(const std::string& text);
  bool FClosed = false;
  // The clipped samples per channel that the marks have shown this run; main thread.
  int64_t FClipsShown[2] = {0, 0};
};
