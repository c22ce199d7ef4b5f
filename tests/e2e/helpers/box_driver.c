/* Runs one program under test from outside, the way a user would meet it:
 * every message box it opens is read (caption, text, icon) and answered with
 * OK, and its exit status is collected. The records go to a UTF-8 file named
 * on the command line, because reading wine's output through a pipe stalls.
 *
 *   box_driver OUT_FILE [--timeout SECONDS] [--hold PATH]... [--hold-for MS PATH]...
 *              [--product PATH] [--cwd DIR] (-- PROGRAM [ARGUMENT]... | --attach NAME)
 *
 * --hold-for: held only for the first MS milliseconds of the program's run.
 * --kill-after: the program is ended with TerminateProcess after MS
 * milliseconds (then "killed" is recorded before its exit status).
 * Arguments are quoted for the program as CommandLineToArgvW reads them.
 *
 * --at-first-box CMDLINE: while the program's first box is open, CMDLINE is
 * started and watched to its end (its boxes answered), before that box is.
 *
 * --attach: the program is started by someone else (Wine's loader, from the
 * host, can start a program whose path CreateProcessW refuses); the driver
 * writes "ready" and then watches the first new process whose image file is
 * named NAME.
 *
 * --cancel HOW ANSWER PERCENT: once the progress window shows the update at
 * PERCENT or more, a person cancels it: HOW is "button" (clicks Cancel),
 * "close" (the close box), "esc" or "altf4" (the keys); the question that
 * follows is answered ANSWER ("yes" or "no").
 *
 * --holder PROGRAM MS PATH: PROGRAM (the harness's holder) is started with
 * MS and PATH before the program under test, which waits until the file is
 * held.
 *
 * OUT_FILE lines (fields separated by tabs, \\ \t \n \r escaped):
 *   product <image path>           the side program started before the run
 *   box <0|1 icon> <caption> <text> one per message box, in order
 *   window <class> <title>         any other top-level window of the program
 *   progress <ms> <0|1 bar> <title> <width>x<height>
 *                                  the program's progress window, when first seen
 *                                  (ms after the start; bar: a msctls_progress32
 *                                  child; the size of its client area)
 *   progress-text <texts>          what the progress window shows, each time it
 *                                  changes: its texts joined by " | ", a button as
 *                                  [Cancel], or [Cancel:off] while disabled
 *   progress-with-box              a progress window was still shown beside a box
 *   cancelled <how>                the person pressed Cancel (--cancel)
 *   question <caption> <text>      a Yes/No box, answered as --cancel says
 *   holder <pid>                   the holder's process (--holder)
 *   second-box <0|1> <caption> <text>, second-exit <status>  of --at-first-box
 *   exit <status> <milliseconds>   or: timeout
 *   error <what> <code>            the driver itself could not do its part
 */
/* UNICODE and WIN32_LEAN_AND_MEAN come from the build. */
#include <windows.h>
#include <psapi.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <wchar.h>

#define kMaxHolds 16
#define kMaxSeen 256
#define kPollMs 10

static FILE *g_out;

static void PutEscaped(const wchar_t *text) {
  char utf8[4 * 1024 + 8];
  int n = WideCharToMultiByte(CP_UTF8, 0, text, -1, utf8, sizeof utf8, NULL,
                              NULL);
  if (n <= 0) utf8[0] = '\0';
  for (const char *p = utf8; *p; ++p) {
    switch (*p) {
      case '\\': fputs("\\\\", g_out); break;
      case '\t': fputs("\\t", g_out); break;
      case '\n': fputs("\\n", g_out); break;
      case '\r': fputs("\\r", g_out); break;
      default: fputc(*p, g_out);
    }
  }
}

static void Record4(const char *kind, const wchar_t *a, const wchar_t *b,
                    const wchar_t *c, const wchar_t *d) {
  fputs(kind, g_out);
  const wchar_t *fields[4] = {a, b, c, d};
  for (int i = 0; i < 4 && fields[i]; ++i) {
    fputc('\t', g_out);
    PutEscaped(fields[i]);
  }
  fputc('\n', g_out);
  fflush(g_out);
}

static void Record(const char *kind, const wchar_t *a, const wchar_t *b,
                   const wchar_t *c) {
  Record4(kind, a, b, c, NULL);
}

