// Mac metadata conversion between a file's attribute companions and the one
// AppleDouble file per file that the server keeps.
//
// On the appliance a file's Finder information and extended attributes live
// in its "VarnEAStream" companion and its resource fork (with another copy of
// the Finder information) in its "VarnResource" companion; both are
// AppleDouble files in the file's "@eaDir" folder. The server wants a single
// AppleDouble file: header, Finder information with the attributes in its
// "ATTR" section, then the resource fork.
//
// Callers hold the filter lock (LockFilter/UnlockFilter) around a whole
// conversion: the black-list test of attribute names relies on it. The
// converter works by path, so it is only ever given files in the daemon's
// own work folder (copies of a view's companions, never the view's paths);
// its working files live in the scratch folder it is given and are removed
// on every way out.
#pragma once

#include <string>

#include "platform/vendor_system.h"

namespace tide {

// Written into a stream while its attributes are removed, so the stream never
// goes empty half-way.
constexpr const char* PLACEHOLDER_EA_NAME = "com.varnel.dummy";
constexpr const char* PLACEHOLDER_EA_VALUE = "DummyEnt";

// Builds at `copy_path` the AppleDouble file of the companions of `path`.
// With `filter` set, black-listed attribute names are left out. Scratch
// files go to `scratch_dir` (same file system as `path`). 0 or -1.
int Varn2MacEAConvert(const std::string& path, const std::string& copy_path, const std::string& scratch_dir,
                      bool filter = true);

// Turns the AppleDouble file at `ad_path` into the companions of `path`,
// replacing those it has. With `lock` set, the resource companion is written
// inside the converter's critical section. Scratch files go to
// `scratch_dir`. 0 or -1.
int Mac2VarnEAConvert(const std::string& ad_path, const std::string& path, const std::string& scratch_dir,
                      bool lock = true);

// The steps, exposed for tests.

// Writes the 82-byte stream file without attributes. 0 or -1.
int CreatEmptyEAS(const std::string& path);
// True when the stream file exists and holds more than the empty form.
bool VarnEACheck(const std::string& path);
// Removes the black-listed attributes of the stream file at `ea_path`.
int rmBlackEA(const std::string& ea_path);
// Writes the resource fork and Finder information of the resource companion
// of `path` into the AppleDouble file at `ad_path` (which holds a stream
// file). A missing resource companion leaves it as it is. Scratch copies go
// to `tmp_dir`. 0 or -1.
int VarnResource2MacConvert(const std::string& path, const std::string& ad_path, const std::string& tmp_dir);
// Writes the resource companion of `path` from the AppleDouble file at
// `ad_path`: its Finder information and resource fork. 0 or -1.
int Mac2VarnResourceConvert(const std::string& ad_path, const std::string& path);
// Writes the stream companion of `path` from the AppleDouble file at
// `ad_path`: everything before its resource fork, with a fork length of 0.
int Mac2TmpVarnEA(const std::string& ad_path, const std::string& path);
// Makes the stream file at `dst_ea` hold the attributes and Finder
// information of the one at `src_ea`. 0 or -1.
int VarnEACopy(const std::string& src_ea, const std::string& dst_ea);

}  // namespace tide
