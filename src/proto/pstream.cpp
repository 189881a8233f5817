#define TIDE_LOG_TAG "stream"
#define TIDE_LOG_COMPONENT "stream"
#include "core/logger.h"

#include "proto/pstream.h"

#include <errno.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <memory>

#include "proto/channel.h"
#include "proto/result_code.h"

// Value-trace lines: DEBUG under the stream component, but without the level
// and line prefix, so that a traced message reads as an indented tree.
#define PTRACE(fmt, ...)                                                                       \
  do {                                                                                         \
    static ::tide::LogSite ptrace_site_;                                                       \
    if (::tide::Logger::Enabled(ptrace_site_, ::tide::LOG_LEVEL_DEBUG, TIDE_LOG_COMPONENT))    \
      ::tide::Logger::Log(::tide::LOG_LEVEL_DEBUG, TIDE_LOG_COMPONENT, fmt "\n", __VA_ARGS__); \
  } while (0)

namespace tide {

namespace {

enum Tag : uint8_t {
  TAG_NULL = 0x00,
  TAG_INTEGER = 0x01,
  TAG_STRING = 0x10,
  TAG_BINARY = 0x30,
  TAG_END = 0x40,
  TAG_ARRAY = 0x41,
  TAG_MAP = 0x42,
};

// Disk full while storing an incoming binary.
constexpr int STREAM_DISK_FULL = -4;
constexpr uint64_t PROGRESS_STEP = 104857600;  // 100 MiB between progress lines
constexpr uint32_t MAX_INDENT_DEPTH = 11;

// A channel failure inside the stream: logged with the channel's code.
int ChannelFailed(int code) {
  TLOG_ERROR("Channel: %d", code);
  return RESULT_IO_ERROR;
}

struct FileCloser {
  void operator()(FILE* fp) const {
    if (fp != nullptr) fclose(fp);
  }
};
using FilePtr = std::unique_ptr<FILE, FileCloser>;

#define CHANNEL_TRY(expr)                   \
  do {                                      \
    int channel_r_ = (expr);                \
    if (channel_r_ < 0) return ChannelFailed(channel_r_); \
  } while (0)

#define STREAM_TRY(expr)       \
  do {                         \
    int stream_r_ = (expr);    \
    if (stream_r_ < 0) return stream_r_; \
  } while (0)

}  // namespace

const char* PStream::Indent() const {
  static const char BLANKS[] = "                      ";  // 2 * MAX_INDENT_DEPTH
  uint32_t d = m_depth < MAX_INDENT_DEPTH ? m_depth : MAX_INDENT_DEPTH;
  return BLANKS + (2 * MAX_INDENT_DEPTH - 2 * d);
}

void PStream::LogErrorStack() {
  std::string text;
  for (const std::string& key : m_error_stack) {
    text += key;
    text += '.';
  }
  TLOG_ERROR("Error stack: %s", text.c_str());
}

int PStream::Send(Channel* channel, const PObject& value) {
  int r = SendValue(channel, value);
  if (r < 0) {
    LogErrorStack();
  } else {
    int f = channel->FlushWrite(0);
    if (f < 0) r = ChannelFailed(f);
  }
  m_error_stack.clear();
  m_depth = 0;
  return r;
}

int PStream::SendString(Channel* channel, const std::string& text) {
  // The length field has 16 bits; a cut length would desynchronise the peer.
  if (text.size() > 0xffff) {
    TLOG_ERROR("PStream: string of %zu bytes is too long to send", text.size());
    return RESULT_PROTOCOL_ERROR;
  }
  CHANNEL_TRY(channel->WriteU8(TAG_STRING));
  CHANNEL_TRY(channel->WriteU16(static_cast<uint16_t>(text.size())));
  if (!text.empty()) CHANNEL_TRY(channel->Write(text.data(), static_cast<uint32_t>(text.size())));
  PTRACE("%s\"%s\"", Indent(), text.c_str());
  return RESULT_OK;
}

int PStream::SendBinary(Channel* channel, const PBinary& binary) {
  // The file is opened before anything goes out, so that a missing file
  // leaves no half-announced value in the stream.
  FilePtr fp(fopen(binary.m_path.c_str(), "rb"));
  if (!fp) {
    TLOG_ERROR("fopen error");
    return -1;
  }
  if (fseeko(fp.get(), static_cast<off_t>(binary.m_offset), SEEK_SET) != 0) {
    TLOG_ERROR("fseek error");
    return -1;
  }
  std::unique_ptr<uint8_t[]> buffer(new (std::nothrow) uint8_t[BINARY_PIECE]);
  if (!buffer) {
    TLOG_ERROR("malloc error");
    return -1;
  }
  CHANNEL_TRY(channel->WriteU8(TAG_BINARY));
  CHANNEL_TRY(channel->WriteU64(binary.m_length));
  uint64_t sent = 0;
  while (sent < binary.m_length) {
    size_t want = static_cast<size_t>(std::min<uint64_t>(binary.m_length - sent, BINARY_PIECE));
    size_t n = fread(buffer.get(), 1, want, fp.get());
    if (n > 0) {
      CHANNEL_TRY(channel->Write(buffer.get(), static_cast<uint32_t>(n)));
      sent += n;
      if (sent % PROGRESS_STEP == 0)
        TLOG_INFO("sending %s ... (%llu / %llu)", binary.m_path.c_str(), static_cast<unsigned long long>(sent),
                  static_cast<unsigned long long>(binary.m_length));
    }
    if (n < want) {
      if (ferror(fp.get())) {
        TLOG_ERROR("fread error");
        return -1;
      }
      // The file ended early: the peer expects the announced length, so the
      // stream cannot be completed.
      TLOG_ERROR("fread error: %s ends after %llu of %llu bytes", binary.m_path.c_str(),
                 static_cast<unsigned long long>(sent), static_cast<unsigned long long>(binary.m_length));
      return -1;
    }
  }
  PTRACE("%sbinary, %llu bytes", Indent(), static_cast<unsigned long long>(sent));
  return RESULT_OK;
}

int PStream::SendValue(Channel* channel, const PObject& value) {
  switch (value.GetKind()) {
    case PObject::KIND_NULL:
      CHANNEL_TRY(channel->WriteU8(TAG_NULL));
      CHANNEL_TRY(channel->WriteU8(0));
      return RESULT_OK;
    case PObject::KIND_INTEGER: {
      uint64_t v = value.AsUInt64();
      uint8_t width = v < 0x100 ? 1 : v < 0x10000 ? 2 : (v >> 32) == 0 ? 4 : 8;
      uint8_t bytes[10];
      bytes[0] = TAG_INTEGER;
      bytes[1] = width;
      for (int i = 0; i < width; ++i) bytes[2 + i] = static_cast<uint8_t>(v >> (8 * (width - 1 - i)));
      CHANNEL_TRY(channel->Write(bytes, 2u + width));
      PTRACE("%s%llu", Indent(), static_cast<unsigned long long>(v));
      return RESULT_OK;
    }
    case PObject::KIND_STRING:
      return SendString(channel, value.AsString());
    case PObject::KIND_BINARY:
      return SendBinary(channel, value.AsBinary());
    case PObject::KIND_MAP: {
      CHANNEL_TRY(channel->WriteU8(TAG_MAP));
      PTRACE("%s{", Indent());
      ++m_depth;
      for (const auto& [key, entry] : value.AsMap()) {
        // Keys stored with a leading "_" go out without it.
        std::string wire_key = !key.empty() && key[0] == '_' ? key.substr(1) : key;
        STREAM_TRY(SendString(channel, wire_key));
        m_error_stack.push_back(wire_key);
        STREAM_TRY(SendValue(channel, entry));
        m_error_stack.pop_back();
      }
      CHANNEL_TRY(channel->WriteU8(TAG_END));
      --m_depth;
      PTRACE("%s}", Indent());
      return RESULT_OK;
    }
    case PObject::KIND_ARRAY: {
      CHANNEL_TRY(channel->WriteU8(TAG_ARRAY));
      PTRACE("%s[", Indent());
      ++m_depth;
      for (const PObject& element : value.AsArray()) STREAM_TRY(SendValue(channel, element));
      CHANNEL_TRY(channel->WriteU8(TAG_END));
      --m_depth;
      PTRACE("%s]", Indent());
      return RESULT_OK;
    }
  }
  TLOG_ERROR("PStream: value of unknown kind %u", static_cast<unsigned>(value.GetKind()));
  return -1;
}

int PStream::Recv(Channel* channel, PObject* value) {
  uint8_t tag = 0;
  int r = channel->ReadU8(&tag);
  if (r < 0)
    r = ChannelFailed(r);
  else
    r = RecvValue(channel, tag, value);
  if (r < 0) LogErrorStack();
  m_error_stack.clear();
  m_depth = 0;
  return r;
}

int PStream::RecvString(Channel* channel, std::string* text) {
  uint16_t length = 0;
  CHANNEL_TRY(channel->ReadU16(&length));
  // At most 64 KiB, and only once the count has arrived.
  text->resize(length);
  if (length > 0) CHANNEL_TRY(channel->Read(text->data(), length));
  return RESULT_OK;
}

int PStream::RecvBinary(Channel* channel, PBinary* binary) {
  uint64_t length = 0;
  CHANNEL_TRY(channel->ReadU64(&length));
  if (binary->m_path.empty()) {
    // Without a directory the file would land in the root directory.
    const std::string& dir = m_temp_dir.empty() ? std::string("/tmp") : m_temp_dir;
    char pattern[4096];
    int n = snprintf(pattern, sizeof(pattern), "%s/XXXXXX", dir.c_str());
    if (n < 0 || static_cast<size_t>(n) >= sizeof(pattern)) {
      TLOG_ERROR("mkstemp: %s (%d)", strerror(ENAMETOOLONG), ENAMETOOLONG);
      return -1;
    }
    int fd = mkstemp(pattern);
    if (fd < 0) {
      TLOG_ERROR("mkstemp: %s (%d)", strerror(errno), errno);
      return -1;
    }
    fsync(fd);
    fchmod(fd, 0644);
    close(fd);
    binary->m_path = pattern;
    binary->m_offset = 0;
    binary->m_length = 0;
  } else {
    TLOG_DEBUG("store binary to %s, offset %llu", binary->m_path.c_str(),
               static_cast<unsigned long long>(binary->m_offset));
  }
  const uint64_t offset = binary->m_offset;
  if (offset != 0 && offset != binary->m_length && truncate(binary->m_path.c_str(), static_cast<off_t>(offset)) < 0) {
    TLOG_ERROR("truncate: %s (%d)", strerror(errno), errno);
    return -1;
  }
  FilePtr fp(fopen(binary->m_path.c_str(), offset == 0 ? "wb" : "ab"));
  if (!fp) {
    TLOG_ERROR("fopen error");
    return -1;
  }
  std::unique_ptr<uint8_t[]> buffer(new (std::nothrow) uint8_t[BINARY_PIECE]);
  if (!buffer) {
    TLOG_ERROR("malloc error");
    return -1;
  }
  uint64_t received = 0;
  int result = RESULT_OK;
  auto write_failed = [&]() {
    int err = errno;
    TLOG_ERROR("store binary to %s: %s (%d)", binary->m_path.c_str(), strerror(err), err);
    return err == ENOSPC ? STREAM_DISK_FULL : -1;
  };
  while (received < length) {
    uint32_t piece = static_cast<uint32_t>(std::min<uint64_t>(length - received, BINARY_PIECE));
    int r = channel->Read(buffer.get(), piece);
    if (r < 0) {
      result = ChannelFailed(r);
      break;
    }
    size_t written = fwrite(buffer.get(), 1, piece, fp.get());
    received += written;
    if (written < piece) {
      result = write_failed();
      break;
    }
    if (received % PROGRESS_STEP == 0)
      TLOG_INFO("receiving %s ... (%llu / %llu)", binary->m_path.c_str(), static_cast<unsigned long long>(received),
                static_cast<unsigned long long>(length));
  }
  errno = 0;
  if (fflush(fp.get()) != 0 && result == RESULT_OK) result = write_failed();
  errno = 0;
  if (fclose(fp.release()) != 0 && result == RESULT_OK) result = write_failed();
  binary->m_offset = offset + received;
  binary->m_length = offset + received;
  PTRACE("%sbinary has been stored at '%s' with length %llu", Indent(), binary->m_path.c_str(),
         static_cast<unsigned long long>(binary->m_length));
  return result;
}

int PStream::RecvValue(Channel* channel, uint8_t tag, PObject* value) {
  switch (tag) {
    case TAG_STRING: {
      std::string& text = value->AsStringRef();
      STREAM_TRY(RecvString(channel, &text));
      PTRACE("%s\"%s\"", Indent(), text.c_str());
      return RESULT_OK;
    }
    case TAG_INTEGER: {
      uint8_t width = 0;
      CHANNEL_TRY(channel->ReadU8(&width));
      if (width > 8) {
        TLOG_ERROR("PStream: integer of %u bytes", static_cast<unsigned>(width));
        return RESULT_PROTOCOL_ERROR;
      }
      uint8_t bytes[8];
      if (width > 0) CHANNEL_TRY(channel->Read(bytes, width));
      uint64_t v = 0;
      for (int i = 0; i < width; ++i) v = (v << 8) | bytes[i];
      *value = PObject(static_cast<unsigned long>(v));
      PTRACE("%s%llu", Indent(), static_cast<unsigned long long>(v));
      return RESULT_OK;
    }
    case TAG_MAP: {
      if (m_depth >= MAX_DEPTH) {
        TLOG_ERROR("PStream: containers nested deeper than %u", MAX_DEPTH);
        return RESULT_PROTOCOL_ERROR;
      }
      PMap& map = value->AsMap();
      PTRACE("%s{", Indent());
      ++m_depth;
      for (;;) {
        uint8_t t = 0;
        CHANNEL_TRY(channel->ReadU8(&t));
        if (t == TAG_END) break;
        if (t != TAG_STRING) {
          TLOG_ERROR("PStream: expect string, but get tag %u", static_cast<unsigned>(t));
          return RESULT_PROTOCOL_ERROR;
        }
        std::string key;
        STREAM_TRY(RecvString(channel, &key));
        PTRACE("%s\"%s\"", Indent(), key.c_str());
        m_error_stack.push_back(key);
        CHANNEL_TRY(channel->ReadU8(&t));
        STREAM_TRY(RecvValue(channel, t, &map[key]));
        m_error_stack.pop_back();
      }
      --m_depth;
      PTRACE("%s}", Indent());
      return RESULT_OK;
    }
    case TAG_ARRAY: {
      if (m_depth >= MAX_DEPTH) {
        TLOG_ERROR("PStream: containers nested deeper than %u", MAX_DEPTH);
        return RESULT_PROTOCOL_ERROR;
      }
      PArray& array = value->AsArray();
      PTRACE("%s[", Indent());
      ++m_depth;
      for (;;) {
        uint8_t t = 0;
        CHANNEL_TRY(channel->ReadU8(&t));
        if (t == TAG_END) break;
        // Appended even when incomplete: what was read so far stays visible
        // to the caller (a received binary names a file it may remove).
        PObject element;
        int r = RecvValue(channel, t, &element);
        array.push_back(std::move(element));
        if (r < 0) return r;
      }
      --m_depth;
      PTRACE("%s]", Indent());
      return RESULT_OK;
    }
    case TAG_BINARY:
      return RecvBinary(channel, &value->AsBinary());
    case TAG_NULL: {
      uint8_t length = 0;
      CHANNEL_TRY(channel->ReadU8(&length));
      if (length != 0) {
        TLOG_ERROR("expect length 0, but we've got %u", static_cast<unsigned>(length));
        return RESULT_PROTOCOL_ERROR;
      }
      value->Clear();
      return RESULT_OK;
    }
    default:
      TLOG_ERROR("PStream: unknown tag %u", static_cast<unsigned>(tag));
      return RESULT_PROTOCOL_ERROR;
  }
}

}  // namespace tide
