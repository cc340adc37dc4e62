// Win32 backend of the windows that an archive with the extension record
// shows: the licence, "Extract to" and progress windows, each built from its
// dialog template (resources/dolmsfx.rc). Only what Windows 95's first
// release has: the progress bar of comctl32 and the folder browser of
// shell32.
#ifdef _WIN32

#include <windows.h>
#include <commctrl.h>
#include <shlobj.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "platform/names_win32.h"
#include "platform/platform.h"
#include "resources/resource.h"

struct PlatformProgress {
  HWND dialog;
  bool cancelled;
  const char* name;  // the name shown, so that an unchanged one is not set again
  unsigned percent;  // the percent shown, or above 100 before the first
  char format[64];   // the percent text's template: "%u%% extracted"
};

namespace {

constexpr unsigned kNoPercent = 101;

// The window of each kind that shows now; a dialog procedure finds its state
// here (one run shows one of each at a time).
struct ShownWindows {
  const char* caption;        // converted caption, or null to keep the template's
  const char* licence;        // the licence window's text
  char* folder;               // the "Extract to" window's folder (kPathSize bytes)
  PlatformProgress* progress;
};
ShownWindows gShown = {};

// The archive's UTF-8 text in the system's code page, with each line feed
// after no carriage return made CR LF (the line break of an edit field).
// Bytes that are not UTF-8, or a system that cannot read it (Windows 95),
// leave the text as it is; in a run whose names are UTF-8 it stays UTF-8
// for SetRunWindowText. On the heap; null for an empty text or when no
// memory can be had.
char* SystemText(PlatformText text) {
  if (text.length == 0) return nullptr;
  const char* bytes = reinterpret_cast<const char*>(text.bytes);
  int length = static_cast<int>(text.length);
  char* converted = nullptr;
  const int wideLength = CurrentNameForm() != NameForm::kSystem
                             ? 0 : MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, bytes, length, nullptr, 0);
  WCHAR* wide = wideLength > 0 ? static_cast<WCHAR*>(std::malloc(sizeof(WCHAR) * wideLength)) : nullptr;
  if (wide != nullptr && MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, bytes, length, wide, wideLength) == wideLength) {
    const int narrow = WideCharToMultiByte(CP_ACP, 0, wide, wideLength, nullptr, 0, nullptr, nullptr);
    converted = narrow > 0 ? static_cast<char*>(std::malloc(static_cast<size_t>(narrow))) : nullptr;
    if (converted != nullptr && WideCharToMultiByte(CP_ACP, 0, wide, wideLength, converted, narrow, nullptr, nullptr) == narrow) {
      bytes = converted;
      length = narrow;
    }
  }
  std::free(wide);
  char* out = static_cast<char*>(std::malloc(2 * static_cast<size_t>(length) + 1));
  if (out != nullptr) {
    char* p = out;
    for (int i = 0; i < length; ++i) {
      if (bytes[i] == '\n' && (i == 0 || bytes[i - 1] != '\r')) *p++ = '\r';
      *p++ = bytes[i];
    }
    *p = '\0';
  }
  std::free(converted);
  return out;
}

void SetCaption(HWND dialog) {
  if (gShown.caption != nullptr) SetRunWindowText(dialog, gShown.caption);
}

// The dialog procedure's end of a modal window: IDOK accepts, IDCANCEL and
// closing decline.
bool EndsModal(HWND dialog, UINT message, WPARAM wParam) {
  const WORD id = LOWORD(wParam);
  if (message == WM_CLOSE || (message == WM_COMMAND && id == IDCANCEL)) {
    EndDialog(dialog, static_cast<INT_PTR>(WindowAnswer::kDeclined));
    return true;
  }
  if (message == WM_COMMAND && id == IDOK) {
    EndDialog(dialog, static_cast<INT_PTR>(WindowAnswer::kAccepted));
    return true;
  }
  return false;
}

