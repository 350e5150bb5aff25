#include "stream/record_chain.h"

#include <algorithm>
#include <cmath>

#include "stream/chain_blocks.h"
#include "stream/connector.h"
#include "stream/ring_buffer.h"
#include "stream/wave_file.h"
#include "stream/wave_in.h"

TMMRecordChain::TMMRecordChain(TComponent* AOwner) : TComponent(AOwner) {
  SetName("RecordChain");
  // Created so that, destroyed last first, the device goes before the connector, the buffer
  // and the file.
  File = new TMMWaveFile(this);
  Buffer = new TMMRingBuffer(this);
  Connector = new TMMConnector(this);
  WaveIn = new TMMWaveIn(this);
  BeginLoading();
  for (TComponent* c : Components()) c->BeginLoading();

  WaveIn->SetName("WaveIn");
  WaveIn->SetOutput(Connector);
  WaveIn->SetBufferSize(ChainBlocks::kBytes);
  WaveIn->SetNumBuffers(ChainBlocks::kDevice);
  WaveIn->SetCallBackMode(cmThread);
  WaveIn->SetDeviceID(InvalidId);
  WaveIn->SetMode(mStereo);
  WaveIn->SetBitLength(b16Bit);
  WaveIn->SetSampleRate(44100);
  WaveIn->SetTimeFormat(tfMillisecond);

  Connector->SetName("ConnectorIN");
  Connector->SetOutput(Buffer);

  Buffer->SetName("RecBuffer");
  Buffer->SetOutput(File);
  Buffer->SetBufferSize(ChainBlocks::kBytes);
  Buffer->SetNumBuffers(ChainBlocks::kQueue);
  Buffer->SetQueueMode(qmWrite);

  File->SetName("RecFile");
  File->GetWave()->SetFileMustExist(false);

  if (!AOwner) {
    Loaded();
    LoadedAll();
  }
}

void TMMRecordChain::SetBlockBytes(int32_t bytes) {
  ChainBlocks::Resize(*WaveIn, *Buffer, bytes);
}

int32_t TMMRecordChain::BlockBytes() const {
  return WaveIn->GetBufferSize();
}

void TMMRecordChain::SetQueueSeconds(double seconds) {
  const WAVEFORMATEX* format = WaveIn->GetPWaveFormat();
  const double bytesPerSecond = format ? format->nAvgBytesPerSec : 4.0 * WaveIn->GetSampleRate();
  const double block = BlockBytes();
  Buffer->SetNumBuffers(std::max(2, int32_t(std::ceil(seconds * bytesPerSecond / block))));
  Buffer->SetFlushThreshold(int32_t(bytesPerSecond / 5 / block) + 1);
}

void TMMRecordChain::PrepareRun(const std::string& fileName) {
  Buffer->SetEnabled(!fileName.empty());
  File->SetFileName(fileName);
}

int64_t TMMRecordChain::LostFrames() const {
  const WAVEFORMATEX* format = WaveIn->GetPWaveFormat();
  if (Buffer->DroppedBlocks() == 0 || !format || !format->nBlockAlign) return 0;
  return Buffer->DroppedBytes() / format->nBlockAlign;
}

double TMMRecordChain::LostSeconds() const {
  const WAVEFORMATEX* format = WaveIn->GetPWaveFormat();
  if (!format || !format->nSamplesPerSec) return 0;
  return double(LostFrames()) / format->nSamplesPerSec;
}
