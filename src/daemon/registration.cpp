#define TIDE_LOG_TAG "client"
#define TIDE_LOG_COMPONENT "client_debug"
#include "daemon/registration.h"

#include <vector>

#include "core/logger.h"
#include "core/registry.h"
#include "core/user_manager.h"
#include "db/native_client_db.h"
#include "db/progress_cache.h"
#include "detect/watch_interface.h"
#include "event/event_manager.h"
#include "platform/vendor_system.h"

namespace tide {

namespace {

using ull = unsigned long long;

// The root row of a view carries the view id as its node id.
int CreateViewRoot(uint64_t view_id) { return NativeClientDb::Instance().InsertViewRoot(view_id, view_id); }

void PushFirstRescan(uint64_t view_id) { EventManager::GetInstance().PushRescanEvent(view_id, "/", false); }

// Holds the user database open for one registration pass.
class UserDbSession {
 public:
  explicit UserDbSession(const ClientConfig& config) : m_ok(UserManager::Initialize(UserDbPath(config)) == 0) {
    if (!m_ok) TLOG_ERROR("Failed to initialize user library");
  }
  ~UserDbSession() {
    if (m_ok) UserManager::Destroy();
  }
  UserDbSession(const UserDbSession&) = delete;
  UserDbSession& operator=(const UserDbSession&) = delete;
  bool Ok() const { return m_ok; }

