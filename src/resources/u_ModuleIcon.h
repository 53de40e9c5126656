#pragma once
// What the e-book workflow takes of a module's icon group: the image at the standard icon
// size, and the whole group, each as a complete .ico file image.

#include "resources/u_PEModule.h"

#include <string>

// The size the system draws icons at.
inline constexpr int StandardIconSize = 32;

// The icon group groupName of module with every image it lists, as an .ico file image. Empty
// when the module has no such group, the group record is damaged, or none of its images is
// there (as the platform gives no icon then).
std::string LoadModuleIconGroup(const TPEModule& module, const std::string& groupName);

// The one image of the group at size x size pixels (the nearest size when the group has none
// of that size; the deepest colour among equals), as an .ico file image; empty as above.
std::string LoadModuleIcon(const TPEModule& module, const std::string& groupName,
                           int size = StandardIconSize);
