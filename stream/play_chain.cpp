#include "stream/play_chain.h"

#include "stream/chain_blocks.h"
#include "stream/connector.h"
#include "stream/ring_buffer.h"
#include "stream/wave_file.h"
#include "stream/wave_out.h"

TMMPlayChain::TMMPlayChain(TComponent* AOwner) : TComponent(AOwner) {
  SetName("PlayChain");
  // Created so that, destroyed last first, the device goes before the buffer and the file.
  File = new TMMWaveFile(this);
  Buffer = new TMMRingBuffer(this);
  Connector = new TMMConnector(this);
  WaveOut = new TMMWaveOut(this);
  BeginLoading();
  for (TComponent* c : Components()) c->BeginLoading();

  File->SetName("PlayFile");
  File->SetOutput(Buffer);

  Buffer->SetName("PlayBuffer");
  Buffer->SetOutput(WaveOut);
  Buffer->SetBufferSize(ChainBlocks::kBytes);
  Buffer->SetNumBuffers(ChainBlocks::kQueue);
  Buffer->SetQueueMode(qmRead);

  WaveOut->SetName("WaveOut");
  WaveOut->SetOutput(Connector);
  WaveOut->SetBufferSize(ChainBlocks::kBytes);
  WaveOut->SetNumBuffers(ChainBlocks::kDevice);
  WaveOut->SetCallBackMode(cmThread);
  WaveOut->SetTimeFormat(tfMillisecond);

  Connector->SetName("ConnectorOut");

  if (!AOwner) {
    Loaded();
    LoadedAll();
  }
}

void TMMPlayChain::PrepareRun(const std::string& fileName) {
  File->SetFileName(fileName);
  if (!File->GetWave()->Empty()) return;
  const std::string name = File->GetWave()->GetFileName();
  File->SetFileName("");
  throw EMMWaveError("Nothing to play", name, "no audio data");
}

void TMMPlayChain::SetBlockBytes(int32_t bytes) {
  ChainBlocks::Resize(*WaveOut, *Buffer, bytes);
}
