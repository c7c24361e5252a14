#include "shell/window.hpp"

#include "client/client.hpp"
#include "foundation/error.hpp"
#include "foundation/text.hpp"
#include "shell/message_box.hpp"
#include "shell/notices.hpp"
#include "shell/operations.hpp"
#include "shell/progress_text.hpp"
#include "shell/version_list.hpp"
#include "trust/envelope.hpp"

#include <commctrl.h>
#include <pthread.h>

#include <array>
#include <atomic>
#include <functional>
#include <memory>
#include <string>
#include <thread>

namespace tess {
namespace {

constexpr UINT startupOperationMessage = WM_APP + 1;
constexpr UINT progressMessage = WM_APP + 10;
constexpr UINT operationDoneMessage = WM_APP + 11;
constexpr UINT_PTR workerWatchTimer = 1;

enum ControlId : int {
    signInButton = 101,
    loadButton = 102,
    snapshotsBox = 103,
    desktopBox = 104,
    versionListId = 105,
    installButton = 110,
    startButton = 111,
    repairButton = 112,
    uninstallButton = 113,
    closeButton = 114,
    noticesButton = 115,
};

struct ProgressRecord {
    std::string text;
    std::uint64_t done;
    std::uint64_t total;
};

// Window state; touched on the main thread only (the client's progress flag excepted).
struct WindowState {
    HWND window = nullptr;
    HWND list = nullptr;
    HWND status = nullptr;
    HWND progressBar = nullptr;
    std::array<HWND, 8> operationControls{};
    HFONT font = nullptr;
    std::unique_ptr<Client> client;
    std::vector<Json> versionRows;
    std::thread worker;
    bool operationRunning = false;
    // Numbers the operations, so that a late done message never ends a later operation.
    WPARAM operationNumber = 0;
    // Written by the worker as its last step, read once its thread has ended.
    std::atomic<bool> endedInstallation = false;
    bool closeRequested = false;
    // After the first stage of an uninstall only closing (and the notices) remain: the folders are
    // about to go, nothing may be loaded or installed into them.
    bool uninstalled = false;
};

WindowState& state() {
    static WindowState windowState;
    return windowState;
}

// The controls the window keeps handles of besides the eight operation controls.
enum class Kept { no, versionList, statusLine, progressBar };

struct ControlLayout {
    const wchar_t* className;
    const char* text;
    DWORD style;
    int x, y, width, height, id;
    Kept kept = Kept::no;
};

// The operation controls are created disabled: the window is busy from its creation until its start-up
// operation ends. A click handled before that operation began asked its question, the start-up operation
// began meanwhile, and the answered operation was dropped without a word.
const ControlLayout controlLayouts[] = {
    {L"STATIC", "TESSARO · Software und Versionen", 0, 24, 20, 700, 32, 0},
    {L"BUTTON", "Lizenzen", BS_PUSHBUTTON, 760, 20, 124, 30, noticesButton},
    {L"STATIC",
     "Installiere freigegebene Software. Bestehende Projekte, Konten und Lizenzen bleiben erhalten.", 0, 24,
     55, 855, 40, 0},
    {L"BUTTON", "Bei CORVALIS anmelden", BS_PUSHBUTTON | WS_DISABLED, 24, 101, 225, 35, signInButton},
    {L"BUTTON", "Versionen laden", BS_PUSHBUTTON | WS_DISABLED, 265, 101, 165, 35, loadButton},
    {L"BUTTON", "Snapshots anzeigen", BS_AUTOCHECKBOX | WS_DISABLED, 452, 103, 230, 32, snapshotsBox},
    {L"BUTTON", "Desktopverknüpfung", BS_AUTOCHECKBOX | WS_DISABLED, 690, 103, 220, 32, desktopBox},
    {WC_LISTVIEWW, "", WS_BORDER | LVS_REPORT | LVS_SINGLESEL | LVS_SHOWSELALWAYS, 24, 152, 860, 265,
     versionListId, Kept::versionList},
    {L"STATIC", "Installierte Versionen sind auch ohne Internet startbar. Für neue Downloads bitte anmelden.",
     0, 24, 431, 860, 55, 0, Kept::statusLine},
    {PROGRESS_CLASSW, "", PBS_SMOOTH, 24, 490, 860, 18, 0, Kept::progressBar},
    {L"BUTTON", "Installieren / wechseln", BS_DEFPUSHBUTTON | WS_DISABLED, 24, 527, 195, 38, installButton},
    {L"BUTTON", "Ausgewählte starten", BS_PUSHBUTTON | WS_DISABLED, 231, 527, 195, 38, startButton},
    {L"BUTTON", "Reparieren", BS_PUSHBUTTON | WS_DISABLED, 438, 527, 130, 38, repairButton},
    {L"BUTTON", "Deinstallieren", BS_PUSHBUTTON | WS_DISABLED, 580, 527, 142, 38, uninstallButton},
    {L"BUTTON", "Schließen", BS_PUSHBUTTON, 744, 527, 140, 38, closeButton},
};

HWND createControl(HWND parent, const ControlLayout& layout, HFONT font) {
    HWND control = ::CreateWindowExW(
        0, layout.className, toWide(layout.text).c_str(), WS_CHILD | WS_VISIBLE | layout.style, layout.x,
        layout.y, layout.width, layout.height, parent,
        reinterpret_cast<HMENU>(static_cast<INT_PTR>(layout.id)), ::GetModuleHandleW(nullptr), nullptr);
    ::SendMessageW(control, WM_SETFONT, reinterpret_cast<WPARAM>(font), TRUE);
    return control;
}

void addListColumns(HWND list) {
    ::SendMessageW(list, LVM_SETEXTENDEDLISTVIEWSTYLE, 0, LVS_EX_FULLROWSELECT | LVS_EX_DOUBLEBUFFER);
    const std::pair<const char*, int> columns[] = {
        {"Version", 230}, {"Build", 250}, {"Kanal", 170}, {"Auf diesem PC", 170}};
    for (int i = 0; i < 4; ++i) {
        std::wstring text = toWide(columns[i].first);
        LVCOLUMNW column{};
        column.mask = LVCF_WIDTH | LVCF_TEXT | LVCF_FMT;
        column.fmt = LVCFMT_LEFT;
        column.cx = columns[i].second;
        column.pszText = text.data();
        ::SendMessageW(list, LVM_INSERTCOLUMNW, i, reinterpret_cast<LPARAM>(&column));
    }
}

void createControls(HWND window) {
    WindowState& s = state();
    s.font = ::CreateFontW(-16, 0, 0, 0, FW_NORMAL, FALSE, FALSE, FALSE, DEFAULT_CHARSET, OUT_DEFAULT_PRECIS,
                           CLIP_DEFAULT_PRECIS, CLEARTYPE_QUALITY, DEFAULT_PITCH | FF_DONTCARE, L"Segoe UI");
    for (const ControlLayout& layout : controlLayouts) {
        HWND control = createControl(window, layout, s.font);
        if (layout.kept == Kept::versionList)
            s.list = control;
        else if (layout.kept == Kept::statusLine)
            s.status = control;
        else if (layout.kept == Kept::progressBar)
            s.progressBar = control;
    }
    addListColumns(s.list);
    const int operationIds[] = {signInButton,  loadButton,  snapshotsBox, desktopBox,
                                installButton, startButton, repairButton, uninstallButton};
    for (size_t i = 0; i < s.operationControls.size(); ++i)
        s.operationControls[i] = ::GetDlgItem(window, operationIds[i]);
}

void setMarquee(bool on) {
    HWND bar = state().progressBar;
    LONG_PTR style = ::GetWindowLongPtrW(bar, GWL_STYLE);
    bool isOn = (style & PBS_MARQUEE) != 0;
    if (on == isOn)
        return;
    if (on) {
        ::SetWindowLongPtrW(bar, GWL_STYLE, style | PBS_MARQUEE);
        ::SendMessageW(bar, PBM_SETMARQUEE, 1, 40);
    } else {
        ::SendMessageW(bar, PBM_SETMARQUEE, 0, 0);
        ::SetWindowLongPtrW(bar, GWL_STYLE, style & ~static_cast<LONG_PTR>(PBS_MARQUEE));
    }
}

void setStatus(const std::string& text) {
    ::SetWindowTextW(state().status, toDisplayText(text).c_str());
}

void enableOperationControls(bool enabled) {
    for (HWND control : state().operationControls)
        ::EnableWindow(control, enabled);
}

void postProgress(const std::string& text, std::uint64_t done, std::uint64_t total) {
    auto record = std::make_unique<ProgressRecord>(ProgressRecord{text, done, total});
    if (::PostMessageW(state().window, progressMessage, 0, reinterpret_cast<LPARAM>(record.get())))
        record.release();
}

// The done message carries the operation's number and whether it ended the installation (the first
// uninstall stage).
void runOperation(const std::function<void()>& operation, bool endsInstallation, WPARAM number) {
    bool ended = false;
    try {
        operation();
        ended = endsInstallation;
    } catch (const std::exception& failure) {
        postProgress(failure.what(), 0, 0);
    }
    state().endedInstallation.store(ended);
    ::PostMessageW(state().window, operationDoneMessage, number, ended ? 1 : 0);
}

void startOperation(std::function<void()> operation, bool endsInstallation = false) {
    WindowState& s = state();
    if (s.operationRunning)
        return;
    require(s.client != nullptr, "Die Versionsverwaltung ist nicht bereit. Bitte das Programm neu starten.");
    if (s.worker.joinable())
        s.worker.join();
    s.operationRunning = true;
    ++s.operationNumber;
    s.endedInstallation.store(false);
    s.client->progress.cancelled.store(false);
    enableOperationControls(false);
    setMarquee(true);
    try {
        s.worker = std::thread(runOperation, std::move(operation), endsInstallation, s.operationNumber);
    } catch (...) {
        // Without a thread nothing will end the operation: the window returns to idle at once and the
        // error reaches the information box.
        s.operationRunning = false;
        setMarquee(false);
        enableOperationControls(true);
        throw;
    }
}

void onProgress(const ProgressRecord* record) {
    std::unique_ptr<const ProgressRecord> owned(record);
    WindowState& s = state();
    if (!s.closeRequested)
        setStatus(progressText(record->text, record->done, record->total));
    setMarquee(s.operationRunning && record->total == 0);
    if (record->total != 0)
        ::SendMessageW(s.progressBar, PBM_SETPOS, progressPercent(record->done, record->total), 0);
}

void onOperationDone(WPARAM number, bool endedInstallation) {
    WindowState& s = state();
    if (!s.operationRunning || number != s.operationNumber)
        return;
    if (s.worker.joinable())
        s.worker.join();
    s.operationRunning = false;
    s.uninstalled = s.uninstalled || endedInstallation;
    setMarquee(false);
    enableOperationControls(!s.uninstalled);
    // A closing window is not refilled: a failing rebuild must never keep it from closing.
    if (s.closeRequested) {
        ::DestroyWindow(s.window);
        return;
    }
    rebuildVersionList(s.list, *s.client, s.versionRows);
}

// An operation ends with its done message. Under Wine a window was seen busy for minutes with its worker
// thread gone, so the window also watches the worker's end.
void onWorkerWatch() {
    WindowState& s = state();
    if (s.operationRunning && s.worker.joinable() &&
        ::WaitForSingleObject(pthread_gethandle(s.worker.native_handle()), 0) == WAIT_OBJECT_0)
        onOperationDone(s.operationNumber, s.endedInstallation.load());
}

void onClose() {
    WindowState& s = state();
    if (!s.operationRunning) {
        ::DestroyWindow(s.window);
        return;
    }
    s.client->progress.cancelled.exchange(true);
    s.closeRequested = true;
    setStatus("Vorgang wird sicher beendet. Vollständige Installationen bleiben erhalten …");
}

void onCreate(HWND window) {
    WindowState& s = state();
    s.window = window;
    createControls(window);
    try {
        s.client = std::make_unique<Client>();
        s.client->progress.report = postProgress;
    } catch (const std::exception& failure) {
        showMessage(window, failure.what(), windowCaption, MB_ICONINFORMATION);
        return;
    }
    // Only the end of the start-up operation enables the controls: a list that cannot be filled must not
    // keep the user from repairing, installing or uninstalling.
    ::PostMessageW(window, startupOperationMessage, 0, 0);
    ::SetTimer(window, workerWatchTimer, 500, nullptr);
    try {
        rebuildVersionList(s.list, *s.client, s.versionRows);
    } catch (const std::exception& failure) {
        showMessage(window, failure.what(), windowCaption, MB_ICONINFORMATION);
    }
}

void askAndUninstall(HWND window) {
    int answer = ::MessageBoxW(
        window,
        toWide(
            "Alle verwalteten Programmversionen entfernen? Projekte, lokale Konten und Lizenzdaten bleiben "
            "erhalten.")
            .c_str(),
        L"TESSARO deinstallieren", MB_ICONQUESTION | MB_YESNO);
    if (answer == IDYES)
        startOperation([] { runUninstallOperation(*state().client); }, true);
}

void onCommand(HWND window, int id) {
    WindowState& s = state();
    switch (id) {
    case signInButton:
        startOperation([window] { runSignInOperation(*state().client, window); });
        break;
    case loadButton:
    case snapshotsBox:
        startOperation([window] { runLoadVersionsOperation(*state().client, window); });
        break;
    case installButton:
    case repairButton: {
        std::string releaseId = selectedReleaseId(s.list, s.versionRows);
        startOperation([window, releaseId] { runInstallSequence(*state().client, window, releaseId); });
        break;
    }
    case startButton: {
        std::string releaseId = selectedReleaseId(s.list, s.versionRows);
        startOperation([releaseId] { runStartOperation(*state().client, releaseId); });
        break;
    }
    case uninstallButton:
        askAndUninstall(window);
        break;
    case closeButton:
        ::SendMessageW(window, WM_CLOSE, 0, 0);
        break;
    case noticesButton:
        require(s.client != nullptr,
                "Die Versionsverwaltung ist nicht bereit. Bitte das Programm neu starten.");
        showNotices(window, s.client->dataRoot);
        break;
    default:
        break;
    }
}

LRESULT handle(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    switch (message) {
    case WM_CREATE:
        onCreate(window);
        return 0;
    case WM_COMMAND:
        onCommand(window, LOWORD(wParam));
        return 0;
    case WM_CLOSE:
        onClose();
        return 0;
    case WM_DESTROY:
        ::DeleteObject(state().font);
        ::PostQuitMessage(0);
        return 0;
    case startupOperationMessage:
        startOperation([window] { runStartupOperation(*state().client, window); });
        return 0;
    case progressMessage:
        onProgress(reinterpret_cast<const ProgressRecord*>(lParam));
        return 0;
    case operationDoneMessage:
        onOperationDone(wParam, lParam != 0);
        return 0;
    case WM_TIMER:
        if (wParam == workerWatchTimer)
            onWorkerWatch();
        return 0;
    default:
        return ::DefWindowProcW(window, message, wParam, lParam);
    }
}

LRESULT CALLBACK proc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    try {
        return handle(window, message, wParam, lParam);
    } catch (const std::exception& failure) {
        showMessage(window, failure.what(), windowCaption, MB_ICONINFORMATION);
        return ::DefWindowProcW(window, message, wParam, lParam);
    }
}

} // namespace

HWND createMainWindow(HINSTANCE instance) {
    WNDCLASSW windowClass{};
    windowClass.lpfnWndProc = proc;
    windowClass.hInstance = instance;
    windowClass.hCursor = ::LoadCursorW(nullptr, IDC_ARROW);
    windowClass.hbrBackground = reinterpret_cast<HBRUSH>(COLOR_WINDOW + 1);
    windowClass.lpszClassName = windowClassName;
    ::RegisterClassW(&windowClass);

    const std::wstring title = toWide("TESSARO Setup und Versionsverwaltung " + std::string(launcherVersion));
    HWND window =
        ::CreateWindowExW(0, windowClassName, title.c_str(), WS_CAPTION | WS_SYSMENU | WS_MINIMIZEBOX,
                          CW_USEDEFAULT, CW_USEDEFAULT, 928, 620, nullptr, nullptr, instance, nullptr);
    require(window != nullptr, "Installeroberfläche konnte nicht geöffnet werden.");
    return window;
}

void showStatusLine(const std::string& text) {
    setStatus(text);
}

void joinBackgroundOperation() {
    if (state().worker.joinable())
        state().worker.join();
}

} // namespace tess
