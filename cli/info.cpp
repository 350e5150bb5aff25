#include "cli/info.h"

#include <CLI/CLI.hpp>

#include "cli/options.h"

#include <cstdio>
#include <exception>

#include "cli/cli.h"
#include "stream/wave.h"
#include "stream/wave_format.h"

namespace {

// Length of the valid UTF-8 sequence at `i`, or 0.
size_t Utf8Sequence(const std::string& s, size_t i) {
  const auto byte = [&](size_t k) { return uint8_t(s[k]); };
  const uint8_t c = byte(i);
  size_t length;
  uint32_t minimum;
  uint32_t code;
  if (c < 0x80) return 1;
  if ((c & 0xE0) == 0xC0) {
    length = 2, minimum = 0x80, code = c & 0x1F;
  } else if ((c & 0xF0) == 0xE0) {
    length = 3, minimum = 0x800, code = c & 0x0F;
  } else if ((c & 0xF8) == 0xF0) {
    length = 4, minimum = 0x10000, code = c & 0x07;
  } else {
    return 0;
  }
  if (i + length > s.size()) return 0;
  for (size_t k = 1; k < length; ++k) {
    if ((byte(i + k) & 0xC0) != 0x80) return 0;
    code = (code << 6) | (byte(i + k) & 0x3F);
  }
  if (code < minimum || code > 0x10FFFF || (code >= 0xD800 && code <= 0xDFFF)) return 0;
  return length;
}

bool ValidUtf8(const std::string& s) {
  for (size_t i = 0; i < s.size();) {
    const size_t n = Utf8Sequence(s, i);
    if (n == 0) return false;
    i += n;
  }
  return true;
}

void Usage(std::ostream& err) {
  err << "usage: needlerec-cli info FILE [--json]\n";
}

}  // namespace

std::string JsonString(const std::string& text) {
  const bool utf8 = ValidUtf8(text);
  std::string out = "\"";
  for (const char ch : text) {
    const auto c = uint8_t(ch);
    char escape[8];
    if (c == '"' || c == '\\') {
      out += '\\';
      out += ch;
    } else if (c < 0x20 || c == 0x7F || (c >= 0x80 && !utf8)) {
      std::snprintf(escape, sizeof escape, "\\u%04x", c);
      out += escape;
    } else {
      out += ch;
    }
  }
  return out + "\"";
}

int InfoCommand(const std::vector<std::string>& args, std::ostream& out, std::ostream& err) {
  std::string file;
  bool json = false;
  CLI::App app;
  PrepareParser(app);
  app.add_flag("--json", json);
  app.add_option("FILE", file);
  auto problem = ParseWords(app, args);
  if (!problem && file.empty()) problem = "a FILE is needed";
  if (problem) {
    err << "needlerec-cli info: " << *problem << "\n";
    Usage(err);
    return 2;
  }
  try {
    TMMWave wave;
    wave.SetFileName(file);
    const PWaveIORecord record = wave.GetWaveIORecord();
    if (!record || !record->Format()) throw EMMWaveError("Error reading wave file");
    const WAVEFORMATEX& f = *record->Format();
    const std::string formatText = wave.GetFormatString();
    const std::string tagName = WaveFormatTagName(&f);
    // The tag as the file holds it (an extensible file's 65534), the name of what it holds;
    // the form: RIFF, RIFX (big-endian), RF64 or BW64.
    const uint16_t fileTag = record->FileFormatTag ? record->FileFormatTag : f.wFormatTag;
    const std::string form = FourCCText(record->Form);
    const int64_t lengthMs = wave.SamplesToMs(record->TotalSamples);
    if (!json) {
      out << "format_text: " << formatText << "\n"
          << "tag_name: " << tagName << "\n"
          << "channels: " << f.nChannels << "\n"
          << "sample_rate: " << f.nSamplesPerSec << "\n"
          << "bits_per_sample: " << f.wBitsPerSample << "\n"
          << "block_align: " << f.nBlockAlign << "\n"
          << "data_offset: " << record->DataOffset << "\n"
          << "data_bytes: " << record->DataBytes << "\n"
          << "total_samples: " << record->TotalSamples << "\n"
          << "length_ms: " << lengthMs << "\n"
          << "valid_bits: " << wave.GetValidBits() << "\n"
          << "form: " << form << "\n";
      return 0;
    }
    out << "{\"format_text\": " << JsonString(formatText) << ", \"format_tag\": " << fileTag
        << ", \"tag_name\": " << JsonString(tagName) << ", \"channels\": " << f.nChannels
        << ", \"sample_rate\": " << f.nSamplesPerSec
        << ", \"bits_per_sample\": " << f.wBitsPerSample << ", \"block_align\": " << f.nBlockAlign
        << ", \"avg_bytes_per_sec\": " << f.nAvgBytesPerSec
        << ", \"data_offset\": " << record->DataOffset << ", \"data_bytes\": " << record->DataBytes
        << ", \"total_samples\": " << record->TotalSamples << ", \"length_ms\": " << lengthMs
        << ", \"valid_bits\": " << wave.GetValidBits() << ", \"form\": " << JsonString(form)
        << ", \"info\": {";
    bool first = true;
    for (size_t i = 0; i < RiffInfoIds.size(); ++i) {
      const TRiffInfoItem& item = record->InfoList.Item(int(i));
      if (!item.HasText && !item.Replaced) continue;
      out << (first ? "" : ", ") << JsonString(std::string(RiffInfoIds[i])) << ": "
          << JsonString(item.Current());
      first = false;
    }
    out << "}}\n";
    return 0;
  } catch (const EMMError& e) {
    err << ErrorLine(e, file) << "\n";
  } catch (const std::exception& e) {
    err << "needlerec-cli: " << e.what() << "\n";
  }
  return 1;
}
