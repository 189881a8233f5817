#define TIDE_LOG_TAG "client"
#define TIDE_LOG_COMPONENT "client_debug"
#include "daemon/registration.h"

#include <cstdarg>
#include <cstdio>
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

// The two kinds of view and the messages each logs while it is registered.
enum ViewKind { VIEW_KIND_USER = 0, VIEW_KIND_SHARE = 1 };

struct ViewKindTexts {
  uint32_t m_attribute;            // registry bits of the kind
  const char* m_already;           // INFO (name): an enumeration meets a registered view
  const char* m_root_failed;       // ERROR (view id)
  const char* m_watch_failed;      // ERROR (name, view id, path)
  const char* m_registered;        // INFO (name, view id, path): from an enumeration
  const char* m_registered_named;  // INFO (name, view id, path): one view by name
};

const ViewKindTexts VIEW_KINDS[] = {
    {0, "Skipping user '%s' (already in registry)", "Failed to create view (%llu) in database",
     "Failed to add watch for user '%s' (%llu) at '%s'", "Register user '%s' (with view %llu) at %s",
     "Register user '%s' (with view %llu) at %s"},
    {VIEW_ATTR_SHARE, "Skipping shared folder '%s' (already in registry)", "Failed to create view %llu in database",
     "Failed to add watch for shared folder '%s' (%llu) at '%s'", "Register shared folder '%s' (with view %llu) at %s",
     "Register shared folder '%s' (with view %llu) at '%s'"},
};

// The kind's texts are not literals, so the usual macros cannot take them;
// the line looks the same as theirs.
void LogKindText(int level, const char* level_name, int line, const char* format, ...)
    __attribute__((format(printf, 4, 5)));
void LogKindText(int level, const char* level_name, int line, const char* format, ...) {
  char message[2048];
  va_list args;
  va_start(args, format);
  vsnprintf(message, sizeof(message), format, args);
  va_end(args);
  Logger::Log(level, TIDE_LOG_COMPONENT, "[%s] " TIDE_LOG_TAG "(%d): %s\n", level_name, line, message);
}

// How a view reached registration.
enum RegisterWay {
  FROM_ENUMERATION,  // start-up or "reload": a registered view is skipped
  BY_NAME,           // "reload_list": registered whatever the registry holds
};

// Registers one view: its root row, its watch, its registry entry and its
// first full rescan, in that order for every kind and every way. A view
// without a watch (a disabled user met by the enumeration) gets its row and
// its entry only. 0, or -1 when the row or the watch could not be made
// (nothing after the failing step is done).
int RegisterView(WatchInterface* watch, ViewKind kind, RegisterWay way, const std::string& name, uint64_t view_id,
                 const std::string& watch_path, bool watched) {
  const ViewKindTexts& texts = VIEW_KINDS[kind];
  Registry& registry = Registry::Instance();
  RegistryEntry existing;
  if (way == FROM_ENUMERATION && registry.GetByViewId(view_id, &existing)) {
    LogKindText(LOG_LEVEL_INFO, "INFO", __LINE__, texts.m_already, name.c_str());
    return 0;
  }
  if (CreateViewRoot(view_id) < 0) {
    LogKindText(LOG_LEVEL_ERROR, "ERROR", __LINE__, texts.m_root_failed, static_cast<ull>(view_id));
    return -1;
  }
  if (watched && watch->AddWatch(watch_path, view_id) < 0) {
    LogKindText(LOG_LEVEL_ERROR, "ERROR", __LINE__, texts.m_watch_failed, name.c_str(), static_cast<ull>(view_id),
                watch_path.c_str());
    return -1;
  }
  // The entry comes before the rescan, so the rescan's event always finds
  // its view. A view registered by name that already has an entry keeps the
  // old one (Add refuses a second).
  registry.Add(name, texts.m_attribute, watch_path, view_id, 0);
  if (watched) PushFirstRescan(view_id);
  LogKindText(LOG_LEVEL_INFO, "INFO", __LINE__, way == BY_NAME ? texts.m_registered_named : texts.m_registered,
              name.c_str(), static_cast<ull>(view_id), watch_path.c_str());
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
      // A disabled user is listed too, without a watch, so that the dump
      // shows it.
      bool enabled = !(user.m_attribute & USER_ATTR_DISABLED);
      if (RegisterView(watch, VIEW_KIND_USER, FROM_ENUMERATION, user.m_name, user.m_view_id, user.m_watch_path,
                       enabled) < 0) {
        return -1;
      }
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
  for (const ShareInfo& share : shares) {
    if (share.m_attribute & USER_ATTR_DISABLED) {
      TLOG_INFO("Skipping disabled shared folder '%s'", share.m_name.c_str());
      continue;
    }
    if (RegisterView(watch, VIEW_KIND_SHARE, FROM_ENUMERATION, share.m_name, share.m_view_id, share.m_watch_path,
                     true) < 0) {
      return -1;
    }
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
  return RegisterView(watch, VIEW_KIND_SHARE, BY_NAME, share.m_name, share.m_view_id, share.m_watch_path, true);
}

int RegisterUser(WatchInterface* watch, const ClientConfig& config, const std::string& name) {
  UserInfo user;
  if (UserManager::EnumUser(name, &user) < 0 || user.m_view_id == 0) {
    TLOG_ERROR("Failed to get user '%s'", name.c_str());
    return -1;
  }
  return RegisterView(watch, VIEW_KIND_USER, BY_NAME, user.m_name, user.m_view_id, user.m_watch_path, true);
}

}  // namespace tide
