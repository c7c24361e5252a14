// Entry of TESSARO.exe: reads the switches, picks the mode (self-test, helper, launch, manager) and
// reports every failure that reaches it in a message box with exit code 1.
#include "activation/launch.hpp"
#include "build_config.hpp"
#include "client/client.hpp"
#include "foundation/changes.hpp"
#include "foundation/disk.hpp"
#include "foundation/error.hpp"
#include "foundation/identity.hpp"
#include "foundation/paths.hpp"
#include "foundation/state_document.hpp"
#include "launcher/replace.hpp"
#include "shell/command_line.hpp"
#include "shell/message_box.hpp"
#include "shell/window.hpp"
#include "trust/envelope.hpp"

#include <commctrl.h>

#include <filesystem>
#include <string>

namespace tess {
namespace {

bool runsAsInstalledLauncher() {
    const std::filesystem::path installed = installedLauncherPath();
    return sameEntry(executablePath(), installed);
}

// A recovery that cannot finish must not lock the user out: after its message the manager opens, where
// the setup that the message asks for can run. An order it set aside as damaged is told in the window.
bool recoverLauncherOrReport(std::string& notice) {
    try {
        const std::filesystem::path damagedOrder = recoverLauncher();
        if (!damagedOrder.empty())
            notice = damagedDocumentNotice(damagedOrder);
        return true;
    } catch (const std::exception& failure) {
        showMessage(nullptr, failure.what(), installerCaption, MB_ICONERROR);
        return false;
    }
}

// Launch mode: true when the application was started and the process may end.
bool tryLaunch() {
    try {
        Client client;
        recoverAfterFailedStart(client);
        launchActive(client);
        return true;
    } catch (const std::exception& failure) {
        showMessage(nullptr, failure.what(), startCaption, MB_ICONINFORMATION);
        return false;
    }
}

int runManager(HINSTANCE instance, int showCommand, const std::string& notice) {
    INITCOMMONCONTROLSEX controls{sizeof(INITCOMMONCONTROLSEX), ICC_LISTVIEW_CLASSES | ICC_PROGRESS_CLASS};
    ::InitCommonControlsEx(&controls);
    HWND window = createMainWindow(instance);
    if (!notice.empty())
        showStatusLine(notice);
    ::ShowWindow(window, showCommand);
    MSG message;
    while (::GetMessageW(&message, nullptr, 0, 0) > 0) {
        if (!::IsDialogMessageW(window, &message)) {
            ::TranslateMessage(&message);
            ::DispatchMessageW(&message);
        }
    }
    joinBackgroundOperation();
    return 0;
}

int run(HINSTANCE instance, int showCommand) {
    observeChanges(build::changeWatch());
    CommandLineOptions& options = processOptions();
    options = parseArguments(splitCommandLine(::GetCommandLineW()));

    if (!options.selfTestResultPath.empty()) {
        writeSelfTestReport(options.selfTestResultPath);
        return 0;
    }
    if (!options.helperMode.empty()) {
        runHelper(options.helperMode, options.parentProcessId);
        return 0;
    }

    KernelHandle instanceMutex = acquireInstanceMutex();
    std::string notice;
    const bool recovered = recoverLauncherOrReport(notice);
    if (recovered && !options.manageRequested && options.requestedReleaseId.empty() &&
        runsAsInstalledLauncher() && tryLaunch())
        return 0;
    return runManager(instance, showCommand, notice);
}

} // namespace
} // namespace tess

int WINAPI wWinMain(HINSTANCE instance, HINSTANCE, PWSTR, int showCommand) {
    try {
        return tess::run(instance, showCommand);
    } catch (const std::exception& failure) {
        tess::showMessage(nullptr, failure.what(), tess::installerCaption, MB_ICONERROR);
        return 1;
    }
}