static void RecordError(const wchar_t *what) {
  wchar_t code[16];
  swprintf(code, 16, L"%lu", (unsigned long)GetLastError());
  Record("error", what, code, NULL);
}

/* The window class of the updater's progress window. */
static const wchar_t kProgressClass[] = L"KestruneProgress";

#define kMaxTexts 400
#define kTextChars 2048

struct Watch {
  DWORD pid;
  DWORD started;
  const char *box_kind; /* "box", or "second-box" for the --at-first-box run */
  int progress_shown;   /* a progress window of the program is visible now */
  HWND box;  /* first unanswered message box found by the scan */
  HWND seen[kMaxSeen];
  int seen_count;
  HWND progress;  /* the progress window, once seen */
  wchar_t text[kTextChars];  /* what it showed last */
  int texts;                 /* progress-text records written */
  /* --cancel */
  const wchar_t *cancel_how;
  int cancel_yes;
  int cancel_percent;
  int cancel_done;
};

static int Seen(struct Watch *w, HWND hwnd) {
  for (int i = 0; i < w->seen_count; ++i)
    if (w->seen[i] == hwnd) return 1;
  return 0;
}

static void MarkSeen(struct Watch *w, HWND hwnd) {
  if (w->seen_count < kMaxSeen) w->seen[w->seen_count++] = hwnd;
}

static BOOL CALLBACK ScanWindow(HWND hwnd, LPARAM param) {
  struct Watch *w = (struct Watch *)param;
  DWORD pid = 0;
  GetWindowThreadProcessId(hwnd, &pid);
  if (pid != w->pid || !IsWindowVisible(hwnd) || Seen(w, hwnd)) return TRUE;
  wchar_t cls[64] = L"";
  GetClassNameW(hwnd, cls, 64);
  if (wcscmp(cls, L"#32770") == 0) {
    w->box = hwnd;
    return FALSE;
  }
  wchar_t title[512] = L"";
  GetWindowTextW(hwnd, title, 512);
  if (wcscmp(cls, kProgressClass) == 0) {
    wchar_t ms[16], size[32];
    swprintf(ms, 16, L"%lu", (unsigned long)(GetTickCount() - w->started));
    int bar = FindWindowExW(hwnd, NULL, L"msctls_progress32", NULL) != NULL;
    RECT client;
    GetClientRect(hwnd, &client);
    swprintf(size, 32, L"%ldx%ld", (long)client.right, (long)client.bottom);
    Record4("progress", ms, bar ? L"1" : L"0", title, size);
    MarkSeen(w, hwnd);
    w->progress = hwnd;
    return TRUE;
  }
  Record("window", cls, title, NULL);
  MarkSeen(w, hwnd);
  return TRUE;
}

static BOOL CALLBACK FindProgress(HWND hwnd, LPARAM param) {
  struct Watch *w = (struct Watch *)param;
  DWORD pid = 0;
  GetWindowThreadProcessId(hwnd, &pid);
  wchar_t cls[64] = L"";
  GetClassNameW(hwnd, cls, 64);
  if (pid == w->pid && IsWindowVisible(hwnd) && wcscmp(cls, kProgressClass) == 0) {
    w->progress_shown = 1;
    return FALSE;
  }
  return TRUE;
}

struct Texts {
  wchar_t *out;
  size_t used;
};

static BOOL CALLBACK AppendText(HWND child, LPARAM param) {
  struct Texts *t = (struct Texts *)param;
  if (!IsWindowVisible(child)) return TRUE;
  wchar_t cls[32] = L"", text[512] = L"";
  GetClassNameW(child, cls, 32);
  int button = _wcsicmp(cls, L"Button") == 0;
  if (!button && _wcsicmp(cls, L"Static") != 0) return TRUE;
  GetWindowTextW(child, text, 512);
  if (!text[0]) return TRUE;
  wchar_t part[560];
  if (button) {
    swprintf(part, 560, L"[%ls%ls]", text, IsWindowEnabled(child) ? L"" : L":off");
  } else {
    swprintf(part, 560, L"%ls", text);
  }
  size_t need = wcslen(part) + 3;
  if (t->used + need + 1 >= kTextChars) return FALSE;
  if (t->used) {
    wcscpy(t->out + t->used, L" | ");
    t->used += 3;
  }
  wcscpy(t->out + t->used, part);
  t->used += wcslen(part);
  return TRUE;
}

