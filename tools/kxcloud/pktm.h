// pktm.h - the packet encoding of RPC calls (endpoints whose path holds "/pktm/").
//
// A message is a sequence of records, each a varint key (field * 8 + wire type)
// and its data: 0 unsigned varint, 1 zig-zag signed varint, 2 and 3 an 8-byte
// little-endian double, 4 a length-prefixed byte string, 5 a length-prefixed
// nested message. A map is a message whose field 0 is "map" with key/value
// pairs in fields 1/2, 3/4, ...; a list has "iter" in field 0 and its items in
// fields 1, 2, .... Pure functions, safe from any thread.
#pragma once

#include <cstdint>
#include <string>

#include "value.h"

namespace kxcloud {

// Low-level writers, exposed for tests and for callers building raw messages.
void pktm_put_varint(std::string *out, uint64_t v);
void pktm_put_string(std::string *out, uint32_t field, const std::string &bytes);
void pktm_put_message(std::string *out, uint32_t field, const std::string &message);
void pktm_put_sint(std::string *out, uint32_t field, int64_t v);
void pktm_put_double(std::string *out, uint32_t field, double v);

// Encodes a map value as a map message (texts as byte strings).
std::string pktm_encode_map(const Value &map);

// Decodes a map message (a request's arguments) into name/value pairs. Numbers
// become decimal texts. Fails on truncated records, nesting deeper than 32,
// or a key field that is not a string.
bool pktm_decode_args(const std::string &message, Args *args, std::string *error);

}  // namespace kxcloud
