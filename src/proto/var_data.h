// String encoding of the server exchanges (a u16 byte count and the bytes)
// and the framing limits shared by the messages.
#pragma once

#include <cstdint>
#include <string>

namespace tide {

class Channel;

// Longest string a message accepts from the server, in bytes.
constexpr uint32_t MAX_WIRE_STRING = 8192;

// Writes a u16 count and the bytes → 0 or a channel code; -4 without data or
// with a negative length; -5 when the length does not fit the 16-bit count.
int WriteVarData(Channel* channel, const void* data, int64_t length);
int WriteString(Channel* channel, const std::string& text);
// Reads one str16 into `buffer` → byte count or a code; -5 when the count
// exceeds `capacity` (the data bytes are then left unread).
int ReadVarData(Channel* channel, void* buffer, uint32_t capacity);
// Reads one str16 of at most MAX_WIRE_STRING bytes; the text ends at its
// first zero byte, though all bytes are consumed → byte count or a code.
int ReadString(Channel* channel, std::string* text);

}  // namespace tide
