#include "stream/play_chain.h"

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
  Buffer->SetBufferSize(kBlockBytes);
  Buffer->SetNumBuffers(kQueueBlocks);
  Buffer->SetQueueMode(qmRead);

  WaveOut->SetName("WaveOut");
  WaveOut->SetOutput(Connector);
  WaveOut->SetBufferSize(kBlockBytes);
  WaveOut->SetNumBuffers(kDeviceBlocks);
  WaveOut->SetCallBackMode(cmThread);
  WaveOut->SetTimeFormat(tfMillisecond);

  Connector->SetName("ConnectorOut");

  if (!AOwner) {
    Loaded();
    LoadedAll();
  }
}
