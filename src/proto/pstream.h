// Tagged binary encoding of one PObject over a Channel: the message format of
// the local sockets. One PStream per exchange; no locks.
//
// Tags: 00 null (+ length byte 0), 01 integer (+ length byte n ≤ 8, n bytes),
// 10 string (+ u16 length, bytes), 30 binary (+ u64 length, file bytes),
// 41 array / 42 map (elements or key/value pairs, then 40).
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "proto/pobject.h"

namespace tide {

class Channel;

class PStream {
 public:
  // Containers nested deeper than this on input are a format error: the
  // nesting costs stack and memory the sender does not pay for.
  static constexpr uint32_t MAX_DEPTH = 64;
  // Piece size of binary transfers (one channel block).
  static constexpr uint32_t BINARY_PIECE = 81920;

  // Writes `value` and flushes → 0, -1 (local file trouble), -2 (channel),
  // -5 (a string longer than 65535 bytes).
  int Send(Channel* channel, const PObject& value);
  // Reads one value into `value` → 0, -1, -2, -4 (disk full while storing a
  // binary), -5 (format error). A binary is stored in the file its PBinary
  // already names (from its offset on) or in a new file of the temporary
  // directory.
  int Recv(Channel* channel, PObject* value);
  void SetTempDir(const std::string& dir) { m_temp_dir = dir; }
  const std::string& GetTempDir() const { return m_temp_dir; }

 private:
  int SendValue(Channel* channel, const PObject& value);
  int SendString(Channel* channel, const std::string& text);
  int SendBinary(Channel* channel, const PBinary& binary);
  int RecvValue(Channel* channel, uint8_t tag, PObject* value);
  int RecvString(Channel* channel, std::string* text);
  int RecvBinary(Channel* channel, PBinary* binary);
  void LogErrorStack();
  const char* Indent() const;

  std::vector<std::string> m_error_stack;
  uint32_t m_depth = 0;
  std::string m_temp_dir;
};

}  // namespace tide
