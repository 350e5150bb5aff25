// The record chain that every front end uses: the input device, the instruments' tap, the ring
// buffer that carries the blocks to the disk, and the WAVE file,
//
//   WaveIn -> Connector -> Buffer -> File
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
class TMMWaveIn;

class TMMRecordChain : public TComponent {
 public:
  explicit TMMRecordChain(TComponent* AOwner = nullptr);

  TMMWaveIn* WaveIn;
  TMMConnector* Connector;
  TMMRingBuffer* Buffer;
  TMMWaveFile* File;

  // Blocks of `bytes` instead of the standard ones (see ChainBlocks); before SetQueueSeconds.
  void SetBlockBytes(int32_t bytes);
  // The bytes of one block of the device.
  int32_t BlockBytes() const;
  // Sizes the queue to the disk to hold `seconds` of the input's audio, so that a disk that
  // stalls that long loses nothing; the writer still wakes about five times a second, so that
  // the file on disk is never far behind.
  void SetQueueSeconds(double seconds);
  // Prepares a run of the device: with a file name the input is recorded into that file; with
  // none it only reaches the instruments (monitoring), the ring buffer off and no file made.
  void PrepareRun(const std::string& fileName);
  // The audio the ring buffer dropped because the disk did not keep up, in sample frames and
  // in seconds of the input's format (0 when nothing was lost).
  int64_t LostFrames() const;
  double LostSeconds() const;
};
