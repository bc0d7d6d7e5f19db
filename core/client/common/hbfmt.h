// hbfmt: format parsers for media metadata. HBFmtParser is a pass-through
// stream: every byte read through it is also offered to a format
// implementation chosen from the first bytes (ID3, EXIF, the video probe,
// MP4, in that order), which reports items by name ("EXIF-Make", "title",
// "vqz-tn" ...) into the parser's result map. Implementations skip regions
// they do not need by asking for a file offset; doFPFinishParse then seeks
// the underlying stream there.
//
// Ownership: the parser holds one reference on the underlying stream until
// releaseStream or destruction, and one on its result map until close or
// destruction; the map holds one on every object item. Factories are
// process-wide singletons; an implementation is owned by the parser that
// matched it. A parser serves one thread at a time; the factories may be
// used from several threads at once.
#pragma once

#include <cstdint>

#include "hbmap.h"
#include "hbobj.h"
#include "hbstream.h"

// The MIME-type interface of HBStreamWithMimeType.
constexpr hbtype_t HBTYPE_IID_IHBOBJMIMETYPE = 0x1000000f;

class IHBObjMimeType : public IHBObj {
 public:
  // Borrowed text, valid while the object lives.
  virtual const char *getObjMimeType() = 0;
};

// Wraps `stream` (one reference taken): every stream operation goes to it;
// getifc(HBTYPE_IID_IHBOBJMIMETYPE) answers the MIME type (copied).
brerror_t HBStreamWithMimeType__new(IHBStream *stream, const char *mimeType, IHBStream **out);

class IHBFormatImplSink {
 public:
  // `value` is a NUL-terminated text for HBTYPE_STRING, else an IHBObj
  // that the sink references when it keeps it.
  virtual void notifyItemFound(const char *key, hbtype_t type, const void *value) = 0;

 protected:
  virtual ~IHBFormatImplSink() = default;
};

// The state a parser shares with its implementation for one slice.
struct HBFormatImplInfo_t {
  IHBFormatImplSink *sink;
  const char *fileName;   // null when the underlying stream has no path
  int32_t avail;          // bytes at `data`
  const uint8_t *data;
  int64_t offset;         // file offset of data[0]
  int32_t used;           // set by the implementation: bytes consumed
  int64_t wantOffset;     // set by the implementation: skip to here (-1: no)
};

enum HBFormatParserState_t {
  HBFP_PARSING = 1,
  HBFP_SEEKING = 2,
  HBFP_DONE = 3,
  HBFP_FAILED = 4,
};

class IHBFormatImpl {
 public:
  virtual ~IHBFormatImpl() = default;
  // 0: continue with the bytes left; -2: needs more bytes than `avail`;
  // -7: finished; any other negative value: the parse failed.
  virtual brerror_t parseSlice(HBFormatImplInfo_t *info) = 0;
};

class IHBFormatImplFact {
 public:
  // On a match: 0, a new implementation in *impl (owned by the caller) and
  // the bytes to skip before it in info->used.
  virtual brerror_t matchFormat(HBFormatImplInfo_t *info, IHBFormatImpl **impl) = 0;
  virtual const char *getDesc() = 0;

 protected:
  virtual ~IHBFormatImplFact() = default;
};

class IHBFormatParser : public IHBStream {
 public:
  virtual HBFormatParserState_t getFPState() = 0;
  // The offset the parser waits for while seeking, else -1.
  virtual int64_t getFPWantOffset() = 0;
  // The result map ("FMTITEMS") with one new reference: trimmed, non-empty
  // texts (HBTYPE_STRING) and objects under the tag they were reported
  // with ("vqz-tn": HBTYPE_IID_IHBSTREAM). -3 once the parser is closed.
  virtual brerror_t getFPResultMap(IHBMap **out) = 0;
  // Reads the rest of the stream, seeking where the implementation asks,
  // until the parse is done or failed or the stream ends.
  virtual brerror_t doFPFinishParse() = 0;
  virtual brerror_t releaseStream() = 0;
};

// `mime`, when given, must be a JPEG, MP3, AAC/M4A, MP4 or QuickTime type
// (else -16); the implementation is still chosen from the data.
brerror_t HBFmtParser__new(IHBStream *stream, const char *mime, IHBFormatParser **out);
// Uses `factory` alone: matches on the first 4096 bytes of the (seekable)
// stream, then puts the stream back at its start.
brerror_t HBFmtParser__newWithFmtImplFact(IHBStream *stream, IHBFormatImplFact *factory, IHBFormatParser **out);

// The factories, in the order HBFmtParser__new offers them the data.
IHBFormatImplFact *HBFmtImplFactId3__get();
IHBFormatImplFact *HBFmtImplFactExif__get();
IHBFormatImplFact *HBFmtImplFactKXXCProbe__get();
IHBFormatImplFact *HBFmtImplFactAac__get();
