// Where the daemon keeps its own files on a volume.
//
// "<volume>/@tmp" is the volume's temporary folder, which other programs of
// the appliance use too. Inside it the daemon keeps one work folder (the
// configured name) for upload copies, download temporaries, scratch files
// of the attribute conversion and directories parked for deletion. That
// folder is mode 0700 and root's, so no other user can watch what happens
// in it or place anything there; a work folder that is a link or belongs to
// someone else is refused.
#pragma once

#include <sys/types.h>

#include <map>
#include <string>

#include "core/mutex.h"
#include "core/thread_annotations.h"
#include "fs/view_dir.h"

namespace tide {

struct VolumeLayout {
  std::string m_volume_prefix = "/volume";  // "/volume" + number is a volume's root
  std::string m_work_dir_name = "tide-clientd.tmp.dir";

  std::string VolumeRoot(int volume_id) const;
  std::string TmpPath(int volume_id) const;
  std::string WorkDirPath(int volume_id) const;
};

// "<root>/@tmp" and "<root>/@tmp/<name>" for a volume's root path.
std::string VolumeTmpPath(const std::string& volume_root);
std::string WorkDirPath(const std::string& volume_root, const std::string& work_dir_name);

// Makes the volume's "@tmp" (when missing; 01777, as a temporary folder
// shared by programs should be) and the work folder `work_dir_path`
// ("<volume>/@tmp/<name>") inside it (0700), then holds the work folder in
// `dir`. A work folder with another owner or looser mode is taken back
// (fchown/fchmod through its descriptor). 0, or -1 after an ERROR line.
int OpenWorkDir(const std::string& work_dir_path, ViewDir* dir);

// Empties the work folder held in `work`: at start-up everything in it is
// what an earlier run left when it was killed in the middle of a transfer
// or a removal (copies, download temporaries, parked folders), which no one
// would ever remove otherwise. Call it only while no task of this process
// uses the folder. The number of entries found at its top, or -1 after an
// ERROR line.
int ClearWorkDir(const ViewDir& work);

// The work folders of the volumes, made and checked once. Making and
// checking a work folder takes about a dozen system calls, which every
// upload and download would otherwise pay again; once checked, a folder is
// only opened by its path and recognised by its identity (device and
// inode). Opening it by path is safe: it is root's, mode 0700, in a sticky
// "@tmp", so no other user can rename it away or put another in its place.
// A folder that is no longer the one checked (removed by an administrator
// cleaning "@tmp", or covered by a mount) is made and checked again. No
// descriptor is kept between two opens, so the volume can always be
// unmounted.
class WorkDirCache {
 public:
  // Holds the work folder `work_dir_path` in `dir`. 0, or -1 after an ERROR
  // line.
  int Open(const std::string& work_dir_path, ViewDir* dir);

 private:
  struct Identity {
    dev_t m_dev;
    ino_t m_ino;
  };
  Mutex m_mutex;
  std::map<std::string, Identity> m_checked GUARDED_BY(m_mutex);
};

// The layout set at start-up (volume prefix and work folder name); workers
// and detectors read it.
void SetVolumeLayout(const VolumeLayout& layout);
VolumeLayout CurrentVolumeLayout();

}  // namespace tide
