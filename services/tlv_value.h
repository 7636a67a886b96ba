// Bounded readers of TLV child values, for the handlers and response
// decoders: a value is read only within its own length, whatever width the
// message layout promises, and texts come out NUL-terminated and bounded,
// ready for logging with %s. Pure functions; any thread.
#pragma once

#include "ryn_tlv.h"

#include <cstddef>
#include <cstdint>
#include <string>

namespace ryn::services {

// An integer value of 1 to 4 bytes, least significant first; fewer bytes
// than the layout's width are zero-extended. False (value untouched) when
// the node is null, has no value, or holds more than 4 bytes.
bool tlvInteger(const sTLV_TREE_NODE *node, uint32_t &value);

// Copies a text value into out: stops at the value's first NUL, its end,
// or capacity - 1 bytes, and always terminates. Returns the characters
// copied (0 for a null node or no value). capacity 0 copies nothing.
size_t tlvText(const sTLV_TREE_NODE *node, char *out, size_t capacity);

// The same as a string of at most maxLength characters.
std::string tlvString(const sTLV_TREE_NODE *node, size_t maxLength);

// The first child of parent with the tag, or null.
const sTLV_TREE_NODE *tlvChild(const sTLV_TREE_NODE *parent, uint32_t tag);

}  // namespace ryn::services
