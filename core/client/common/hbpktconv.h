// hbpktconv: conversions between call arguments or typed maps and packet
// messages.
//
// A map travels as a message whose field 0 is "map" with key/value pairs in
// fields 1/2, 3/4, ...; a list as a message whose field 0 is "iter" with its
// items in fields 1, 2, .... Texts are byte strings, 16-byte identifiers
// 16-byte strings, integers signed-integer records, serializable objects
// maps of their fields. The argument conversions append their pairs after
// those already in the message and set field 0 only when they add one, so
// that a call without arguments has an empty message. Decoded numbers become
// decimal texts. No state; callers serialise use of a message.
#pragma once

#include <cstdarg>

#include "hbpkt.h"
#include "hbsoap.h"

class HBMap;
class IHBMap;

// -16 for a value that has no packet form (the message then holds the
// pairs before it).
brerror_t HBPKTConv__soapArgsToMessage(const HBSoapArg_s *args, int count, HBPKTMessage *message);
// Name/value text pairs up to a null name.
brerror_t HBPKTConv__valistToMessage(va_list list, HBPKTMessage *message);
brerror_t HBPKTConv__mapToMessage(IHBMap *map, HBPKTMessage *message);
// Decodes a map message into `map` (created by the caller; child maps come
// from it). An empty message is an empty map. -6 for a message that is not
// a map or whose key field is not a string; the entries before stay.
brerror_t HBPKTConv__messageToHBMap(HBPKTMessage *message, HBMap *map);
