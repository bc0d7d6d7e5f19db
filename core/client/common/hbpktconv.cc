#include "hbpktconv.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>

#include "brlog.h"
#include "hblistiter.h"
#include "hbmap.h"
#include "hbserialize.h"
#include "hbstr.h"

namespace {

brerror_t valueToField(HBPKTMessage *message, uint32_t field, hbtype_t type, const void *value,
                       int depth);

brerror_t fillMap(HBPKTMessage *out, IHBMap *map, int depth) {
  brerror_t rc = out->setFieldString(0, "map");
  HBRef<IHBIter> keys;
  if (rc == 0) rc = map->iterateKeys(keys.out());
  uint32_t field = 1;
  hbtype_t keyType = HBTYPE_STRING;
  void *key;
  while (rc == 0 && keys->getNext(&keyType, &key) >= 0) {
    const char *name = static_cast<const char *>(key);
    hbtype_t type = HBTYPE_ANY;
    void *value = nullptr;
    if (map->getAtKey(name, &type, &value) < 0) continue;
    rc = out->setFieldString(field, name);
    if (rc == 0) rc = valueToField(out, field + 1, type, value, depth);
    if (!hbtype__isPlain(type) && value) static_cast<IHBObj *>(value)->dnref();
    field += 2;
  }
  return rc;
}

brerror_t fillList(HBPKTMessage *out, IHBIter *list, int depth) {
  brerror_t rc = out->setFieldString(0, "iter");
  uint32_t field = 1;
  hbtype_t type = HBTYPE_ANY;
  void *value = nullptr;
  while (rc == 0 && list->getNext(&type, &value) >= 0) {
    rc = valueToField(out, field++, type, value, depth);
    if (!hbtype__isPlain(type) && value) static_cast<IHBObj *>(value)->dnref();
    type = HBTYPE_ANY;
    value = nullptr;
  }
  // An HBListIterator is left at its start, to be read again.
  void *ifc = nullptr;
  if (list->getifc(HBTYPE_CID_HBLISTITERATOR, &ifc) == 0) {
    static_cast<HBListIterator *>(ifc)->reset();
    static_cast<HBListIterator *>(ifc)->dnref();
  }
  return rc;
}

brerror_t fillSerializable(HBPKTMessage *out, IHBRPCSerializable *object, int depth) {
  brerror_t rc = out->setFieldString(0, "map");
  const HBRPCSerializableField_s *table = object->getRPCFieldTable();
  for (int i = 0; rc == 0 && table && table[i].name; i++) {
    uint32_t field = 2 * static_cast<uint32_t>(i) + 1;
    rc = out->setFieldString(field, table[i].name);
    if (rc < 0) break;
    hbtype_t type = table[i].type;
    if (type == HBTYPE_STRING || type == HBTYPE_INT || type == HBTYPE_INT32) {
      int32_t length = object->getRPCFieldText(i, nullptr, 0);
      char *text = length >= 0 ? static_cast<char *>(malloc(static_cast<size_t>(length) + 1))
                               : nullptr;
      if (text && object->getRPCFieldText(i, text, length + 1) >= 0) {
        rc = out->setFieldString(field + 1, text);
      } else {
        rc = out->setFieldString(field + 1, "");
      }
      free(text);
    } else if (hbtype__isPlain(type)) {
      rc = out->setFieldString(field + 1, "___UNSUPPORTED_TYPE___");
    } else {
      void *value = nullptr;
      if (object->getRPCFieldObject(i, HBTYPE_ANY, &value) < 0 || !value) {
        rc = out->setFieldString(field + 1, "");
      } else {
        rc = valueToField(out, field + 1, HBTYPE_IID_IHBOBJ, value, depth);
        static_cast<IHBObj *>(value)->dnref();
      }
    }
  }
  return rc;
}

brerror_t valueToField(HBPKTMessage *message, uint32_t field, hbtype_t type, const void *value,
                       int depth) {
  if (type == HBTYPE_STRING || type == 0) {
    return message->setFieldString(field, static_cast<const char *>(value));
  }
  if (type == HBTYPE_UUID) {
    if (!value) return BRERROR_NULL_VALUE;
    return message->setFieldStringN(field, value, 16);
  }
  if (type == HBTYPE_INT || type == HBTYPE_INT32) {
    return message->setFieldSInt(field, static_cast<int64_t>(reinterpret_cast<intptr_t>(value)));
  }
  if (hbtype__isPlain(type) || !value) {
    brlog("PKTCNV", BRLOG_ERROR, "Cannot encode a value of type 0x%x\n", type);
    return BRERROR_UNSUPPORTED;
  }
  if (depth >= HBPKT_MAX_DEPTH) {
    brlog("PKTCNV", BRLOG_ERROR, "Value nested deeper than %d levels!\n", HBPKT_MAX_DEPTH);
    return BRERROR_INVALID_ARGUMENT;
  }
  auto *object = static_cast<IHBObj *>(const_cast<void *>(value));
  void *ifc = nullptr;
  if (object->getifc(HBTYPE_IID_IHBSTR, &ifc) == 0) {
    HBRef<IHBStr> str(static_cast<IHBStr *>(ifc));
    return message->setFieldString(field, str->getString());
  }
  HBRef<HBPKTMessage> nested;
  brerror_t rc = HBPKTMessage::createEmpty(nested.out(), message);
  if (rc < 0) return rc;
  if (object->getifc(HBTYPE_IID_IHBMAP, &ifc) == 0) {
    HBRef<IHBMap> map(static_cast<IHBMap *>(ifc));
    rc = fillMap(nested.get(), map.get(), depth + 1);
  } else if (object->getifc(HBTYPE_IID_IHBITER, &ifc) == 0) {
    HBRef<IHBIter> list(static_cast<IHBIter *>(ifc));
    rc = fillList(nested.get(), list.get(), depth + 1);
  } else if (object->getifc(HBTYPE_IID_IHBRPCSERIALIZABLE, &ifc) == 0) {
    HBRef<IHBRPCSerializable> record(static_cast<IHBRPCSerializable *>(ifc));
    rc = fillSerializable(nested.get(), record.get(), depth + 1);
  } else {
    brlog("PKTCNV", BRLOG_ERROR, "Cannot encode an object of type 0x%x\n", type);
    return BRERROR_UNSUPPORTED;
  }
  if (rc < 0) return rc;
  return message->setFieldMessage(field, nested.get());
}

// The index of the next argument pair of a map message.
uint32_t nextPair(HBPKTMessage *message) {
  uint32_t pair = 0;
  while (message->hasField(2 * pair + 1)) pair++;
  return pair;
}

brerror_t addPair(HBPKTMessage *message, uint32_t *pair, const char *name, hbtype_t type,
                  const void *value) {
  brerror_t rc = BRERROR_NONE;
  if (!message->hasField(0)) rc = message->setFieldString(0, "map");
  if (rc == 0) rc = message->setFieldString(2 * *pair + 1, name);
  if (rc == 0) rc = valueToField(message, 2 * *pair + 2, type, value, 0);
  if (rc == 0) ++*pair;
  return rc;
}

// Decoding.

brerror_t decodeMap(HBPKTMessage *message, HBMap *map, int depth);

brerror_t numberText(const HBPKTValue *value, char *text, size_t size) {
  switch (value->type) {
    case HBPKT_TYPE_UINT:
      snprintf(text, size, "%llu", static_cast<unsigned long long>(value->u));
      return 0;
    case HBPKT_TYPE_SINT:
      snprintf(text, size, "%lld", static_cast<long long>(value->s));
      return 0;
    case HBPKT_TYPE_DOUBLE:
    case HBPKT_TYPE_DOUBLE2:
      snprintf(text, size, "%.17g", value->d);
      return 0;
    default:
      return BRERROR_INVALID_ARGUMENT;
  }
}

// A decoded value as an object for a list: a string object, a child map
// or a list. Null with *rc 0 for a nested message of an unknown kind.
IHBObj *decodeObject(const HBPKTValue *value, HBMap *owner, int depth, brerror_t *rc,
                     hbtype_t *type);

brerror_t decodeList(HBPKTMessage *message, HBMap *owner, int depth, HBListIterator **out) {
  uint32_t count = 0;
  while (message->hasField(count + 1)) count++;
  auto **items = static_cast<IHBObj **>(calloc(count ? count : 1, sizeof(IHBObj *)));
  if (!items) return BRERROR_NO_MEMORY;
  brerror_t rc = BRERROR_NONE;
  hbtype_t common = 0;
  uint32_t got = 0;
  for (uint32_t i = 0; i < count && rc == 0; i++) {
    hbtype_t type = 0;
    IHBObj *item = decodeObject(message->getFieldValue(i + 1, 0), owner, depth, &rc, &type);
    if (!item) continue;
    items[got++] = item;
    common = common == 0 || common == type ? type : HBTYPE_IID_IHBOBJ;
  }
  if (common == 0) common = HBTYPE_IID_IHBOBJ;
  auto *list = rc == 0 ? new (std::nothrow)
                             HBListIterator(nullptr, common, HBLISTITER_OWNS_LIST, nullptr)
                       : nullptr;
  if (rc == 0 && !list) rc = BRERROR_NO_MEMORY;
  for (uint32_t i = 0; i < got; i++) {
    if (list && rc == 0) rc = list->appendChild(items[i]);
    items[i]->dnref();
  }
  free(items);
  if (rc < 0) {
    if (list) list->dnref();
    return rc;
  }
  list->reset();
  *out = list;
  return BRERROR_NONE;
}

IHBObj *decodeObject(const HBPKTValue *value, HBMap *owner, int depth, brerror_t *rc,
                     hbtype_t *type) {
  if (value->type == HBPKT_TYPE_MESSAGE) {
    if (depth >= HBPKT_MAX_DEPTH) {
      *rc = BRERROR_INVALID_ARGUMENT;
      return nullptr;
    }
    HBPKTMessage *nested = value->message;
    const char *kind = nested->getFieldString(0);
    if (kind && strcmp(kind, "map") == 0) {
      HBMap *child = owner->createChild(nullptr);
      if (!child) {
        *rc = BRERROR_NO_MEMORY;
        return nullptr;
      }
      *rc = decodeMap(nested, child, depth + 1);
      *type = HBTYPE_IID_IHBMAP;
      return static_cast<IHBMap *>(child);
    }
    if (kind && strcmp(kind, "iter") == 0) {
      HBListIterator *list = nullptr;
      *rc = decodeList(nested, owner, depth + 1, &list);
      *type = HBTYPE_IID_IHBITER;
      return list ? static_cast<IHBIter *>(list) : nullptr;
    }
    brlog("PKTCNV", BRLOG_WARNING, "Nested message of unknown kind '%s' ignored\n",
          kind ? kind : "");
    return nullptr;
  }
  char number[32];
  const char *text;
  int32_t length;
  if (value->type == HBPKT_TYPE_STRING) {
    text = value->str.bytes;
    length = static_cast<int32_t>(value->str.length);
  } else {
    numberText(value, number, sizeof number);
    text = number;
    length = -1;
  }
  auto *str = new (std::nothrow) HBStrSA(owner->getAllocator(), text, length);
  if (!str || !str->getString()) {
    if (str) str->dnref();
    *rc = BRERROR_NO_MEMORY;
    return nullptr;
  }
  *type = HBTYPE_IID_IHBSTR;
  return static_cast<IHBStr *>(str);
}

brerror_t decodeMap(HBPKTMessage *message, HBMap *map, int depth) {
  const char *kind = message->getFieldString(0);
  if (!kind || strcmp(kind, "map") != 0) {
    brlog("PKTCNV", BRLOG_ERROR, "Supposedly parsing a map-message, but field 0 is '%s'\n",
          kind ? kind : "");
    return BRERROR_INVALID_ARGUMENT;
  }
  for (uint32_t field = 1; message->hasField(field); field += 2) {
    const char *key = message->getFieldString(field);
    if (!key) {
      brlog("PKTCNV", BRLOG_ERROR,
            "Supposedly parsing a map-message, but I have not key at field: %d\n",
            static_cast<int>(field));
      return BRERROR_INVALID_ARGUMENT;
    }
    const HBPKTValue *value = message->getFieldValue(field + 1, 0);
    brerror_t rc;
    if (!value) {
      brlog("PKTCNV", BRLOG_DEBUG,
            "Parsing map out of message, no value specified for field: %d key: %s, assuming "
            "empty string\n",
            static_cast<int>(field), key);
      rc = map->setAtKey(key, HBTYPE_STRING, "", 0);
    } else if (value->type == HBPKT_TYPE_STRING) {
      rc = map->setAtKey(key, HBTYPE_STRING, value->str.bytes, 0);
    } else if (value->type == HBPKT_TYPE_MESSAGE) {
      hbtype_t type = 0;
      rc = BRERROR_NONE;
      IHBObj *object = decodeObject(value, map, depth, &rc, &type);
      if (object) {
        brerror_t stored = map->setAtKey(key, type, object, 0);
        object->dnref();
        if (rc == 0) rc = stored;
      }
    } else {
      char number[32];
      numberText(value, number, sizeof number);
      rc = map->setAtKey(key, HBTYPE_STRING, number, 0);
    }
    if (rc < 0) return rc;
  }
  return BRERROR_NONE;
}

}  // namespace

