#include "instruments/graphic_control.h"

#include <cxxabi.h>

#include <QEvent>
#include <QPaintEvent>
#include <QPainter>
#include <QPointer>
#include <QScreen>
#include <QThread>
#include <QTimer>
#include <cstdlib>
#include <typeinfo>
#include <vector>

#include "platform/gdi/device_context.h"

namespace {

// The time between two display frames of the widget's screen (60 Hz when it is not known).
std::chrono::microseconds FrameInterval(const QWidget* widget) {
  const QScreen* screen = widget->screen();
  double rate = screen ? screen->refreshRate() : 0.0;
  if (!(rate >= 1.0 && rate <= 1000.0)) rate = 60.0;
  return std::chrono::microseconds(static_cast<long long>(1e6 / rate));
}

// One frame clock for all controls, on the main thread: the controls that have a new picture
// are shown together, at most once per display frame, by one timer, so that several
// instruments updated in the same moment cost one wake-up of the main thread, not one each.
class TFrameClock {
 public:
  static TFrameClock& Get() {
    static auto* clock = new TFrameClock;
    return *clock;
  }

  void Request(QWidget* control, std::atomic<bool>& pending) {
    FPending.push_back({control, &pending});
    const auto now = std::chrono::steady_clock::now();
    const auto due = FLast + FrameInterval(control);
    if (now >= due) {
      Show(now);
      return;
    }
    if (FTimerArmed) return;
    FTimerArmed = true;
    const auto wait = std::chrono::ceil<std::chrono::milliseconds>(due - now);
    QTimer::singleShot(wait, [this] {
      FTimerArmed = false;
      Show(std::chrono::steady_clock::now());
    });
  }

 private:
  struct TPending {
    QPointer<QWidget> Control;
    std::atomic<bool>* Flag;  // valid while Control lives
  };

  void Show(std::chrono::steady_clock::time_point now) {
    FLast = now;
    std::vector<TPending> pending;
    pending.swap(FPending);
    for (const TPending& p : pending) {
      if (!p.Control) continue;  // gone meanwhile
      *p.Flag = false;
      p.Control->update();
    }
  }

  std::vector<TPending> FPending;
  std::chrono::steady_clock::time_point FLast;
  bool FTimerArmed = false;
};

}  // namespace

TMMGraphicControl::TMMGraphicControl(TComponent* AOwner, QWidget* AParent)
    : QWidget(AParent), TComponent(AOwner), FBevel(std::make_unique<TMMBevel>()) {
  // The control paints every pixel of its area: nothing is erased under it first.
  setAttribute(Qt::WA_OpaquePaintEvent);
  FBevel->OnChange = [this](TObject* sender) { BevelChanged(sender); };
}

TMMGraphicControl::~TMMGraphicControl() {
  Destroying();
  FDirectTarget = false;
}

void TMMGraphicControl::SetColor(TColor value) {
  if (value == FColor) return;
  {
    std::lock_guard lock(FCanvasLock);
    FColor = value;
  }
  Invalidate();
}

int TMMGraphicControl::BevelExtend() const {
  return FBevel ? FBevel->BevelExtend() : 0;
}

TRect TMMGraphicControl::InnerRect() const {
  const int e = BevelExtend();
  return Rect(e, e, width() - e, height() - e);
}

void TMMGraphicControl::SetBounds(int ALeft, int ATop, int AWidth, int AHeight) {
  setGeometry(ALeft, ATop, std::max(AWidth, 0), std::max(AHeight, 0));
  SizeMaybeChanged();
}

void TMMGraphicControl::ChangeDesigning(bool Value) {
  if (Value != FDesigning) SetDesigning(Value);
}

void TMMGraphicControl::SetDesigning(bool Value) {
  FDesigning = Value;
}

void TMMGraphicControl::BevelChanged(TObject* /*Sender*/) {
  Changed();
}

void TMMGraphicControl::Changed() {
  Invalidate();
}

void TMMGraphicControl::Paint() {
  TDeviceContext& canvas = *Canvas();
  const TRect inner = FBevel->PaintBevel(canvas, ClientRect(), true);
  canvas.FillRect(inner, FColor);
}

