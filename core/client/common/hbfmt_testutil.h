// Test helpers for the media parsers: running the tools that make fixtures,
// temporary folders, and parsing a file or its bytes through HBFmtParser.
#pragma once

#include <stdlib.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "hbfmt.h"
#include "hbfmt_impl.h"
#include "hbfork2_posix.h"
#include "hbmap.h"
#include "hbmemstream.h"
#include "hbstream_posix.h"

namespace fmttest {

inline bool haveTool(const char *path) { return access(path, X_OK) == 0; }

// Runs a program to its end; its standard output (and error) in *out.
inline int32_t run(std::vector<std::string> args, std::string *out = nullptr) {
  HBRef<IHBFork2> fork;
  HBFork2__new(HBFORK2_PIPE_STDOUT | HBFORK2_STDERR_TO_STDOUT, fork.out());
  fork->setTimeout(60000);
  std::vector<char *> argv;
  for (auto &a : args) argv.push_back(a.data());
  argv.push_back(nullptr);
  char *envp[] = {const_cast<char *>("PATH=/usr/bin:/bin"), const_cast<char *>("LC_ALL=C.UTF-8"),
                  const_cast<char *>("HOME=/tmp"), nullptr};
  if (fork->run(argv.data(), envp) != 0) return -1;
  HBRef<IHBStream> s;
  fork->getStream(HBFORK2_STREAM_STDOUT, s.out());
  std::string text;
  char buffer[4096];
  brerror_t n;
  while ((n = s->read(buffer, sizeof buffer)) > 0) text.append(buffer, static_cast<size_t>(n));
  int32_t status = -1;
  fork->waitExit(60000, &status);
  if (out) *out = text;
  return status;
}

class TempDir {
 public:
  TempDir() {
    char pattern[] = "/tmp/hbfmt_test.XXXXXX";
    path_ = mkdtemp(pattern) ? pattern : "";
  }
  ~TempDir() {
    if (!path_.empty()) run({"/bin/rm", "-rf", path_});
  }
  std::string file(const std::string &name) const { return path_ + "/" + name; }

 private:
  std::string path_;
};

inline std::vector<uint8_t> readFile(const std::string &path) {
  std::ifstream in(path, std::ios::binary);
  return std::vector<uint8_t>(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

inline void writeFile(const std::string &path, const std::vector<uint8_t> &bytes) {
  std::ofstream(path, std::ios::binary).write(reinterpret_cast<const char *>(bytes.data()),
                                              static_cast<std::streamsize>(bytes.size()));
}

// A read-only stream over `bytes`, which must outlive it.
inline HBRef<IHBMemStream> memStream(const std::vector<uint8_t> &bytes) {
  HBRef<IHBMemStream> mem;
  EXPECT_EQ(HBMemStream__new(mem.out(), const_cast<uint8_t *>(bytes.data()), static_cast<uint32_t>(bytes.size()),
                             HBSTREAM_READ | HBMEMSTREAM_BORROWED),
            0);
  return mem;
}

// The items of a parse, taken from its result map.
struct Parsed {
  HBRef<IHBMap> items;
  HBFormatParserState_t state = HBFP_FAILED;

  bool has(const char *key) const { return items && items->getAtKey(key, nullptr, nullptr) == 0; }
  std::string text(const char *key) const {
    const char *value = items ? items->getStringAtKey(key) : nullptr;
    return value ? value : "";
  }
  // The bytes and MIME type of an embedded picture.
  bool picture(std::vector<uint8_t> *bytes, std::string *mime) const { return pictureOf(items.get(), bytes, mime); }

  static bool pictureOf(IHBMap *map, std::vector<uint8_t> *bytes, std::string *mime) {
    HBRef<IHBObjMimeType> typed;
    if (!map || map->getAtKey("vqz-tn", HBTYPE_IID_IHBOBJMIMETYPE, reinterpret_cast<void **>(typed.out())) != 0) {
      return false;
    }
    *mime = typed->getObjMimeType();
    HBRef<IHBStream> s;
    if (map->getAtKey("vqz-tn", HBTYPE_IID_IHBSTREAM, reinterpret_cast<void **>(s.out())) != 0) return false;
    bytes->clear();
    char buffer[4096];
    brerror_t n;
    while ((n = s->read(buffer, sizeof buffer)) > 0) bytes->insert(bytes->end(), buffer, buffer + n);
    return true;
  }
};

// Parses the stream the way an upload does: no MIME type, finish, take the
// result map, release the stream and close.
inline Parsed parseStream(IHBStream *stream, IHBFormatImplFact *only = nullptr) {
  Parsed result;
  HBRef<IHBFormatParser> parser;
  brerror_t rc = only ? HBFmtParser__newWithFmtImplFact(stream, only, parser.out())
                      : HBFmtParser__new(stream, nullptr, parser.out());
  if (rc != 0) return result;
  parser->doFPFinishParse();
  result.state = parser->getFPState();
  EXPECT_EQ(parser->getFPResultMap(result.items.out()), 0);
  parser->releaseStream();
  parser->close();
  return result;
}

inline Parsed parseBytes(const std::vector<uint8_t> &bytes, IHBFormatImplFact *only = nullptr) {
  HBRef<IHBMemStream> mem = memStream(bytes);
  return parseStream(mem.get(), only);
}

// The file's bytes from memory: the parser learns no file name.
inline Parsed parseFile(const std::string &path) { return parseBytes(readFile(path)); }

// The file through a file stream, whose path the parser sees.
inline Parsed parseFileStream(const std::string &path) {
  HBRef<IHBStream> file;
  EXPECT_EQ(HBStream__newRaw(file.out(), path.c_str(), HBSTREAM_READ), 0) << path;
  if (!file) return Parsed();
  return parseStream(file.get());
}

}  // namespace fmttest
