// Reads and drives the version manager window of another process: control texts, list-view rows,
// button clicks by control id, as a user (or a screen reader) would see them.
#pragma once

#include <windows.h>

#include <string>
#include <vector>

namespace tess::test {

HWND findManagerWindow(DWORD timeoutMs);
// The manager window of that process, or null (other processes' windows of the class are passed by).
HWND findManagerWindowOf(DWORD processId);
// The status line: the static control below the list.
std::wstring statusText(HWND window);
// Rows of the version list, each with its four column texts.
std::vector<std::vector<std::wstring>> listRows(HWND window);
// The list's column titles, left to right.
std::vector<std::wstring> columnTitles(HWND window);
// The text of the child control with this id.
std::wstring controlText(HWND window, int id);
int selectedRow(HWND window);
void selectRow(HWND window, int row);
// Clicks a button by control id without waiting for what the click starts.
void clickButton(HWND window, int id);
bool isEnabled(HWND window, int id);
// Waits until the status line contains the needle; returns the last text seen.
std::wstring waitForStatus(HWND window, const std::wstring& needle, DWORD timeoutMs);

} // namespace tess::test
