// Where a path leads, as a folder descriptor and a name for the *at calls:
// below the installation folder without passing any link, below the package
// folder without passing one where it has none, and past PATH_MAX anywhere.
#ifndef KESTRUNE_PLATFORM_POSIX_PLACES_POSIX_H_
#define KESTRUNE_PLATFORM_POSIX_PLACES_POSIX_H_

#include <fcntl.h>
#include <sys/types.h>

#include <string>
#include <utility>
#include <vector>

#include "platform/platform.h"

namespace kestrune::posix {

// One name and the folder it is looked up in; owns that folder's descriptor
// when it was opened for this place alone.
struct Place {
  Place() = default;
  ~Place();
  Place(const Place&) = delete;
  Place& operator=(const Place&) = delete;

  int folder = AT_FDCWD;
  std::string name;
  int owned = -1;
  bool below_root = false;  // below the installation folder: no link allowed
  // Below the package folder and reached from it without passing a link: the
  // name, opened without following one, is inside the package.
  bool link_free = false;
  // Where the name's room goes back to, for the next place to use: a file
  // takes several places, and their names are mostly too long to be kept
  // without an allocation.
  std::vector<std::string>* spares = nullptr;
};

class Places {
 public:
  Places() = default;
  ~Places();
  Places(const Places&) = delete;
  Places& operator=(const Places&) = delete;

  // Opens the installation's real folder, through links if its own path has
  // them; from then on every path below it is walked from that descriptor,
  // and writes anywhere else are refused.
  FileStatus Confine(const std::string& installation);
  // Opens the package folder, so that its files are reached from it.
  void OpenPackage(const std::string& package);

  // The place of `path`. Below the installation folder, each folder on the
  // way is opened without following a link (a link fails with ELOOP); a
  // path outside it is refused for `writing` once confined (EACCES).
  FileStatus Locate(const std::string& path, bool writing, Place* place);

  // A descriptor of its own of the folder at `path` below the installation
  // or the package folder, walked as Locate walks it (no link on the way);
  // -1 when it cannot be reached so, and the caller goes by path.
  // `below_root`: below the installation; otherwise in the package.
  int HoldFolder(const std::string& path, bool* below_root);

  // A descriptor of the folder at `path`, however long; -1 with errno set.
  int OpenFolder(const std::string& path);

  // One folder of each file system below the installation that a walk has
  // met besides the installation's own (a mount point inside it), so that a
  // flush reaches every device the run wrote to.
  const std::vector<int>& other_devices() const { return other_devices_; }

 private:
  // A folder that paths are walked down from, and the folders below it
  // opened last: files come folder by folder.
  struct Tree {
    int root = -1;
    std::string path;
    std::vector<std::pair<std::string, int>> recent;
    bool Holds(const std::string& target) const;
    void Close();
  };
  // The descriptor of `relative_folder` below the tree's root, walked
  // without following links; -1 with errno set (ELOOP for a link).
  int WalkBelow(Tree& tree, const std::string& relative_folder);
  // Fills `place` for `path` below `tree`; false with errno set.
  bool PlaceBelow(Tree& tree, const std::string& path, Place* place);

  // Notes the device of a folder just opened below the installation.
  void NoteDevice(int folder);

  bool confined_ = false;
  dev_t root_device_ = 0;
  std::vector<dev_t> devices_seen_;
  std::vector<int> other_devices_;
  Tree installation_;
  Tree package_;
};

}  // namespace kestrune::posix

#endif  // KESTRUNE_PLATFORM_POSIX_PLACES_POSIX_H_
