// A real FFT of a fixed power-of-two length, on FFTW's single-precision planner. The input is
// Length() real samples; the output holds bins 0 .. Length() / 2, unscaled (a sine of amplitude
// A centred on bin k gives |X_k| = A × Length() / 2).
#pragma once

#include <complex>
#include <memory>

class TMMRealFFT {
 public:
  // Length: a power of two from 2 to 65536 (std::invalid_argument otherwise).
  explicit TMMRealFFT(int Length);
  ~TMMRealFFT();
  TMMRealFFT(const TMMRealFFT&) = delete;
  TMMRealFFT& operator=(const TMMRealFFT&) = delete;

  int Length() const { return FLength; }
  // Length() samples to transform; they are kept by Execute.
  float* Input();
  // Length() / 2 + 1 bins, valid after Execute.
  const std::complex<float>* Output() const;
  // Transforms Input() into Output(). Objects may execute on different threads at once; one
  // object belongs to one thread at a time.
  void Execute();

 private:
  struct TPlan;
  int FLength;
  std::unique_ptr<TPlan> FPlan;
};
