// Stand-ins for the appliance's own system library: key/value files, the
// shared-folder look-up and the attribute companion paths. On the appliance
// these come from the vendor; here they are built on plain files:
//
//  - key/value files use the same reader as the configuration file;
//  - the share list is "/var/packages/Tidewell/etc/shares.conf", one line
//    per shared folder: name = absolute path (e.g. homes=/volume1/homes);
//  - a file's attribute companions are ordinary files in the "@eaDir"
//    folder beside it, "<name>@VarnEAStream" and "<name>@VarnResource".
#pragma once

#include <cstddef>
#include <string>

namespace tide {

constexpr const char* SHARE_LIST_PATH = "/var/packages/Tidewell/etc/shares.conf";

// Copies the value of `key` in the key/value file at `path` into `buffer`
// (NUL-terminated, cut to `size` − 1 bytes). Returns the value's length + 1
// (1 or more) when found, 0 when the key is absent, -1 when the file cannot
// be read or is invalid. `flag` is accepted for the appliance's signature.
int VLIBCFileGetKeyValue(const char* path, const char* key, char* buffer, size_t size, int flag);

struct VarnShare {
  std::string m_name;
  std::string m_path;
};

// Looks up the shared folder `name` (case-insensitive, as share names are on
// the appliance). 0 and a record in *share to free with VARNShareFree, or -1.
int VARNShareGet(const char* name, VarnShare** share);
void VARNShareFree(VarnShare* share);

// Tests point the share look-up at a list of their own; empty restores the
// default.
void SetShareListPathForTest(const std::string& path);

constexpr int VARN_EA_KIND = 1;
constexpr size_t VARN_EA_PATH_MAX = 4096;
// The two companion streams a file may have: Finder information and
// extended attributes, and the resource fork.
constexpr const char* VARN_EA_STREAM_NAME = "VarnEAStream";
constexpr const char* VARN_RESOURCE_STREAM_NAME = "VarnResource";

// Path of the companion `stream_name` ("VarnEAStream" or "VarnResource") of
// `file_path`: <dir>/@eaDir/<name>@<stream_name>. 0, or -1 when the path has
// no file name or does not fit in `size`.
int VARNEAPath(int kind, const char* file_path, const char* stream_name, char* buffer, size_t size);
// The "@eaDir" folder that holds the companions of `file_path`.
int VARNEADirPath(int kind, const char* file_path, char* buffer, size_t size);


}  // namespace tide