 private:
  bool m_ok;
};

// Compares every registered view with its user-database record.
void RecheckRegisteredViews(WatchInterface* watch) {
  Registry& registry = Registry::Instance();
  RegistryEntry entry;
  if (!registry.GetFirst(&entry)) {
    TLOG_DEBUG("Registry is empty");
    return;
  }
  for (bool more = true; more;) {
    // Fetched first: handling the current entry may remove it.
    RegistryEntry next;
    more = registry.GetNext(entry.m_view_id, &next);
    UserInfo info;
    int found = UserManager::GetUserByDefaultView(entry.m_view_id, &info);
    if (found < 0) {
      // A database error says nothing about the view: removing it would
      // delete its records. Leave it as it is.
      TLOG_ERROR("Failed to look up user of view_id %llu, keeping it", static_cast<ull>(entry.m_view_id));
    } else if (found == 0) {
      TLOG_INFO("user of view_id %llu is removed", static_cast<ull>(entry.m_view_id));
      UnregisterView(watch, entry.m_view_id);
    } else if (info.m_attribute & USER_ATTR_DISABLED) {
      TLOG_INFO("user of view_id %llu is disabled", static_cast<ull>(entry.m_view_id));
      watch->RemoveWatch(entry.m_view_id);
    }
    entry = std::move(next);
  }
}

int RegisterOneUser(WatchInterface* watch, const UserInfo& user) {
  Registry& registry = Registry::Instance();
  RegistryEntry existing;
  if (registry.GetByViewId(user.m_view_id, &existing)) {
    TLOG_INFO("Skipping user '%s' (already in registry)", user.m_name.c_str());
    return 0;
  }
  if (CreateViewRoot(user.m_view_id) < 0) {
    TLOG_ERROR("Failed to create view (%llu) in database", static_cast<ull>(user.m_view_id));
    return -1;
  }
  if (!(user.m_attribute & USER_ATTR_DISABLED)) {
    if (watch->AddWatch(user.m_watch_path, user.m_view_id) < 0) {
      TLOG_ERROR("Failed to add watch for user '%s' (%llu) at '%s'", user.m_name.c_str(),
                 static_cast<ull>(user.m_view_id), user.m_watch_path.c_str());
      return -1;
    }
    PushFirstRescan(user.m_view_id);
  }
  // A disabled user is listed too, without a watch, so that the dump shows it.
  registry.Add(user.m_name, 0, user.m_watch_path, user.m_view_id, 0);
  TLOG_INFO("Register user '%s' (with view %llu) at %s", user.m_name.c_str(), static_cast<ull>(user.m_view_id),
            user.m_watch_path.c_str());
  return 0;
}

}  // namespace

std::string UserDbPath(const ClientConfig& config) { return config.m_volume_path + USER_DB_REL_PATH; }

void ForgetView(uint64_t view_id) {
  NativeClientDb& db = NativeClientDb::Instance();
  db.DeleteViewNodes(view_id);
  db.DeleteViewProgress(view_id);
  ProgressCache::Instance().Remove(view_id);
  Registry::Instance().Remove(view_id);
}

void UnregisterView(WatchInterface* watch, uint64_t view_id) {
  watch->RemoveWatch(view_id);
  ForgetView(view_id);
}

int RegisterViews(WatchInterface* watch, const ClientConfig& config) {
  UserDbSession session(config);
  if (!session.Ok()) return -1;
  RecheckRegisteredViews(watch);
  if (RegisterAllUsers(watch, config) < 0) return -1;
  if (RegisterAllShares(watch, config) < 0) return -1;
  return 0;
}

int RegisterAllUsers(WatchInterface* watch, const ClientConfig& config) {
  VarnShare* homes = nullptr;
  if (VARNShareGet("homes", &homes) < 0) {
    // Without user homes the appliance is not set up for this daemon.
    TLOG_ERROR("shared folder 'homes' not found");
    return -1;
  }
  VARNShareFree(homes);

  uint32_t offset = 0;
  for (;;) {
    std::vector<UserInfo> page;
    if (UserManager::EnumUser(&page, USER_PAGE_SIZE, &offset, true) < 0) {
      TLOG_ERROR("Failed to enumerate users");
      return -1;
    }
    for (const UserInfo& user : page) {
      if (RegisterOneUser(watch, user) < 0) return -1;
    }
    if (page.size() != USER_PAGE_SIZE) return 0;
  }
}

int RegisterAllShares(WatchInterface* watch, const ClientConfig& config) {
  std::vector<ShareInfo> shares;
  if (UserManager::EnumShareUser(&shares) < 0) {
    TLOG_ERROR("Failed to enumerat shared folders");
    return -1;
  }
  Registry& registry = Registry::Instance();
  for (const ShareInfo& share : shares) {
    if (share.m_attribute & USER_ATTR_DISABLED) {
      TLOG_INFO("Skipping disabled shared folder '%s'", share.m_name.c_str());
      continue;
    }
    RegistryEntry existing;
    if (registry.GetByViewId(share.m_view_id, &existing)) {
      TLOG_INFO("Skipping shared folder '%s' (already in registry)", share.m_name.c_str());
      continue;
    }
    if (CreateViewRoot(share.m_view_id) < 0) {
      TLOG_ERROR("Failed to create view %llu in database", static_cast<ull>(share.m_view_id));
      return -1;
    }
    if (watch->AddWatch(share.m_watch_path, share.m_view_id) < 0) {
      TLOG_ERROR("Failed to add watch for shared folder '%s' (%llu) at '%s'", share.m_name.c_str(),
                 static_cast<ull>(share.m_view_id), share.m_watch_path.c_str());
      return -1;
    }
    registry.Add(share.m_name, VIEW_ATTR_SHARE, share.m_watch_path, share.m_view_id, 0);
    PushFirstRescan(share.m_view_id);
    TLOG_INFO("Register shared folder '%s' (with view %llu) at %s", share.m_name.c_str(),
              static_cast<ull>(share.m_view_id), share.m_watch_path.c_str());
  }
  return 0;
}

int RegisterShare(WatchInterface* watch, const ClientConfig& config, const std::string& name) {
  UserInfo share;
  if (UserManager::GetShareUser(name, &share) < 0) {
    TLOG_ERROR("Failed to get shared user '%s'", name.c_str());
    return -1;
  }
  if (share.m_view_id == 0) {
    // No such shared folder in the user database: nothing to watch.
    TLOG_ERROR("Failed to get shared user '%s'", name.c_str());
    return -1;
  }
  if (CreateViewRoot(share.m_view_id) < 0) {
    TLOG_ERROR("Failed to create view %llu in database", static_cast<ull>(share.m_view_id));
    return -1;
  }
  if (watch->AddWatch(share.m_watch_path, share.m_view_id) < 0) {
    TLOG_ERROR("Failed to add watch for shared folder '%s' (%llu) at '%s'", share.m_name.c_str(),
               static_cast<ull>(share.m_view_id), share.m_watch_path.c_str());
    return -1;
  }
  Registry::Instance().Add(share.m_name, VIEW_ATTR_SHARE, share.m_watch_path, share.m_view_id, 0);
  PushFirstRescan(share.m_view_id);
  TLOG_INFO("Register shared folder '%s' (with view %llu) at '%s'", share.m_name.c_str(),
            static_cast<ull>(share.m_view_id), share.m_watch_path.c_str());
  return 0;
}

int RegisterUser(WatchInterface* watch, const ClientConfig& config, const std::string& name) {
  UserInfo user;
  if (UserManager::EnumUser(name, &user) < 0 || user.m_view_id == 0) {
    TLOG_ERROR("Failed to get user '%s'", name.c_str());
    return -1;
  }
  if (CreateViewRoot(user.m_view_id) < 0) {
    TLOG_ERROR("Failed to create view (%llu) in database", static_cast<ull>(user.m_view_id));
    return -1;
  }
  if (watch->AddWatch(user.m_watch_path, user.m_view_id) < 0) {
    TLOG_ERROR("Failed to add watch for user '%s' (%llu) at '%s'", user.m_name.c_str(),
               static_cast<ull>(user.m_view_id), user.m_watch_path.c_str());
    return -1;
  }
  PushFirstRescan(user.m_view_id);
  Registry::Instance().Add(user.m_name, 0, user.m_watch_path, user.m_view_id, 0);
  TLOG_INFO("Register user '%s' (with view %llu) at %s", user.m_name.c_str(), static_cast<ull>(user.m_view_id),
            user.m_watch_path.c_str());
  return 0;
}

}  // namespace tide
