#include "hbsoap.h"

#include <cstdio>
#include <cstring>
#include <new>

#include "brlog.h"
#include "brxml.h"
#include "hblistiter.h"
#include "hbmap.h"
#include "hbserialize.h"
#include "hbstr.h"

const HBSoapHeader_s HBSoap__requestHeaders[] = {
    {"SoapAction", nullptr},
    {"Content-Type", "text/xml; charset=\"utf-8\""},
    {"Transfer-Encoding", "chunked"},
    {nullptr, nullptr},
};

namespace {

constexpr int32_t kBodyBuffer = 4096;

const char kEnvelopeStart[] =
    "<?xml version=\"1.0\" encoding=\"UTF-8\" ?>"
    "<soapenv:Envelope xmlns:soapenv=\"http://schemas.xmlsoap.org/soap/envelope/\""
    " xmlns:xsd=\"http://www.w3.org/2001/XMLSchema\""
    " xmlns:xsi=\"http://www.w3.org/2001/XMLSchema-instance\">"
    "<soapenv:Body>";
const char kEncodingStyle[] =
    " soapenv:encodingStyle=\"http://schemas.xmlsoap.org/soap/encoding/\">";
const char kEnvelopeEnd[] = "</soapenv:Body></soapenv:Envelope>";
const char kOpaque[] = "___OPAQUE___";

// Collects the body in a 4,096-byte buffer and writes it out when full.
class BodyWriter {
 public:
  explicit BodyWriter(IHBStream *out) : out_(out) {}

  brerror_t put(const char *data, int32_t length) {
    if (error_ < 0) return error_;
    while (length > 0) {
      if (fill_ == kBodyBuffer && flush() < 0) return error_;
      int32_t piece = kBodyBuffer - fill_;
      if (piece > length) piece = length;
      memcpy(buffer_ + fill_, data, static_cast<size_t>(piece));
      fill_ += piece;
      data += piece;
      length -= piece;
      total_ += piece;
    }
    return 0;
  }
  brerror_t put(const char *text) { return put(text, static_cast<int32_t>(strlen(text))); }

  brerror_t flush() {
    if (error_ < 0) return error_;
    if (fill_ > 0) {
      brerror_t rc = HBStream__xmlWriter(out_, buffer_, fill_);
      if (rc < 0) error_ = rc;
      fill_ = 0;
    }
    return error_;
  }

  // For the XML escaping functions.
  static brerror_t write(void *ctx, void *data, int32_t size) {
    brerror_t rc = static_cast<BodyWriter *>(ctx)->put(static_cast<const char *>(data), size);
    return rc < 0 ? rc : size;
  }

  brerror_t text(const char *text) {
    brerror_t rc = BRXMLParser__escapeToStream(text ? text : "", write, this);
    return rc < 0 ? rc : 0;
  }
  brerror_t open(const char *name) {
    put("<");
    BRXMLParser__escapeTagToStream(name, write, this);
    return put(">");
  }
  brerror_t close(const char *name) {
    put("</");
    BRXMLParser__escapeTagToStream(name, write, this);
    return put(">");
  }
  void fail(brerror_t error) {
    if (error_ == 0) error_ = error;
  }

  brerror_t error() const { return error_; }
  int64_t total() const { return total_; }

