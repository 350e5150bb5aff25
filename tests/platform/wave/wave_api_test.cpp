#include "platform/wave/wave_api.h"

#include <gtest/gtest.h>

#include <functional>
#include <set>
#include <string>

#include "platform/wave/system_driver.h"
#include "tests/platform/wave/wave_test_util.h"

namespace {

using namespace wavetest;

TEST(WaveApi, HandlesNotOpenedByTheDriverAreRefused) {
  TScopedEnv noAlsa("NEEDLEREC_ALSA_DEVICES", "");
  RescanWaveDevices();
  const WAVEFORMATEX format = Pcm(44100, 16, 2);
  HWAVEOUT closedOut = nullptr;
  HWAVEIN closedIn = nullptr;
  ASSERT_EQ(waveOutOpen(&closedOut, 0, &format, 0, 0, CALLBACK_NULL), MMSYSERR_NOERROR);
  ASSERT_EQ(waveInOpen(&closedIn, 0, &format, 0, 0, CALLBACK_NULL), MMSYSERR_NOERROR);
  ASSERT_EQ(waveOutClose(closedOut), MMSYSERR_NOERROR);
  ASSERT_EQ(waveInClose(closedIn), MMSYSERR_NOERROR);
  // An open handle of the other direction is no handle here either.
  HWAVEOUT openOut = nullptr;
  HWAVEIN openIn = nullptr;
  ASSERT_EQ(waveOutOpen(&openOut, 0, &format, 0, 0, CALLBACK_NULL), MMSYSERR_NOERROR);
  ASSERT_EQ(waveInOpen(&openIn, 0, &format, 0, 0, CALLBACK_NULL), MMSYSERR_NOERROR);

  int local = 0;
  const HWAVEOUT outs[] = {nullptr, reinterpret_cast<HWAVEOUT>(&local), closedOut,
                           reinterpret_cast<HWAVEOUT>(openIn)};
  const HWAVEIN ins[] = {nullptr, reinterpret_cast<HWAVEIN>(&local), closedIn,
                         reinterpret_cast<HWAVEIN>(openOut)};
  WAVEHDR header{};
  MMTIME time{};
  time.wType = TIME_SAMPLES;
  uint32_t id = 0;
  for (HWAVEOUT h : outs) {
    SCOPED_TRACE(reinterpret_cast<uintptr_t>(h));
    EXPECT_EQ(waveOutPrepareHeader(h, &header, sizeof header), MMSYSERR_INVALHANDLE);
    EXPECT_EQ(waveOutUnprepareHeader(h, &header, sizeof header), MMSYSERR_INVALHANDLE);
    EXPECT_EQ(waveOutWrite(h, &header, sizeof header), MMSYSERR_INVALHANDLE);
    EXPECT_EQ(waveOutPause(h), MMSYSERR_INVALHANDLE);
    EXPECT_EQ(waveOutRestart(h), MMSYSERR_INVALHANDLE);
    EXPECT_EQ(waveOutReset(h), MMSYSERR_INVALHANDLE);
    EXPECT_EQ(waveOutGetPosition(h, &time, sizeof time), MMSYSERR_INVALHANDLE);
    EXPECT_EQ(waveOutClose(h), MMSYSERR_INVALHANDLE);
  }
  for (HWAVEIN h : ins) {
    SCOPED_TRACE(reinterpret_cast<uintptr_t>(h));
    EXPECT_EQ(waveInPrepareHeader(h, &header, sizeof header), MMSYSERR_INVALHANDLE);
    EXPECT_EQ(waveInUnprepareHeader(h, &header, sizeof header), MMSYSERR_INVALHANDLE);
    EXPECT_EQ(waveInAddBuffer(h, &header, sizeof header), MMSYSERR_INVALHANDLE);
    EXPECT_EQ(waveInStart(h), MMSYSERR_INVALHANDLE);
    EXPECT_EQ(waveInStop(h), MMSYSERR_INVALHANDLE);
    EXPECT_EQ(waveInReset(h), MMSYSERR_INVALHANDLE);
    EXPECT_EQ(waveInGetPosition(h, &time, sizeof time), MMSYSERR_INVALHANDLE);
    EXPECT_EQ(waveInGetID(h, &id), MMSYSERR_INVALHANDLE);
    EXPECT_EQ(waveInClose(h), MMSYSERR_INVALHANDLE);
  }
  EXPECT_EQ(header.dwFlags, 0u);

  // A handle closed and another opened after it never share a value.
  HWAVEOUT reopened = nullptr;
  ASSERT_EQ(waveOutOpen(&reopened, 0, &format, 0, 0, CALLBACK_NULL), MMSYSERR_NOERROR);
  EXPECT_NE(reopened, closedOut);
  EXPECT_EQ(waveOutClose(closedOut), MMSYSERR_INVALHANDLE);
  EXPECT_EQ(waveInGetID(openIn, &id), MMSYSERR_NOERROR);
  EXPECT_EQ(id, 0u);
  EXPECT_EQ(waveOutClose(reopened), MMSYSERR_NOERROR);
  EXPECT_EQ(waveOutClose(openOut), MMSYSERR_NOERROR);
  EXPECT_EQ(waveInClose(openIn), MMSYSERR_NOERROR);
}

TEST(WaveApi, EveryResultCodeHasItsOwnTextAndUnknownCodesHaveNone) {
  const MMRESULT codes[] = {
      MMSYSERR_NOERROR,      MMSYSERR_ERROR,        MMSYSERR_BADDEVICEID, MMSYSERR_NOTENABLED,
      MMSYSERR_ALLOCATED,    MMSYSERR_INVALHANDLE,  MMSYSERR_NODRIVER,    MMSYSERR_NOMEM,
      MMSYSERR_NOTSUPPORTED, MMSYSERR_BADERRNUM,    MMSYSERR_INVALFLAG,   MMSYSERR_INVALPARAM,
      MMSYSERR_HANDLEBUSY,   WAVERR_BADFORMAT,      WAVERR_STILLPLAYING,  WAVERR_UNPREPARED,
      WAVERR_SYNC,           WAVEDRVERR_DEVICELOST, WAVEDRVERR_INPUTFILE, WAVEDRVERR_OUTPUTFILE,
  };
  std::set<std::string> texts;
  for (MMRESULT code : codes) {
    SCOPED_TRACE(code);
    char out[MAXERRORLENGTH] = {};
    char in[MAXERRORLENGTH] = {};
    ASSERT_EQ(waveOutGetErrorTextA(code, out, sizeof out), MMSYSERR_NOERROR);
    ASSERT_EQ(waveInGetErrorTextA(code, in, sizeof in), MMSYSERR_NOERROR);
    EXPECT_STREQ(out, in);
    EXPECT_GT(std::string(out).size(), 10u);
    texts.insert(out);
  }
  EXPECT_EQ(texts.size(), std::size(codes));

  // The device falls back to its own text on BADERRNUM.
  char text[MAXERRORLENGTH] = "unchanged";
  for (MMRESULT unknown : {13u, 31u, 36u, 511u, 0xFFFFFFFFu}) {
    EXPECT_EQ(waveOutGetErrorTextA(unknown, text, sizeof text), MMSYSERR_BADERRNUM);
    EXPECT_STREQ(text, "");
  }
  EXPECT_EQ(waveOutGetErrorTextA(MMSYSERR_NOMEM, nullptr, 255), MMSYSERR_INVALPARAM);
  // A short buffer gets the start of the text, terminated.
  char shortText[6];
  ASSERT_EQ(waveInGetErrorTextA(WAVERR_BADFORMAT, shortText, sizeof shortText), MMSYSERR_NOERROR);
  EXPECT_STREQ(shortText, "The s");
}

// The functions go to an installed driver; removing it brings back the system driver.
TEST(WaveApi, AnInstalledDriverReceivesTheCallsUntilRemoved) {
  class TCountingDriver : public TSystemWaveDriver {
   public:
    using TSystemWaveDriver::TSystemWaveDriver;
    uint32_t OutGetNumDevs() override { return 42; }
  };
  SetWaveDriver(std::make_shared<TCountingDriver>(std::vector<std::unique_ptr<TWaveBackend>>{}));
  EXPECT_EQ(waveOutGetNumDevs(), 42u);
  EXPECT_EQ(waveInGetNumDevs(), 0u);
  SetWaveDriver(nullptr);
  TScopedEnv noAlsa("NEEDLEREC_ALSA_DEVICES", "");
  RescanWaveDevices();
  EXPECT_EQ(waveOutGetNumDevs(), 1u);
}

}  // namespace
