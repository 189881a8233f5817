#include "platform/vendor_system.h"

#include <strings.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <mutex>

#include "core/key_value_file.h"

namespace tide {
namespace {

std::mutex g_share_list_mutex;
std::string g_share_list_override;  // guarded by g_share_list_mutex

std::string ShareListPath() {
  std::lock_guard<std::mutex> lock(g_share_list_mutex);
  return g_share_list_override.empty() ? SHARE_LIST_PATH : g_share_list_override;
}

int CopyOut(const std::string& value, char* buffer, size_t size) {
  if (value.size() + 1 > size) return -1;
  memcpy(buffer, value.c_str(), value.size() + 1);
  return 0;
}

// Splits `file_path` into its folder ("" for a bare name) and its name.
bool SplitPath(const std::string& file_path, std::string* dir, std::string* name) {
  std::string path = file_path;
  while (path.size() > 1 && path.back() == '/') path.pop_back();
  size_t slash = path.rfind('/');
  *name = slash == std::string::npos ? path : path.substr(slash + 1);
  *dir = slash == std::string::npos ? "" : path.substr(0, slash + 1);
  return !name->empty() && *name != "/";
}

}  // namespace

int VLIBCFileGetKeyValue(const char* path, const char* key, char* buffer, size_t size, int /*flag*/) {
  if (!path || !key || !buffer || size == 0) return -1;
  KeyValueMap pairs;
  if (ReadKeyValueFile(path, &pairs) < 0) return -1;
  auto it = pairs.find(key);
  if (it == pairs.end()) return 0;
  size_t copied = std::min(it->second.size(), size - 1);
  memcpy(buffer, it->second.data(), copied);
  buffer[copied] = '\0';
  return static_cast<int>(copied) + 1;
}

int VARNShareGet(const char* name, VarnShare** share) {
  if (!name || !share) return -1;
  *share = nullptr;
  KeyValueMap pairs;
  if (ReadKeyValueFile(ShareListPath(), &pairs) < 0) return -1;
  for (const auto& [share_name, path] : pairs) {
    if (strcasecmp(share_name.c_str(), name) != 0 || path.empty() || path[0] != '/') continue;
    *share = new VarnShare{share_name, path};
    return 0;
  }
  return -1;
}

void VARNShareFree(VarnShare* share) { delete share; }

void SetShareListPathForTest(const std::string& path) {
  std::lock_guard<std::mutex> lock(g_share_list_mutex);
  g_share_list_override = path;
}

int VARNEAPath(int /*kind*/, const char* file_path, const char* stream_name, char* buffer, size_t size) {
  std::string dir, name;
  if (!file_path || !stream_name || !buffer || !SplitPath(file_path, &dir, &name)) return -1;
  return CopyOut(dir + "@eaDir/" + name + "@" + stream_name, buffer, size);
}

int VARNEADirPath(int /*kind*/, const char* file_path, char* buffer, size_t size) {
  std::string dir, name;
  if (!file_path || !buffer || !SplitPath(file_path, &dir, &name)) return -1;
  return CopyOut(dir + "@eaDir", buffer, size);
}

}  // namespace tide
