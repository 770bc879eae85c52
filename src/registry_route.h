// The installation directory the game records in the registry, and the
// fallback repair that creates the patch folder beneath it.
#pragma once

// The recorded "InstallPath", or "" when there is none. Never null. The text
// lives in one static buffer that the next read overwrites; a read that finds
// no path leaves it empty.
const char* ReadInstallPath();

// True when an installation directory is recorded; its patch folder has then
// been requested. Says nothing about whether the folder now exists.
bool CreatePatchFolderFromRegistry();