/* The percentage in "(P%)" of the progress window's texts; -1 without. */
static int PercentOf(const wchar_t *text) {
  const wchar_t *end = wcsstr(text, L"%)");
  if (!end) return -1;
  const wchar_t *start = end;
  while (start > text && start[-1] >= L'0' && start[-1] <= L'9') --start;
  return start < end && start > text && start[-1] == L'(' ? (int)wcstol(start, NULL, 10) : -1;
}

/* Reads the progress window; records what it shows when that changed, and
 * cancels as --cancel asks. */
static void ReadProgress(struct Watch *w) {
  if (!w->progress || !IsWindow(w->progress) || !IsWindowVisible(w->progress)) return;
  wchar_t text[kTextChars];
  struct Texts t = {text, 0};
  text[0] = L'\0';
  EnumChildWindows(w->progress, AppendText, (LPARAM)&t);
  /* Read whole only while it stayed on the screen. */
  if (!IsWindowVisible(w->progress)) return;
  if (wcscmp(text, w->text) != 0 && w->texts < kMaxTexts) {
    wcscpy(w->text, text);
    Record("progress-text", text, NULL, NULL);
    ++w->texts;
  }
  if (!w->cancel_how || w->cancel_done || !wcsstr(text, L"Updating") ||
      PercentOf(text) < w->cancel_percent) {
    return;
  }
  HWND button = GetDlgItem(w->progress, IDCANCEL);
  if (!button || !IsWindowEnabled(button)) return;
  w->cancel_done = 1;
  Record("cancelled", w->cancel_how, NULL, NULL);
  if (wcscmp(w->cancel_how, L"button") == 0) {
    PostMessageW(button, BM_CLICK, 0, 0);
  } else if (wcscmp(w->cancel_how, L"close") == 0) {
    /* What a click on the close box sends. */
    PostMessageW(w->progress, WM_SYSCOMMAND, SC_CLOSE, 0);
  } else if (wcscmp(w->cancel_how, L"esc") == 0) {
    /* To the control with the focus, as the keyboard would. */
    PostMessageW(button, WM_KEYDOWN, VK_ESCAPE, 0x00010001);
    PostMessageW(button, WM_KEYUP, VK_ESCAPE, 0xC0010001);
  } else {
    /* Alt held: bit 29 of the key's flags. */
    PostMessageW(w->progress, WM_SYSKEYDOWN, VK_F4, 0x203E0001);
  }
}

/* Reads one box, records it and presses OK; returns once the box is gone. */
static void AnswerBox(struct Watch *w, HWND box) {
  static wchar_t caption[2048], text[2048];
  caption[0] = text[0] = L'\0';
  GetWindowTextW(box, caption, 2048);
  GetDlgItemTextW(box, 0xFFFF, text, 2048);
  /* Wine always creates the icon control (0x440); only STM_GETICON tells
   * whether the box was given an icon. */
  w->progress_shown = 0;
  EnumWindows(FindProgress, (LPARAM)w);
  if (w->progress_shown) Record("progress-with-box", NULL, NULL, NULL);
  HWND icon = GetDlgItem(box, 0x440);
  int has_icon = icon && SendMessageW(icon, STM_GETICON, 0, 0) != 0;
  /* A box with Yes is the question a cancel asks, answered as asked. */
  int answer = IDOK;
  if (GetDlgItem(box, IDYES)) {
    Record("question", caption, text, NULL);
    answer = w->cancel_yes ? IDYES : IDNO;
  } else {
    Record(w->box_kind, has_icon ? L"1" : L"0", caption, text);
  }
  MarkSeen(w, box);
  PostMessageW(box, WM_COMMAND, MAKEWPARAM(answer, BN_CLICKED), 0);
  for (int waited = 0; IsWindow(box) && waited < 5000; waited += kPollMs) {
    if (waited == 2000) PostMessageW(box, WM_CLOSE, 0, 0);
    Sleep(kPollMs);
  }
}

