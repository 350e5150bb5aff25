// The play chain that every front end uses: the WAVE file, the ring buffer that reads ahead of
// the device, the output device, and the instruments' tap after it,
//
//   File -> Buffer -> WaveOut -> Connector
//
// with the block sizes, queue depths and thread modes in one place. The chain owns its parts.
// Created with an owner that is loading a layout, the chain and its parts load with the owner;
// without an owner the chain is loaded when its constructor returns.
#pragma once

#include <cstdint>
#include <string>

#include "platform/component/component.h"

class TMMConnector;
class TMMRingBuffer;
class TMMWaveFile;
class TMMWaveOut;

class TMMPlayChain : public TComponent {
 public:
  explicit TMMPlayChain(TComponent* AOwner = nullptr);

  TMMWaveFile* File;
  TMMRingBuffer* Buffer;
  TMMWaveOut* WaveOut;
  TMMConnector* Connector;

  // Blocks of `bytes` instead of the standard ones (see ChainBlocks).
  void SetBlockBytes(int32_t bytes);
  // Names the file to play: an EMMWaveError when it cannot be read, or when it is a valid
  // WAVE file without audio ("no audio data"), which the device could not start on.
  void PrepareRun(const std::string& fileName);
};
