// A scratch folder tree on the real file system for back-end tests.
#ifndef KESTRUNE_TESTS_POSIX_TEMP_TREE_H_
#define KESTRUNE_TESTS_POSIX_TEMP_TREE_H_

#include <sys/stat.h>

#include <map>
#include <string>

namespace kestrune::testing {

class TempTree {
 public:
  TempTree();
  ~TempTree();
  TempTree(const TempTree&) = delete;
  TempTree& operator=(const TempTree&) = delete;

  const std::string& root() const { return root_; }
  std::wstring wroot() const;
  std::string Path(const std::string& relative) const { return root_ + "/" + relative; }
  // Creates the file and any missing parent folders.
  void Write(const std::string& relative, const std::string& content, mode_t mode = 0644);
  void MakeFolder(const std::string& relative);
  std::string Read(const std::string& relative) const;
  bool Exists(const std::string& relative) const;

  // Every file below `relative` (relative path -> content); folders as "/".
  std::map<std::string, std::string> Snapshot(const std::string& relative) const;

 private:
  std::string root_;
};

// Runs `check` in a child process without root's power over permissions, so
// that permission failures happen even when the tests run as root. Returns
// whether it reported success.
bool RunUnprivileged(bool (*check)(const std::string&), const std::string& argument);

}  // namespace kestrune::testing

#endif  // KESTRUNE_TESTS_POSIX_TEMP_TREE_H_