std::string TMMGraphicControl::ClassName() const {
  const char* mangled = typeid(*this).name();
  int status = 0;
  char* name = abi::__cxa_demangle(mangled, nullptr, nullptr, &status);
  std::string result = status == 0 && name ? name : mangled;
  std::free(name);
  // The class's own name, without the namespaces around it.
  const size_t colon = result.rfind("::");
  return colon == std::string::npos ? result : result.substr(colon + 2);
}

void TMMGraphicControl::Invalidate() {
  {
    std::lock_guard lock(FCanvasLock);
    FPictureValid = false;
  }
  if (QThread::currentThread() == thread())
    update();
  else
    RequestFrame();
}

void TMMGraphicControl::PaintPicture() {
  if (FPicture.size() != size()) {
    FPicture = QImage(size(), QImage::Format_RGB32);
    FPictureValid = false;
  }
  if (FPicture.isNull()) return;
  if (FPictureValid && !FOffScreenChanged) return;
  TDeviceContext canvas(&FPicture);
  FCanvas = &canvas;
  try {
    // A full paint shows the off-screen image as well.
    if (FPictureValid) {
      canvas.SetClipRect(ClientRect());
      PresentOffScreen();
    } else {
      Paint();
    }
  } catch (...) {
    FCanvas = nullptr;
    throw;
  }
  FCanvas = nullptr;
  FPictureValid = true;
  FOffScreenChanged = false;
}

QImage TMMGraphicControl::Picture() {
  std::lock_guard lock(FCanvasLock);
  PaintPicture();
  return FPicture.copy();
}

void TMMGraphicControl::DrawDirect(bool Flag, const TDrawProc& DrawProc, void* Data) {
  if (!FDirectTarget || !DrawProc) return;
  {
    std::lock_guard lock(FCanvasLock);
    if (!FPictureValid || FPicture.isNull()) return;
    TDeviceContext canvas(&FPicture);
    canvas.SetClipRect(Rect(0, 0, FPicture.width(), FPicture.height()));
    FCanvas = &canvas;
    try {
      DrawProc(Data, Flag);
    } catch (...) {
      FCanvas = nullptr;
      throw;
    }
    FCanvas = nullptr;
  }
  RequestFrame();
}

void TMMGraphicControl::RequestFrame() {
  if (FFramePending.exchange(true)) return;
  if (QThread::currentThread() == thread()) {
    ShowFrame();
    return;
  }
  // Queued to the main thread; dropped by Qt if the control is gone by then.
  QMetaObject::invokeMethod(
      this, [this] { ShowFrame(); }, Qt::QueuedConnection);
}

void TMMGraphicControl::ShowFrame() {
  TFrameClock::Get().Request(this, FFramePending);
}

void TMMGraphicControl::paintEvent(QPaintEvent* event) {
  std::lock_guard lock(FCanvasLock);
  try {
    PaintPicture();
  } catch (const std::exception& e) {
    // A paint event has no caller to hand an error to; the picture keeps what it had.
    qWarning("%s: %s", ClassName().c_str(), e.what());
  }
  QPainter painter(this);
  painter.drawImage(event->rect(), FPicture, event->rect());
}

void TMMGraphicControl::SizeMaybeChanged() {
  if (size() == FKnownSize) return;
  FKnownSize = size();
  {
    std::lock_guard lock(FCanvasLock);
    FPictureValid = false;
  }
  Changed();
}

void TMMGraphicControl::resizeEvent(QResizeEvent* event) {
  QWidget::resizeEvent(event);
  SizeMaybeChanged();
}

void TMMGraphicControl::UpdateDirectTarget() {
  FDirectTarget = isVisible() && parentWidget() != nullptr;
}

void TMMGraphicControl::showEvent(QShowEvent* event) {
  QWidget::showEvent(event);
  UpdateDirectTarget();
}

void TMMGraphicControl::hideEvent(QHideEvent* event) {
  QWidget::hideEvent(event);
  UpdateDirectTarget();
}

void TMMGraphicControl::changeEvent(QEvent* event) {
  QWidget::changeEvent(event);
  if (event->type() == QEvent::ParentChange) UpdateDirectTarget();
}
