// Looks for the product among the running processes.
#ifndef KESTRUNE_GUARD_RUNNING_CHECK_H_
#define KESTRUNE_GUARD_RUNNING_CHECK_H_

#include <cstdint>
#include <string>
#include <vector>

#include "platform/platform.h"

namespace kestrune {

// True when the image path of a running process, in drive-letter form,
// comparable form and lower case, contains `product_path` in lower case.
// `image` and `id`, when given, receive the matching image path in
// drive-letter form and the process's id.
bool IsProductRunning(ProcessList& processes, const std::wstring& product_path,
                      std::wstring* image = nullptr, uint32_t* id = nullptr);

// The product executable path the check looks for: the installation folder
// and the product's file name in comparable form, lower case.
std::wstring ProductPathOf(ProcessList& processes, const std::wstring& install_folder,
                           const std::wstring& product_name);

// Replaces a leading device path (\Device\HarddiskVolume1) by the drive name
// that stands for it; a path no drive maps is returned as it is.
std::wstring ToDriveForm(const std::wstring& image_path,
                         const std::vector<DriveDevice>& devices);

}  // namespace kestrune

#endif  // KESTRUNE_GUARD_RUNNING_CHECK_H_