INT_PTR CALLBACK LicenceProc(HWND dialog, UINT message, WPARAM wParam, LPARAM lParam) {
  if (message == WM_INITDIALOG) {
    SetCaption(dialog);
    SetRunWindowText(GetDlgItem(dialog, ID_LICENCE_TEXT), gShown.licence);
    // The text has the focus, for the keys that scroll it, without a selection.
    SetFocus(GetDlgItem(dialog, ID_LICENCE_TEXT));
    SendDlgItemMessageA(dialog, ID_LICENCE_TEXT, EM_SETSEL, 0, 0);
    return FALSE;
  }
  return EndsModal(dialog, message, wParam) ? TRUE : FALSE;
}

// Browse: the folder chosen in the system's folder browser goes into the field.
void BrowseForFolder(HWND dialog) {
  char title[kPathSize];
  char chosen[MAX_PATH];
  GetDlgItemTextA(dialog, ID_EXTRACT_LABEL, title, sizeof title);
  BROWSEINFOA info = {};
  info.hwndOwner = dialog;
  info.pszDisplayName = chosen;
  info.lpszTitle = title;
  info.ulFlags = BIF_RETURNONLYFSDIRS;
  LPITEMIDLIST item = SHBrowseForFolderA(&info);
  if (item == nullptr) return;
  if (SHGetPathFromIDListA(item, chosen) && chosen[0] != '\0') SetDlgItemTextA(dialog, ID_EXTRACT_FOLDER, chosen);
  IMalloc* shellMemory = nullptr;
  if (SUCCEEDED(SHGetMalloc(&shellMemory))) {
    shellMemory->Free(item);
    shellMemory->Release();
  }
}

// The folder field in the run's form (kPathSize bytes); false when it is
// empty or does not fit.
bool ReadFolderField(HWND dialog, char* folder) {
  if (CurrentNameForm() == NameForm::kWide) {
    WCHAR text[kPathSize];
    return Wide().GetDlgItemTextW(dialog, ID_EXTRACT_FOLDER, text, kPathSize) != 0 &&
           WideToUtf8(text, folder, kPathSize);
  }
  char text[kPathSize];
  return GetDlgItemTextA(dialog, ID_EXTRACT_FOLDER, text, sizeof text) != 0 && FromSystemAnsi(text, folder, kPathSize);
}

INT_PTR CALLBACK ExtractToProc(HWND dialog, UINT message, WPARAM wParam, LPARAM lParam) {
  if (message == WM_INITDIALOG) {
    SetCaption(dialog);
    SendDlgItemMessageA(dialog, ID_EXTRACT_FOLDER, EM_LIMITTEXT, kPathSize - 1, 0);
    SetRunWindowText(GetDlgItem(dialog, ID_EXTRACT_FOLDER), gShown.folder);
    return TRUE;
  }
  if (message != WM_COMMAND) return EndsModal(dialog, message, wParam) ? TRUE : FALSE;
  if (LOWORD(wParam) == ID_EXTRACT_BROWSE) {
    BrowseForFolder(dialog);
    return TRUE;
  }
  if (LOWORD(wParam) == IDOK) {
    char folder[kPathSize];
    // An empty field extracts nowhere: Extract waits for a folder.
    if (!ReadFolderField(dialog, folder)) return TRUE;
    std::memcpy(gShown.folder, folder, sizeof folder);
  }
  return EndsModal(dialog, message, wParam) ? TRUE : FALSE;
}

INT_PTR CALLBACK ProgressProc(HWND dialog, UINT message, WPARAM wParam, LPARAM lParam) {
  const bool cancel = message == WM_CLOSE || (message == WM_COMMAND && LOWORD(wParam) == IDCANCEL);
  if (cancel && gShown.progress != nullptr) {
    gShown.progress->cancelled = true;
    EnableWindow(GetDlgItem(dialog, IDCANCEL), FALSE);
    return TRUE;
  }
  return message == WM_INITDIALOG ? TRUE : FALSE;
}

