// Patch folder path and its creation request.
#include "patch_folder.h"

#include <windows.h>

std::string PatchFolderPath(const std::string& directory) { return directory + "\\patch"; }

void RequestPatchFolder(const std::string& directory) {
    CreateDirectoryA(PatchFolderPath(directory).c_str(), nullptr);
}
