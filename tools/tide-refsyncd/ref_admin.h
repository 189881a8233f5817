// The admin command line: acts on the server's history and store the way a
// remote client would (its writes are changes with sync ids of their own and
// reach the appliance through pull events), and prints what the server holds.
// Safe to run while the server serves the same files.
#pragma once

#include <cstdio>
#include <string>
#include <vector>

namespace tide {

class RefStore;

// Usage text of the admin commands.
const char* RefAdminUsage();

// Runs one command (args[0] is its name) → process exit status: 0 done,
// 1 refused or failed (reason on `err`), 2 bad usage.
int RunRefAdmin(RefStore* store, const std::vector<std::string>& args, FILE* out, FILE* err);

}  // namespace tide