/* Runs CMDLINE to its end, answering its boxes; records its exit status. */
static void RunSecond(wchar_t *cmdline, DWORD timeout_ms) {
  STARTUPINFOW si;
  ZeroMemory(&si, sizeof si);
  si.cb = sizeof si;
  PROCESS_INFORMATION pi;
  if (!CreateProcessW(NULL, cmdline, NULL, NULL, FALSE, 0, NULL, NULL, &si, &pi)) {
    RecordError(L"second");
    return;
  }
  struct Watch w;
  ZeroMemory(&w, sizeof w);
  w.pid = pi.dwProcessId;
  w.started = GetTickCount();
  w.box_kind = "second-box";
  for (;;) {
    int exited = WaitForSingleObject(pi.hProcess, kPollMs) == WAIT_OBJECT_0;
    w.box = NULL;
    EnumWindows(ScanWindow, (LPARAM)&w);
    if (w.box) {
      AnswerBox(&w, w.box);
      continue;
    }
    if (exited || GetTickCount() - w.started > timeout_ms) break;
  }
  TerminateProcess(pi.hProcess, 255);
  DWORD code = 0;
  GetExitCodeProcess(pi.hProcess, &code);
  wchar_t text[16];
  swprintf(text, 16, L"%lu", (unsigned long)code);
  Record("second-exit", text, NULL, NULL);
  CloseHandle(pi.hThread);
  CloseHandle(pi.hProcess);
}

static int StartProcess(const wchar_t *path, wchar_t **args, int arg_count,
                        const wchar_t *cwd, PROCESS_INFORMATION *pi) {
  size_t len = wcslen(path) + 3;
  for (int i = 0; i < arg_count; ++i) len += 2 * wcslen(args[i]) + 3;
  wchar_t *cmd = malloc(len * sizeof(wchar_t));
  if (!cmd) return 0;
  swprintf(cmd, len, L"\"%ls\"", path);
  for (int i = 0; i < arg_count; ++i) {
    /* Quoted only when needed, so that an empty argument and one with a
     * space survive; backslashes before a quote are doubled. */
    wchar_t *out = cmd + wcslen(cmd);
    int quote = args[i][0] == L'\0' || wcspbrk(args[i], L" \t\"") != NULL;
    *out++ = L' ';
    if (quote) *out++ = L'"';
    int slashes = 0;
    for (const wchar_t *c = args[i]; *c; ++c) {
      if (*c == L'\\') {
        ++slashes;
      } else {
        if (*c == L'"') {
          for (int k = 0; k < slashes + 1; ++k) *out++ = L'\\';
        }
        slashes = 0;
      }
      *out++ = *c;
    }
    if (quote) {
      for (int k = 0; k < slashes; ++k) *out++ = L'\\';
      *out++ = L'"';
    }
    *out = L'\0';
  }
  STARTUPINFOW si;
  ZeroMemory(&si, sizeof si);
  si.cb = sizeof si;
  /* The application name is passed explicitly so that a file name without
   * an extension is started as it is, never with ".exe" appended. */
  BOOL ok = CreateProcessW(path, cmd, NULL, NULL, FALSE, 0, NULL, cwd, &si, pi);
  free(cmd);
  return ok != 0;
}

static int ImageNamed(DWORD pid, const wchar_t *name, HANDLE *process) {
  HANDLE h = OpenProcess(PROCESS_QUERY_INFORMATION | SYNCHRONIZE, FALSE, pid);
  if (!h) return 0;
  wchar_t image[2048] = L"";
  DWORD n = GetProcessImageFileNameW(h, image, 2048);
  size_t len = wcslen(name);
  if (n > len && image[n - len - 1] == L'\\' &&
      _wcsicmp(image + n - len, name) == 0) {
    *process = h;
    return 1;
  }
  CloseHandle(h);
  return 0;
}

static int AttachTo(const wchar_t *name, DWORD timeout_ms,
                    PROCESS_INFORMATION *pi) {
  static DWORD before[8192], now[8192];
  DWORD bytes = 0;
  if (!EnumProcesses(before, sizeof before, &bytes)) return 0;
  DWORD count = bytes / sizeof(DWORD);
  Record("ready", NULL, NULL, NULL);
  for (DWORD waited = 0; waited < timeout_ms; waited += kPollMs) {
    if (!EnumProcesses(now, sizeof now, &bytes)) return 0;
    for (DWORD i = 0; i < bytes / sizeof(DWORD); ++i) {
      int old = 0;
      for (DWORD j = 0; j < count && !old; ++j) old = before[j] == now[i];
      if (!old && ImageNamed(now[i], name, &pi->hProcess)) {
        pi->dwProcessId = now[i];
        pi->hThread = NULL;
        return 1;
      }
    }
    Sleep(kPollMs);
  }
  SetLastError(ERROR_TIMEOUT);
  return 0;
}

