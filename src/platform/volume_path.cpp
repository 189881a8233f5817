#include "platform/volume_path.h"

#include <string>

#include "platform/vendor_system.h"

namespace tide {

int LoadVolumePath(ClientConfig& config) {
  char value[256];
  if (VLIBCFileGetKeyValue(DB_PATH_CONF, "db-vol", value, sizeof value, 1) >= 1) {
    config.m_volume_path = value;
    return 0;
  }
  VarnShare* homes = nullptr;
  if (VARNShareGet("homes", &homes) == 0) {
    const std::string& share_path = homes->m_path;
    size_t slash = share_path.rfind('/');
    config.m_volume_path = slash == std::string::npos ? "" : share_path.substr(0, slash);
    VARNShareFree(homes);
    return 0;
  }
  return -1;
}

}  // namespace tide
