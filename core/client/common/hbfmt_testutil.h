// Test helpers for the media parsers: running the tools that make fixtures,
// temporary folders, and parsing a file's bytes through HBFmtParser.
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

// The items a parse stored, texts by key; an object item shows as "<object>".
struct Parsed {
  HBRef<IHBFormatParser> parser;
  HBFormatParserState_t state = HBFP_FAILED;

  bool has(const char *key) const { return parser && parser->getFPResultItem(key, nullptr, nullptr) == 0; }
  std::string text(const char *key) const {
    hbtype_t type;
    const void *value;
    if (!parser || parser->getFPResultItem(key, &type, &value) != 0 || type != HBTYPE_STRING) return "";
    return static_cast<const char *>(value);
  }
  // The bytes and MIME type of an embedded picture.
  bool picture(std::vector<uint8_t> *bytes, std::string *mime) const {
    hbtype_t type;
    const void *value;
    if (!parser || parser->getFPResultItem("vqz-tn", &type, &value) != 0 || type == HBTYPE_STRING) return false;
    IHBObj *obj = static_cast<IHBObj *>(const_cast<void *>(value));
    void *ifc = nullptr;
    if (obj->getifc(HBTYPE_IID_IHBOBJMIMETYPE, &ifc) != 0) return false;
    *mime = static_cast<IHBObjMimeType *>(ifc)->getObjMimeType();
    static_cast<IHBObj *>(ifc)->dnref();
    if (obj->getifc(HBTYPE_IID_IHBSTREAM, &ifc) != 0) return false;
    HBRef<IHBStream> s(static_cast<IHBStream *>(ifc));
    bytes->clear();
    char buffer[4096];
    brerror_t n;
    while ((n = s->read(buffer, sizeof buffer)) > 0) bytes->insert(bytes->end(), buffer, buffer + n);
    return true;
  }
};

// Parses `bytes` the way an upload does: no MIME type, finish, read items.
inline Parsed parseBytes(const std::vector<uint8_t> &bytes, IHBFormatImplFact *only = nullptr) {
  Parsed result;
  HBRef<IHBSeekableStream> mem;
  hbfmt__newMemStream(bytes.data(), static_cast<uint32_t>(bytes.size()), mem.out());
  brerror_t rc = only ? HBFmtParser__newWithFmtImplFact(mem.get(), only, result.parser.out())
                      : HBFmtParser__new(mem.get(), nullptr, result.parser.out());
  if (rc != 0) return result;
  result.parser->doFPFinishParse();
  result.state = result.parser->getFPState();
  return result;
}

inline Parsed parseFile(const std::string &path) { return parseBytes(readFile(path)); }

}  // namespace fmttest
