// Feeds arbitrary bytes to the AppleDouble reader: the in-memory parser, the
// file reader's entry reads and the attribute store. Whatever parses must
// also survive a write and a second read with the same contents.
#include <sys/mman.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "core/logger.h"
#include "platform/ea_store.h"
#include "platform/apple_double.h"

namespace {

// Rejections are logged at ERROR; keep the fuzzer's output quiet.
void SilenceLog() {
  char path[] = "/tmp/fuzz-appledouble-levels-XXXXXX";
  int fd = mkstemp(path);
  if (fd < 0) return;
  const char text[] = "ad_converter_debug=0\n";
  if (write(fd, text, sizeof text - 1) < 0) abort();
  close(fd);
  tide::Logger::Initialize(tide::LOG_TYPE_STDERR, "", path, 10);
  unlink(path);
}

void Check(bool condition) {
  if (!condition) abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static bool initialised = (SilenceLog(), true);
  (void)initialised;

  tide::AdContents contents;
  int parsed = tide::ParseAppleDouble(data, size, &contents);
  if (parsed == 0) {
    Check(contents.m_rsrc_offset + contents.m_rsrc_length <= size);
    std::string rebuilt;
    if (tide::BuildAdPrefix(contents.m_finder_info, contents.m_attributes, contents.m_rsrc_length, &rebuilt) == 0) {
      rebuilt.append(reinterpret_cast<const char*>(data) + contents.m_rsrc_offset, contents.m_rsrc_length);
      tide::AdContents again;
      Check(tide::ParseAppleDouble(reinterpret_cast<const uint8_t*>(rebuilt.data()), rebuilt.size(), &again) == 0);
      Check(again.m_finder_info == contents.m_finder_info);
      Check(again.m_attributes.size() == contents.m_attributes.size());
      for (size_t i = 0; i < again.m_attributes.size(); ++i) {
        Check(again.m_attributes[i].m_name == contents.m_attributes[i].m_name);
        Check(again.m_attributes[i].m_value == contents.m_attributes[i].m_value);
      }
      Check(again.m_rsrc_length == contents.m_rsrc_length);
    }
  }

  // The same bytes as a file: the entry reader and the attribute store.
  int fd = memfd_create("appledouble", MFD_CLOEXEC);
  if (fd < 0) return 0;
  if (size > 0 && write(fd, data, size) != static_cast<ssize_t>(size)) {
    close(fd);
    return 0;
  }
  tide::AppleDoubleFile file;
  if (file.Attach(fd) == 0) {
    char buffer[1024];
    for (const tide::AdEntry& entry : file.Header().m_entries) {
      uint64_t done = 0;
      ssize_t n;
      while ((n = file.ReadEntry(entry.m_id, done, buffer, sizeof buffer)) > 0) done += static_cast<uint64_t>(n);
      Check(n == 0 && done == entry.m_length);
    }
    tide::FinderInfo info;
    Check(file.ReadFinderInfo(&info) == 0);
  }
  tide::VarnEAStream* stream = tide::VARNEASOpen(fd, 0);
  Check((stream != nullptr) == (parsed == 0));
  if (stream) {
    tide::VarnSzList* list = tide::VLIBCSzListAlloc(512);
    int count = tide::VARNEASEnum(stream, list);
    Check(count == static_cast<int>(contents.m_attributes.size()));
    for (const std::string& name : list->m_items) Check(tide::VARNEASRead(stream, name.c_str(), nullptr, 0, 0, 1) >= 0);
    tide::VLIBCSzListFree(list);
    tide::VARNEASWrite(stream, "com.example.fuzz", "v", 1, 0, 1);
    if (tide::VARNEASFlush(stream) == 0) {
      tide::VarnEAStream* reread = tide::VARNEASOpen(fd, 0);
      Check(reread != nullptr);
      tide::VARNEASClose(reread);
    }
    tide::VARNEASClose(stream);
  }
  close(fd);
  return 0;
}
