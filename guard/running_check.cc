#include "guard/running_check.h"

#include <cstdint>

#include "platform/text.h"

namespace kestrune {

std::wstring ToDriveForm(const std::wstring& image_path,
                         const std::vector<DriveDevice>& devices) {
  for (const DriveDevice& device : devices) {
    const size_t length = device.device.size();
    if (length == 0 || image_path.size() < length) continue;
    // The match must end at a separator, or \Device\HarddiskVolume1 would
    // claim paths on \Device\HarddiskVolume10.
    if (image_path.size() > length && image_path[length] != L'\\') continue;
    if (!EqualsIgnoreAsciiCase(std::wstring_view(image_path).substr(0, length),
                               device.device)) {
      continue;
    }
    return device.drive + image_path.substr(length);
  }
  return image_path;
}

std::wstring ProductPathOf(ProcessList& processes, const std::wstring& install_folder,
                           const std::wstring& product_name) {
  // One form for both sides: a registry path with '/', a doubled separator,
  // a short name or another letter case must still find the product.
  return ToLowerAscii(processes.ComparableProductPath(install_folder, product_name));
}

bool IsProductRunning(ProcessList& processes, const std::wstring& product_path,
                      std::wstring* image, uint32_t* found) {
  const std::wstring wanted = ToLowerAscii(product_path);
  // Built once: the drive table does not change during one scan.
  const std::vector<DriveDevice> devices = processes.DriveDevices();
  std::vector<uint32_t> ids;
  if (!processes.Enumerate(&ids)) return false;
  std::wstring image_path;
  for (uint32_t id : ids) {
    if (!processes.ImagePath(id, &image_path)) continue;
    const std::wstring drive_form = ToDriveForm(image_path, devices);
    if (ToLowerAscii(processes.ComparableImagePath(drive_form)).find(wanted) !=
        std::wstring::npos) {
      if (image != nullptr) *image = drive_form;
      if (found != nullptr) *found = id;
      return true;
    }
  }
  return false;
}

}  // namespace kestrune