 private:
  IHBStream *out_;
  char buffer_[kBodyBuffer];
  int32_t fill_ = 0;
  int64_t total_ = 0;
  brerror_t error_ = 0;
};

void writeValue(BodyWriter *w, const char *name, hbtype_t type, const void *value, int depth);

void writeMapEntries(BodyWriter *w, IHBMap *map, int depth) {
  HBRef<IHBIter> keys;
  if (map->iterateKeys(keys.out()) < 0) return;
  hbtype_t keyType = HBTYPE_STRING;
  void *key;
  while (keys->getNext(&keyType, &key) >= 0) {
    const char *name = static_cast<const char *>(key);
    hbtype_t type = HBTYPE_ANY;
    void *value = nullptr;
    if (map->getAtKey(name, &type, &value) < 0) continue;
    writeValue(w, name, type, value, depth + 1);
    if (!hbtype__isPlain(type) && value) static_cast<IHBObj *>(value)->dnref();
  }
}

void writeSerializable(BodyWriter *w, IHBRPCSerializable *object, int depth) {
  const HBRPCSerializableField_s *table = object->getRPCFieldTable();
  for (int i = 0; table && table[i].name; i++) {
    hbtype_t type = table[i].type;
    if (hbtype__isPlain(type)) {
      int32_t length = object->getRPCFieldText(i, nullptr, 0);
      char *text = length >= 0 ? new (std::nothrow) char[length + 1] : nullptr;
      if (text && object->getRPCFieldText(i, text, length + 1) >= 0) {
        writeValue(w, table[i].name, HBTYPE_STRING, text, depth + 1);
      } else {
        writeValue(w, table[i].name, HBTYPE_STRING, "", depth + 1);
      }
      delete[] text;
      continue;
    }
    void *value = nullptr;
    if (object->getRPCFieldObject(i, HBTYPE_ANY, &value) < 0 || !value) {
      writeValue(w, table[i].name, HBTYPE_STRING, "", depth + 1);
      continue;
    }
    writeValue(w, table[i].name, HBTYPE_IID_IHBOBJ, value, depth + 1);
    static_cast<IHBObj *>(value)->dnref();
  }
}

const char *itemNameOf(IHBIter *list) {
  HBRef<IHBNamedArgument> named;
  void *ifc = nullptr;
  if (list->getifc(HBTYPE_IID_IHBNAMEDARGUMENT, &ifc) == 0) {
    named.reset(static_cast<IHBNamedArgument *>(ifc));
    const char *name = named->getNamedArgumentName();
    if (name && *name) return name;
  }
  brlog("SOAP", BRLOG_DEBUG, "XML TAG WITHOUT NAME -- USING 'item'\n");
  return "item";
}

// Leaves an HBListIterator where it started, so that it can be sent again.
void rewind(IHBIter *list) {
  void *ifc = nullptr;
  if (list->getifc(HBTYPE_CID_HBLISTITERATOR, &ifc) == 0) {
    auto *iterator = static_cast<HBListIterator *>(ifc);
    iterator->reset();
    iterator->dnref();
  }
}

void writeListItems(BodyWriter *w, IHBIter *list, int depth) {
  // The name lives as long as the list; the list outlives this call.
  const char *item = itemNameOf(list);
  hbtype_t type = HBTYPE_ANY;
  void *value = nullptr;
  while (w->error() == 0 && list->getNext(&type, &value) >= 0) {
    writeValue(w, item, type, value, depth + 1);
    if (!hbtype__isPlain(type) && value) static_cast<IHBObj *>(value)->dnref();
    type = HBTYPE_ANY;
    value = nullptr;
  }
  rewind(list);
}

// One element: texts escaped, maps and lists nested, serializable objects
// as their fields, anything else as the opaque marker.
void writeValue(BodyWriter *w, const char *name, hbtype_t type, const void *value, int depth) {
  if (depth > HBSOAP_MAX_DEPTH) {
    brlog("SOAP", BRLOG_ERROR, "Argument nested deeper than %d levels!\n", HBSOAP_MAX_DEPTH);
    w->fail(BRERROR_INVALID_ARGUMENT);
    return;
  }
  w->open(name);
  if (type == HBTYPE_STRING || type == 0) {
    w->text(static_cast<const char *>(value));
  } else if (type == HBTYPE_INT || type == HBTYPE_INT32) {
    char number[24];
    snprintf(number, sizeof number, "%lld",
             static_cast<long long>(reinterpret_cast<intptr_t>(value)));
    w->put(number);
  } else if (hbtype__isPlain(type) || !value) {
    w->put(kOpaque);
  } else {
    auto *object = static_cast<IHBObj *>(const_cast<void *>(value));
    void *ifc = nullptr;
    if (object->getifc(HBTYPE_IID_IHBMAP, &ifc) == 0) {
      HBRef<IHBMap> map(static_cast<IHBMap *>(ifc));
      writeMapEntries(w, map.get(), depth);
    } else if (object->getifc(HBTYPE_IID_IHBITER, &ifc) == 0) {
      HBRef<IHBIter> list(static_cast<IHBIter *>(ifc));
      writeListItems(w, list.get(), depth);
    } else if (object->getifc(HBTYPE_IID_IHBRPCSERIALIZABLE, &ifc) == 0) {
      HBRef<IHBRPCSerializable> record(static_cast<IHBRPCSerializable *>(ifc));
      writeSerializable(w, record.get(), depth);
    } else if (object->getifc(HBTYPE_IID_IHBSTR, &ifc) == 0) {
      HBRef<IHBStr> str(static_cast<IHBStr *>(ifc));
      w->text(str->getString());
    } else {
      w->put(kOpaque);
    }
  }
  w->close(name);
}

void writeTextArgument(BodyWriter *w, const char *name, const char *value) {
  char scratch[32];
  brlog("SOAP", BRLOG_DEBUG1, "      '%s' -> '%s'\n", name,
        HBRPCSerialize__loggedValue(name, value, scratch, sizeof scratch));
  w->put("<");
  BRXMLParser__escapeTagToStream(name, BodyWriter::write, w);
  w->put(" xsi:type=\"xsd:string\">");
  w->text(value);
  w->close(name);
}

void writeArgument(BodyWriter *w, const HBSoapArg_s &arg) {
  if (!arg.name) return;
  if (arg.type == HBTYPE_STRING || arg.type == 0) {
    writeTextArgument(w, arg.name, static_cast<const char *>(arg.value));
  } else if ((arg.type == HBTYPE_IID_IHBMAP || arg.type == HBTYPE_IID_IHBITER) && arg.value) {
    brlog("SOAP", BRLOG_DEBUG1, "      '%s' -> (%s)\n", arg.name,
          arg.type == HBTYPE_IID_IHBMAP ? "map" : "list");
    writeValue(w, arg.name, arg.type, arg.value, 1);
  }
}

}  // namespace

brerror_t HBSoap__writeRequestBody(IHBStream *out, const char *method, const HBSoapArg_s *args,
                                   int count, va_list *pairs) {
  auto *w = new (std::nothrow) BodyWriter(out);
  if (!w) return BRERROR_NO_MEMORY;
  w->put(kEnvelopeStart);
  w->put("<");
  w->put(method);
  w->put(kEncodingStyle);
  for (int i = 0; i < count && args; i++) writeArgument(w, args[i]);
  if (pairs) {
    for (;;) {
      const char *name = va_arg(*pairs, const char *);
      if (!name) break;
      const char *value = va_arg(*pairs, const char *);
      writeTextArgument(w, name, value);
    }
  }
  w->put("</");
  w->put(method);
  w->put(">");
  w->put(kEnvelopeEnd);
  brerror_t rc = w->flush();
  int64_t total = w->total();
  delete w;
  return rc < 0 ? rc : static_cast<brerror_t>(total);
}