WindowAnswer RunModal(unsigned templateId, DLGPROC procedure, PlatformText caption) {
  char* converted = SystemText(caption);
  gShown.caption = converted;
  const INT_PTR result =
      DialogBoxParamA(GetModuleHandleA(nullptr), MAKEINTRESOURCEA(templateId), nullptr, procedure, 0);
  gShown.caption = nullptr;
  std::free(converted);
  if (result == static_cast<INT_PTR>(WindowAnswer::kAccepted)) return WindowAnswer::kAccepted;
  return result == static_cast<INT_PTR>(WindowAnswer::kDeclined) ? WindowAnswer::kDeclined : WindowAnswer::kNoWindow;
}

// Hands the thread's pending messages to their windows, the dialog's keys
// (Tab, Enter, Escape) to the dialog.
void PumpMessages(HWND dialog) {
  MSG message;
  while (PeekMessageA(&message, nullptr, 0, 0, PM_REMOVE)) {
    if (IsDialogMessageA(dialog, &message)) continue;
    TranslateMessage(&message);
    DispatchMessageA(&message);
  }
}

}  // namespace

bool PlatformHasWindows() { return true; }

WindowAnswer PlatformLicenceWindow(PlatformText caption, PlatformText text) {
  char* converted = SystemText(text);
  // A text that cannot be had in memory cannot be accepted.
  if (converted == nullptr) return WindowAnswer::kNoWindow;
  gShown.licence = converted;
  const WindowAnswer answer = RunModal(IDD_LICENCE, LicenceProc, caption);
  gShown.licence = nullptr;
  std::free(converted);
  return answer;
}

WindowAnswer PlatformExtractToWindow(PlatformText caption, char* folder) {
  gShown.folder = folder;
  const WindowAnswer answer = RunModal(IDD_EXTRACT_TO, ExtractToProc, caption);
  gShown.folder = nullptr;
  return answer;
}

PlatformProgress* PlatformOpenProgress(PlatformText caption) {
  // The progress bar's window class comes from comctl32.
  InitCommonControls();
  PlatformProgress* window = static_cast<PlatformProgress*>(std::calloc(1, sizeof(PlatformProgress)));
  if (window == nullptr) return nullptr;
  gShown.progress = window;
  window->percent = kNoPercent;
  window->dialog = CreateDialogParamA(GetModuleHandleA(nullptr), MAKEINTRESOURCEA(IDD_EXTRACTING), nullptr,
                                      ProgressProc, 0);
  if (window->dialog == nullptr) {
    PlatformCloseProgress(window);
    return nullptr;
  }
  char* converted = SystemText(caption);
  if (converted != nullptr) SetRunWindowText(window->dialog, converted);
  std::free(converted);
  GetDlgItemTextA(window->dialog, ID_EXTRACTING_PERCENT, window->format, sizeof window->format);
  ShowWindow(window->dialog, SW_SHOWNORMAL);
  PlatformShowProgress(window, "", 0);
  return window;
}

bool PlatformShowProgress(PlatformProgress* window, const char* name, unsigned percent) {
  if (name != window->name) {
    window->name = name;
    SetRunWindowText(GetDlgItem(window->dialog, ID_EXTRACTING_FILE), name);
  }
  if (percent != window->percent) {
    window->percent = percent;
    char text[sizeof window->format + 8];
    std::snprintf(text, sizeof text, window->format, percent);
    SetDlgItemTextA(window->dialog, ID_EXTRACTING_PERCENT, text);
    SendDlgItemMessageA(window->dialog, ID_EXTRACTING_BAR, PBM_SETPOS, percent, 0);
  }
  PumpMessages(window->dialog);
  return !window->cancelled;
}

void PlatformCloseProgress(PlatformProgress* window) {
  if (window == nullptr) return;
  if (window->dialog != nullptr) DestroyWindow(window->dialog);
  if (gShown.progress == window) gShown.progress = nullptr;
  std::free(window);
}

#endif  // _WIN32