brerror_t HBPKTConv__soapArgsToMessage(const HBSoapArg_s *args, int count, HBPKTMessage *message) {
  uint32_t pair = nextPair(message);
  for (int i = 0; i < count && args; i++) {
    const HBSoapArg_s &arg = args[i];
    if (!arg.name) continue;
    bool text = arg.type == HBTYPE_STRING || arg.type == 0;
    bool container = arg.type == HBTYPE_IID_IHBMAP || arg.type == HBTYPE_IID_IHBITER;
    if (!text && !(container && arg.value)) continue;
    brerror_t rc = addPair(message, &pair, arg.name, text ? HBTYPE_STRING : arg.type,
                           text && !arg.value ? "" : arg.value);
    if (rc < 0) return rc;
  }
  return BRERROR_NONE;
}

brerror_t HBPKTConv__valistToMessage(va_list list, HBPKTMessage *message) {
  uint32_t pair = nextPair(message);
  for (;;) {
    const char *name = va_arg(list, const char *);
    if (!name) return BRERROR_NONE;
    const char *value = va_arg(list, const char *);
    brerror_t rc = addPair(message, &pair, name, HBTYPE_STRING, value ? value : "");
    if (rc < 0) return rc;
  }
}

brerror_t HBPKTConv__mapToMessage(IHBMap *map, HBPKTMessage *message) {
  if (!map || !message) return BRERROR_INVALID_ARGUMENT;
  return fillMap(message, map, 0);
}

brerror_t HBPKTConv__messageToHBMap(HBPKTMessage *message, HBMap *map) {
  if (!message || !map) return BRERROR_INVALID_ARGUMENT;
  if (!message->hasField(0) && !message->hasField(1)) return BRERROR_NONE;
  return decodeMap(message, map, 0);
}
