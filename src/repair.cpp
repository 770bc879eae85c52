// The entry point. The outcome box says whether an installation directory
// was found; it deliberately does not say whether a folder was created.
#include "repair.h"

#include <string>

#include "client_locator.h"
#include "messages.h"
#include "patch_folder.h"
#include "registry_route.h"

namespace {

void ShowSuccess() {
    MessageBoxA(nullptr, messages::kSuccessText, messages::kSuccessCaption, MB_OK | MB_ICONINFORMATION);
}

void ShowFailure(const char* text) {
    MessageBoxA(nullptr, text, messages::kFailureCaption, MB_OK | MB_ICONWARNING);
}

}  // namespace

int WINAPI WinMain(HINSTANCE, HINSTANCE, LPSTR, int) {
    const std::string clientPath = FindGameProcessPath();
    if (clientPath.empty()) {
        if (CreatePatchFolderFromRegistry()) {
            ShowSuccess();
        } else {
            ShowFailure(messages::kLauncherHint);
        }
        return 0;
    }

    const std::string::size_type lastBackslash = clientPath.rfind('\\');
    if (lastBackslash == std::string::npos) {
        if (CreatePatchFolderFromRegistry()) {
            ShowSuccess();
        } else {
            ShowFailure(clientPath.c_str());
        }
        return 0;
    }

    RequestPatchFolder(clientPath.substr(0, lastBackslash));
    // The recorded installation may be elsewhere; repair it too.
    CreatePatchFolderFromRegistry();
    ShowSuccess();
    return 0;
}
