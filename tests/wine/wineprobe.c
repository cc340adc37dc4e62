/* Test helper run under Wine beside the stub: finds the stub's dialogs and
 * message boxes (visible top-level windows of class #32770), prints what they
 * show, and answers them.
 *
 *   wineprobe [-t ms] dump           print caption, placement and controls
 *   wineprobe [-t ms] dumpw          the same with the texts read wide, printed as UTF-8
 *   wineprobe [-t ms] click <id>     press button <id> (BM_CLICK)
 *   wineprobe [-t ms] enter          send the Enter key to the dialog
 *   wineprobe [-t ms] escape         send the Escape key to the dialog
 *   wineprobe [-t ms] close          close the dialog (WM_CLOSE)
 *   wineprobe [-t ms] settext <id> <text>  put <text> into control <id>
 *   wineprobe [-t ms] none           succeed when no dialog shows up in time
 *   wineprobe strings <exe>          print string table entries 1..IDS_LAST of <exe>
 *
 * Every dialog action first waits up to -t milliseconds (default 20000) for a
 * dialog and exits with 2 when none appears; -c <caption> before the action
 * takes only a dialog with that caption (when several show at once). Texts are printed with \n, \r,
 * \t, \\ and \" escaped, one item per line:
 *   caption: <text>
 *   topmost: 0|1
 *   rect: <left> <top> <right> <bottom>
 *   style: 0x<window style>
 *   control: <id> <class> <text>     (in the dialog's child order)
 */
#include <windows.h>
#include <fcntl.h>
#include <io.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "resources/resource.h"

#define MAX_CONTROLS 64

static HWND found_dialog;
static const char* wanted_caption; /* null: any dialog */

static BOOL CALLBACK find_dialog(HWND window, LPARAM unused) {
  char name[64];
  (void)unused;
  if (!IsWindowVisible(window)) return TRUE;
  if (!GetClassNameA(window, name, sizeof name)) return TRUE;
  if (strcmp(name, "#32770") != 0) return TRUE;
  if (wanted_caption) {
    char caption[256];
    GetWindowTextA(window, caption, sizeof caption);
    if (strcmp(caption, wanted_caption) != 0) return TRUE;
  }
  found_dialog = window;
  return FALSE;
}

static HWND wait_for_dialog(DWORD timeout_ms) {
  DWORD start = GetTickCount();
  for (;;) {
    found_dialog = NULL;
    EnumWindows(find_dialog, 0);
    if (found_dialog) return found_dialog;
    if (GetTickCount() - start >= timeout_ms) return NULL;
    Sleep(100);
  }
}

static void print_escaped(const char* text) {
  for (; *text; ++text) {
    switch (*text) {
      case '\n': fputs("\\n", stdout); break;
      case '\r': fputs("\\r", stdout); break;
      case '\t': fputs("\\t", stdout); break;
      case '\\': fputs("\\\\", stdout); break;
      case '"': fputs("\\\"", stdout); break;
      default: putchar(*text); break;
    }
  }
  putchar('\n');
}

static int wide_texts; /* dumpw: texts read wide and printed as UTF-8 */

/* A window's text; a control's through WM_GETTEXT, since GetWindowText does
 * not read another process's edit field. */
static void read_text(HWND window, int control, char* text, int size) {
  WCHAR wide[4096];
  text[0] = '\0';
  wide[0] = 0;
  if (!wide_texts && control)
    SendMessageTimeoutA(window, WM_GETTEXT, size, (LPARAM)text, SMTO_ABORTIFHUNG, 5000, NULL);
  else if (!wide_texts)
    GetWindowTextA(window, text, size);
  else if (control)
    SendMessageTimeoutW(window, WM_GETTEXT, 4096, (LPARAM)wide, SMTO_ABORTIFHUNG, 5000, NULL);
  else
    GetWindowTextW(window, wide, 4096);
  if (wide_texts) WideCharToMultiByte(CP_UTF8, 0, wide, -1, text, size, NULL, NULL);
}

static HWND controls[MAX_CONTROLS];
static int control_count;

static BOOL CALLBACK collect_control(HWND window, LPARAM parent) {
  /* Only direct children: a dialog's controls, not their own children. */
  if (GetParent(window) != (HWND)parent) return TRUE;
  if (control_count < MAX_CONTROLS) controls[control_count++] = window;
  return TRUE;
}

