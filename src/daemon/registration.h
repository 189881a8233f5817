// Registration of views from the user database: at start-up and on "reload"
// every enabled user home and shared folder becomes a registered view with
// its watch, its root row in the local database and a first full rescan;
// single users and shares are registered on "reload_list".
//
// Runs on the main thread only, while the other tasks are paused or not yet
// started. `watch` is the change detector (task 0). Every operation returns
// 0, or -1 at the first database or watch failure (views handled before it
// stay registered).
#pragma once

#include <string>

#include "core/client_config.h"

namespace tide {

class WatchInterface;

constexpr uint32_t USER_PAGE_SIZE = 1000;

// Path of the user database of the configured volume.
std::string UserDbPath(const ClientConfig& config);

// Re-checks the registered views against the user database (removed users
// lose their entry and records, disabled ones their watch), then registers
// every user and shared folder not yet registered.
int RegisterViews(WatchInterface* watch, const ClientConfig& config);
// The two enumerations; the user database must be open.
int RegisterAllUsers(WatchInterface* watch, const ClientConfig& config);
int RegisterAllShares(WatchInterface* watch, const ClientConfig& config);
// One shared folder or user home by name, whatever its disabled bit.
int RegisterShare(WatchInterface* watch, const ClientConfig& config, const std::string& name);
int RegisterUser(WatchInterface* watch, const ClientConfig& config, const std::string& name);

// Forgets a view: its local records and progress, its catch-up entry, its
// watch and its registry entry.
void UnregisterView(WatchInterface* watch, uint64_t view_id);
// The same for a view whose watch is already gone (a detector that saw the
// view's folder disappear).
void ForgetView(uint64_t view_id);

}  // namespace tide
