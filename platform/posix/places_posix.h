// Where a path leads, as a folder descriptor and a name for the *at calls:
// below the installation folder without passing any link, and past PATH_MAX
// anywhere.
#ifndef KESTRUNE_PLATFORM_POSIX_PLACES_POSIX_H_
#define KESTRUNE_PLATFORM_POSIX_PLACES_POSIX_H_

#include <fcntl.h>

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
};

class Places {
 public:
  Places() = default;
  ~Places();
  Places(const Places&) = delete;
  Places& operator=(const Places&) = delete;

  // Opens the installation's real folder, through links if its own path has
  // them; from then on every path below it is walked from that descriptor.
  FileStatus Confine(const std::string& installation);

  // The place of `path`. Below the installation folder, each folder on the
  // way is opened without following a link (a link fails with ELOOP); a
  // path outside it is refused for `writing` once confined (EACCES).
  FileStatus Locate(const std::string& path, bool writing, Place* place);

  // A descriptor of the folder at `path`, however long; -1 with errno set.
  int OpenFolder(const std::string& path);

  int root() const { return root_; }

 private:
  int WalkBelowRoot(const std::string& relative_folder);
  int Remember(const std::string& relative_folder, int fd);

  bool confined_ = false;
  int root_ = -1;
  std::string root_path_;
  // The folders below the root opened last: files come folder by folder.
  std::vector<std::pair<std::string, int>> recent_;
};

}  // namespace kestrune::posix

#endif  // KESTRUNE_PLATFORM_POSIX_PLACES_POSIX_H_
