// Where the patch folder of an installation directory lives, and the request
// to create it. The result of the request is deliberately not returned: the
// tool reports whether it found a directory, not whether a folder appeared.
#pragma once

#include <string>

// D followed by "\patch", by plain concatenation: nothing is trimmed or added.
std::string PatchFolderPath(const std::string& directory);

// Asks the system to create the patch folder of `directory`, default security.
void RequestPatchFolder(const std::string& directory);
