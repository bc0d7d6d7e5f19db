// kxxc_probe: prints one JSON document that describes a media file.
//
//   kxxc_probe FILE
//
// {"format": {"format_name", "bit_rate", "metadata": {container tags...,
//  "date": "YYYY-MM-DDTHH:MM:SS+HHMM"}}, "streams": [{"codec_type",
//  "codec_name", "width", "height", "duration"}, ...]}
//
// "date" is the container's creation time with its zone as a signed
// four-digit number, present only when the container records one. Numbers
// that may carry a fraction or a sign ("bit_rate", "duration") are written
// as texts: the client's JSON reader takes bare tokens of letters, digits
// and "_" only. Exit status 0 with the document on standard output, 1 with
// a message on standard error when the file cannot be read as media.
extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libavutil/avutil.h>
#include <libavutil/dict.h>
}

#include <cstdio>
#include <cstring>
#include <nlohmann/json.hpp>
#include <string>

namespace {

// Reads "YYYY-MM-DD[T ]HH:MM:SS[.fraction][Z|+HH:MM|+HHMM|-...]" into the
// output form. A time without a zone is taken as UTC, as MP4 and QuickTime
// store it.
bool formatDate(const char *text, std::string *out) {
  int year, month, day, hour, minute, second, used = 0;
  if (sscanf(text, "%4d-%2d-%2d%*1[T ]%2d:%2d:%2d%n", &year, &month, &day, &hour, &minute, &second, &used) != 6 ||
      used == 0) {
    return false;
  }
  const char *rest = text + used;
  if (*rest == '.') {
    rest++;
    while (*rest >= '0' && *rest <= '9') rest++;
  }
  char sign = '+';
  int zoneHours = 0, zoneMinutes = 0;
  if (*rest == '+' || *rest == '-') {
    sign = *rest++;
    if (sscanf(rest, "%2d:%2d", &zoneHours, &zoneMinutes) != 2 && sscanf(rest, "%2d%2d", &zoneHours, &zoneMinutes) != 2) {
      return false;
    }
  } else if (*rest != 'Z' && *rest != '\0') {
    return false;
  }
  char buffer[64];
  snprintf(buffer, sizeof buffer, "%04d-%02d-%02dT%02d:%02d:%02d%c%02d%02d", year, month, day, hour, minute, second,
           sign, zoneHours, zoneMinutes);
  *out = buffer;
  return true;
}

// A JSON text must be valid UTF-8; tags written by other tools need not be.
std::string validUtf8(const char *text) {
  std::string out;
  for (const unsigned char *p = reinterpret_cast<const unsigned char *>(text); *p;) {
    int extra = *p < 0x80 ? 0 : (*p & 0xE0) == 0xC0 ? 1 : (*p & 0xF0) == 0xE0 ? 2 : (*p & 0xF8) == 0xF0 ? 3 : -1;
    bool ok = extra >= 0;
    for (int i = 1; ok && i <= extra; i++) ok = (p[i] & 0xC0) == 0x80;
    if (!ok) {
      out += '?';
      p++;
      continue;
    }
    out.append(reinterpret_cast<const char *>(p), static_cast<size_t>(extra + 1));
    p += extra + 1;
  }
  return out;
}

std::string seconds(int64_t value, AVRational base) {
  char text[64];
  snprintf(text, sizeof text, "%.6f", static_cast<double>(value) * av_q2d(base));
  return text;
}

}  // namespace

int main(int argc, char **argv) {
  if (argc != 2) {
    fprintf(stderr, "usage: kxxc_probe FILE\n");
    return 1;
  }
  av_log_set_level(AV_LOG_ERROR);
  AVFormatContext *context = nullptr;
  int rc = avformat_open_input(&context, argv[1], nullptr, nullptr);
  if (rc < 0) {
    char reason[256];
    av_strerror(rc, reason, sizeof reason);
    fprintf(stderr, "kxxc_probe: %s: %s\n", argv[1], reason);
    return 1;
  }
  avformat_find_stream_info(context, nullptr);

  nlohmann::json metadata = nlohmann::json::object();
  const AVDictionaryEntry *tag = nullptr;
  while ((tag = av_dict_get(context->metadata, "", tag, AV_DICT_IGNORE_SUFFIX)) != nullptr) {
    metadata[validUtf8(tag->key)] = validUtf8(tag->value);
  }
  std::string date;
  const char *sources[] = {"creation_time", "com.apple.quicktime.creationdate"};
  for (const char *key : sources) {
    const AVDictionaryEntry *entry = av_dict_get(context->metadata, key, nullptr, 0);
    if (entry && formatDate(entry->value, &date)) {
      metadata["date"] = date;
      break;
    }
  }

  nlohmann::json streams = nlohmann::json::array();
  for (unsigned i = 0; i < context->nb_streams; i++) {
    const AVStream *stream = context->streams[i];
    const AVCodecParameters *codec = stream->codecpar;
    const char *type = av_get_media_type_string(codec->codec_type);
    std::string duration = stream->duration != AV_NOPTS_VALUE ? seconds(stream->duration, stream->time_base)
                           : context->duration != AV_NOPTS_VALUE ? seconds(context->duration, AV_TIME_BASE_Q)
                                                                  : seconds(0, AV_TIME_BASE_Q);
    streams.push_back({{"codec_type", type ? type : "unknown"},
                       {"codec_name", avcodec_get_name(codec->codec_id)},
                       {"width", codec->width},
                       {"height", codec->height},
                       {"duration", duration}});
  }

  nlohmann::json document = {{"format",
                              {{"format_name", context->iformat->name},
                               {"bit_rate", std::to_string(context->bit_rate)},
                               {"metadata", metadata}}},
                             {"streams", streams}};
  avformat_close_input(&context);
  std::string text = document.dump(2);
  text += '\n';
  fwrite(text.data(), 1, text.size(), stdout);
  return fflush(stdout) == 0 ? 0 : 1;
}