static void dump(HWND dialog) {
  char text[4096];
  RECT rect;
  int i;
  read_text(dialog, 0, text, sizeof text);
  fputs("caption: ", stdout);
  print_escaped(text);
  printf("topmost: %d\n", (GetWindowLongA(dialog, GWL_EXSTYLE) & WS_EX_TOPMOST) ? 1 : 0);
  GetWindowRect(dialog, &rect);
  printf("rect: %ld %ld %ld %ld\n", (long)rect.left, (long)rect.top, (long)rect.right,
         (long)rect.bottom);
  printf("style: 0x%08lX\n", (unsigned long)(DWORD)GetWindowLongA(dialog, GWL_STYLE));
  control_count = 0;
  EnumChildWindows(dialog, collect_control, (LPARAM)dialog);
  for (i = 0; i < control_count; ++i) {
    char name[64];
    GetClassNameA(controls[i], name, sizeof name);
    read_text(controls[i], 1, text, sizeof text);
    printf("control: %d %s ", GetDlgCtrlID(controls[i]) & 0xFFFF, name);
    print_escaped(text);
  }
}

static void send_key(HWND dialog, WPARAM key, WPARAM ch) {
  /* The dialog's modal loop hands these to IsDialogMessage, which turns Enter
   * into the default button's command and Escape into IDCANCEL. */
  PostMessageA(dialog, WM_KEYDOWN, key, 1);
  PostMessageA(dialog, WM_CHAR, ch, 1);
  PostMessageA(dialog, WM_KEYUP, key, (LPARAM)0xC0000001u);
}

static int print_strings(const char* path) {
  HMODULE module = LoadLibraryExA(path, NULL, LOAD_LIBRARY_AS_DATAFILE);
  unsigned id;
  if (!module) {
    fprintf(stderr, "wineprobe: cannot load %s\n", path);
    return 1;
  }
  for (id = 1; id <= IDS_LAST; ++id) {
    char text[1024] = "";
    LoadStringA(module, id, text, sizeof text);
    printf("%u: ", id);
    print_escaped(text);
  }
  FreeLibrary(module);
  return 0;
}

static int usage(void) {
  fputs("usage: wineprobe [-t ms] [-c caption] dump|dumpw|click <id>|settext <id> <text>|enter|escape|close|none\n"
        "       wineprobe strings <exe>\n", stderr);
  return 1;
}

int main(int argc, char** argv) {
  DWORD timeout_ms = 20000;
  const char* action;
  HWND dialog;
  int arg = 1;

  /* Plain line feeds, so that the shell tests compare lines as written. */
  _setmode(_fileno(stdout), _O_BINARY);
  for (; arg + 1 < argc && argv[arg][0] == '-'; arg += 2) {
    if (strcmp(argv[arg], "-t") == 0) timeout_ms = (DWORD)strtoul(argv[arg + 1], NULL, 10);
    else if (strcmp(argv[arg], "-c") == 0) wanted_caption = argv[arg + 1];
    else return usage();
  }
  if (arg >= argc) return usage();
  action = argv[arg++];

  if (strcmp(action, "strings") == 0) return arg < argc ? print_strings(argv[arg]) : usage();

  dialog = wait_for_dialog(timeout_ms);
  if (strcmp(action, "none") == 0) {
    if (!dialog) return 0;
    fputs("wineprobe: a dialog is shown\n", stderr);
    dump(dialog);
    return 1;
  }
  if (!dialog) {
    fprintf(stderr, "wineprobe: no dialog within %lu ms\n", (unsigned long)timeout_ms);
    return 2;
  }

  if (strcmp(action, "dump") == 0 || strcmp(action, "dumpw") == 0) {
    wide_texts = strcmp(action, "dumpw") == 0;
    dump(dialog);
  } else if (strcmp(action, "click") == 0) {
    HWND button;
    DWORD_PTR ignored;
    if (arg >= argc) return usage();
    button = GetDlgItem(dialog, atoi(argv[arg]));
    if (!button) {
      fprintf(stderr, "wineprobe: no control %s\n", argv[arg]);
      return 1;
    }
    SendMessageTimeoutA(button, BM_CLICK, 0, 0, SMTO_ABORTIFHUNG, 5000, &ignored);
  } else if (strcmp(action, "settext") == 0) {
    DWORD_PTR ignored;
    if (arg + 1 >= argc || !GetDlgItem(dialog, atoi(argv[arg]))) return usage();
    SendMessageTimeoutA(GetDlgItem(dialog, atoi(argv[arg])), WM_SETTEXT, 0, (LPARAM)argv[arg + 1],
                        SMTO_ABORTIFHUNG, 5000, &ignored);
  } else if (strcmp(action, "enter") == 0) {
    send_key(dialog, VK_RETURN, '\r');
  } else if (strcmp(action, "escape") == 0) {
    send_key(dialog, VK_ESCAPE, 0x1B);
  } else if (strcmp(action, "close") == 0) {
    PostMessageA(dialog, WM_CLOSE, 0, 0);
  } else {
    return usage();
  }
  fflush(stdout);
  return 0;
}