static int Usage(void) {
  fputs("usage: box_driver OUT_FILE [--timeout S] [--hold PATH]... "
        "[--product PATH] [--cwd DIR] -- PROGRAM\n", stderr);
  return 2;
}

int wmain(int argc, wchar_t **argv) {
  if (argc < 4) return Usage();
  g_out = _wfopen(argv[1], L"wb");
  if (!g_out) return 2;
  DWORD timeout_ms = 60000;
  DWORD kill_ms = 0;
  const wchar_t *holds[kMaxHolds];
  DWORD hold_ms[kMaxHolds];
  int hold_count = 0;
  const wchar_t *product = NULL, *cwd = NULL, *program = NULL;
  wchar_t *at_first_box = NULL;
  wchar_t **args = NULL;
  int arg_count = 0;
  int attach = 0;
  const wchar_t *cancel_how = NULL;
  int cancel_yes = 0, cancel_percent = 0;
  const wchar_t *holder = NULL, *holder_ms = NULL, *holder_path = NULL;
  for (int i = 2; i < argc; ++i) {
    if ((wcscmp(argv[i], L"--") == 0 || wcscmp(argv[i], L"--attach") == 0) &&
        i + 1 < argc) {
      attach = wcscmp(argv[i], L"--attach") == 0;
      program = argv[i + 1];
      args = argv + i + 2;
      arg_count = argc - i - 2;
      break;
    }
    if (i + 1 >= argc) return Usage();
    if (wcscmp(argv[i], L"--timeout") == 0) {
      timeout_ms = (DWORD)wcstoul(argv[++i], NULL, 10) * 1000;
    } else if (wcscmp(argv[i], L"--hold") == 0 && hold_count < kMaxHolds) {
      hold_ms[hold_count] = 0;
      holds[hold_count++] = argv[++i];
    } else if (wcscmp(argv[i], L"--hold-for") == 0 && i + 2 < argc &&
               hold_count < kMaxHolds) {
      hold_ms[hold_count] = (DWORD)wcstoul(argv[++i], NULL, 10);
      holds[hold_count++] = argv[++i];
    } else if (wcscmp(argv[i], L"--kill-after") == 0) {
      kill_ms = (DWORD)wcstoul(argv[++i], NULL, 10);
    } else if (wcscmp(argv[i], L"--product") == 0) {
      product = argv[++i];
    } else if (wcscmp(argv[i], L"--at-first-box") == 0) {
      at_first_box = argv[++i];
    } else if (wcscmp(argv[i], L"--cwd") == 0) {
      cwd = argv[++i];
    } else if (wcscmp(argv[i], L"--cancel") == 0 && i + 3 < argc) {
      cancel_how = argv[++i];
      cancel_yes = wcscmp(argv[++i], L"yes") == 0;
      cancel_percent = (int)wcstol(argv[++i], NULL, 10);
    } else if (wcscmp(argv[i], L"--holder") == 0 && i + 3 < argc) {
      holder = argv[++i];
      holder_ms = argv[++i];
      holder_path = argv[++i];
    } else {
      return Usage();
    }
  }
  if (!program) return Usage();

  HANDLE held[kMaxHolds];
  for (int i = 0; i < hold_count; ++i) {
    /* No sharing at all: the program can then neither rename, delete nor
     * read the file, which is how a file in use looks to it. */
    held[i] = CreateFileW(holds[i], GENERIC_READ, 0, NULL, OPEN_EXISTING,
                          FILE_ATTRIBUTE_NORMAL, NULL);
    if (held[i] == INVALID_HANDLE_VALUE) {
      RecordError(L"hold");
      return 2;
    }
  }

  PROCESS_INFORMATION side;
  ZeroMemory(&side, sizeof side);
  if (product) {
    if (!StartProcess(product, NULL, 0, NULL, &side)) {
      RecordError(L"product");
      return 2;
    }
    /* Make sure the side program is known with its image path before the
     * program under test looks through the process list. */
    wchar_t image[1024] = L"";
    for (int waited = 0; waited < 10000; waited += kPollMs) {
      if (GetProcessImageFileNameW(side.hProcess, image, 1024)) break;
      Sleep(kPollMs);
    }
    Record("product", image, NULL, NULL);
  }

  PROCESS_INFORMATION held_by;
  ZeroMemory(&held_by, sizeof held_by);
  if (holder) {
    wchar_t *holder_args[2] = {(wchar_t *)holder_ms, (wchar_t *)holder_path};
    if (!StartProcess(holder, holder_args, 2, NULL, &held_by)) {
      RecordError(L"holder");
      return 2;
    }
    /* Held once the holder says so (its event), which a loaded machine may
     * take seconds to reach; a holder that ends first holds nothing. */
    wchar_t ready_name[48];
    swprintf(ready_name, 48, L"kestrune-holder-%lu", (unsigned long)held_by.dwProcessId);
    HANDLE ready = NULL;
    for (int waited = 0; !ready && waited < 60000; waited += kPollMs) {
      ready = OpenEventW(SYNCHRONIZE, FALSE, ready_name);
      if (!ready && WaitForSingleObject(held_by.hProcess, kPollMs) == WAIT_OBJECT_0) break;
    }
    if (!ready) {
      RecordError(L"holder");
      return 2;
    }
    CloseHandle(ready);
    wchar_t id[16];
    swprintf(id, 16, L"%lu", (unsigned long)held_by.dwProcessId);
    Record("holder", id, NULL, NULL);
  }

  PROCESS_INFORMATION pi;
  int status = 0;
  if (attach ? !AttachTo(program, timeout_ms, &pi)
             : !StartProcess(program, args, arg_count, cwd, &pi)) {
    RecordError(L"start");
    status = 2;
  } else {
    static struct Watch w;
    ZeroMemory(&w, sizeof w);
    w.pid = pi.dwProcessId;
    w.box_kind = "box";
    w.cancel_how = cancel_how;
    w.cancel_yes = cancel_yes;
    w.cancel_percent = cancel_percent;
    DWORD started = GetTickCount();
    w.started = started;
    int timed_out = 0;
    for (;;) {
      for (int i = 0; i < hold_count; ++i) {
        if (hold_ms[i] && held[i] && GetTickCount() - started >= hold_ms[i]) {
          CloseHandle(held[i]);
          held[i] = NULL;
        }
      }
      if (kill_ms && GetTickCount() - started >= kill_ms) {
        kill_ms = 0;
        if (TerminateProcess(pi.hProcess, 255)) Record("killed", NULL, NULL, NULL);
      }
      int exited = WaitForSingleObject(pi.hProcess, kill_ms ? 1 : kPollMs) == WAIT_OBJECT_0;
      w.box = NULL;
      EnumWindows(ScanWindow, (LPARAM)&w);
      ReadProgress(&w);
      if (w.box) {
        if (at_first_box) {
          RunSecond(at_first_box, timeout_ms);
          at_first_box = NULL;
        }
        AnswerBox(&w, w.box);
        continue;
      }
      if (exited) break;
      if (GetTickCount() - started > timeout_ms) {
        timed_out = 1;
        break;
      }
    }
    if (timed_out) {
      TerminateProcess(pi.hProcess, 255);
      WaitForSingleObject(pi.hProcess, 5000);
      Record("timeout", NULL, NULL, NULL);
      status = 3;
    } else {
      DWORD code = 0;
      GetExitCodeProcess(pi.hProcess, &code);
      wchar_t text[16], elapsed[16];
      swprintf(text, 16, L"%lu", (unsigned long)code);
      swprintf(elapsed, 16, L"%lu", (unsigned long)(GetTickCount() - started));
      Record("exit", text, elapsed, NULL);
    }
    if (pi.hThread) CloseHandle(pi.hThread);
    CloseHandle(pi.hProcess);
  }

  if (holder) {
    TerminateProcess(held_by.hProcess, 0);
    WaitForSingleObject(held_by.hProcess, 5000);
    CloseHandle(held_by.hThread);
    CloseHandle(held_by.hProcess);
  }
  if (product) {
    TerminateProcess(side.hProcess, 0);
    WaitForSingleObject(side.hProcess, 5000);
    CloseHandle(side.hThread);
    CloseHandle(side.hProcess);
  }
  for (int i = 0; i < hold_count; ++i) {
    if (held[i]) CloseHandle(held[i]);
  }
  fclose(g_out);
  return status;
}
