#include "instruments/core/real_fft.h"

#include <fftw3.h>

#include <mutex>
#include <stdexcept>

namespace {

// FFTW's planner and plan destruction share global state: only its execution is safe from
// several threads at once.
std::mutex& PlannerLock() {
  static std::mutex lock;
  return lock;
}

}  // namespace

struct TMMRealFFT::TPlan {
  float* In = nullptr;
  fftwf_complex* Out = nullptr;
  fftwf_plan Plan = nullptr;

  ~TPlan() {
    std::lock_guard lock(PlannerLock());
    if (Plan) fftwf_destroy_plan(Plan);
    fftwf_free(Out);
    fftwf_free(In);
  }
};

TMMRealFFT::TMMRealFFT(int Length) : FLength(Length) {
  if (Length < 2 || Length > 65536 || (Length & (Length - 1)) != 0)
    throw std::invalid_argument("FFT length must be a power of two from 2 to 65536");
  FPlan = std::make_unique<TPlan>();
  std::lock_guard lock(PlannerLock());
  FPlan->In = fftwf_alloc_real(size_t(Length));
  FPlan->Out = fftwf_alloc_complex(size_t(Length / 2 + 1));
  if (!FPlan->In || !FPlan->Out) throw std::bad_alloc();
  // Estimated rather than measured: a plan is made in microseconds and the same every time.
  FPlan->Plan = fftwf_plan_dft_r2c_1d(Length, FPlan->In, FPlan->Out, FFTW_ESTIMATE);
  if (!FPlan->Plan) throw std::runtime_error("FFT plan could not be made");
  for (int i = 0; i < Length; ++i) FPlan->In[i] = 0.0f;
}

TMMRealFFT::~TMMRealFFT() = default;

float* TMMRealFFT::Input() {
  return FPlan->In;
}

const std::complex<float>* TMMRealFFT::Output() const {
  // fftwf_complex is float[2], laid out as std::complex<float> is.
  return reinterpret_cast<const std::complex<float>*>(FPlan->Out);
}

void TMMRealFFT::Execute() {
  fftwf_execute(FPlan->Plan);
}
