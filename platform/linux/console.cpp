// The console services on Linux, under their Win32 names.
//
//   - Raw console output goes straight to the descriptor, and only when it is
//     a terminal; otherwise the call fails, as WriteConsoleA does on a pipe.
//   - The console title is the xterm "set window title" sequence, sent only
//     to a terminal. A console gives its title back when a program ends; a
//     terminal keeps the last one set, so the first call saves the title the
//     terminal had on xterm's title stack, and the process gives it back on
//     its way out: at its exit, and on a signal that ends it (CTRL+C among
//     them), which then ends it as it would have.
//   - The tick count is the monotonic clock's, in milliseconds.
//   - Standard output ignores SIGPIPE: a reader that goes away makes writes
//     fail, as on Windows, rather than end the process.
//   - Errors. GetLastError is errno, and FormatMessageA gives its strerror
//     text. There are no critical-error dialogs to turn off.
//   - Code pages. There is one, UTF-8, for the ANSI text and the terminal
//     alike, so conversions between code pages are refused; a terminal is a
//     console.
//   - Upper-casing changes the ASCII letters only, as a drive letter needs.

#include "internal.h"

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <initializer_list>

// Pops the title saved by the first SetConsoleTitleA off the terminal's
// stack. Safe in a signal handler: one write.
static void RestoreTitle()
{
    static const char Pop[] = "\033[23;0t";
    if (write(STDOUT_FILENO, Pop, sizeof Pop - 1) < 0) {
        // The terminal has gone; there is no title to give back.
    }
}

static void RestoreTitleAndDie(int Signal)
{
    RestoreTitle();
    std::signal(Signal, SIG_DFL);
    raise(Signal);
}

BOOL SetConsoleTitleA(LPCSTR Title)
{
    if (!isatty(STDOUT_FILENO))
        return FALSE;
    static bool Saved = false;
    if (!Saved) {
        static const char Push[] = "\033[22;0t";
        Saved = WriteAll(STDOUT_FILENO, Push, sizeof Push - 1) == sizeof Push - 1;
        if (Saved) {
            std::atexit(RestoreTitle);
            // A signal the shell had ignored for this process stays ignored.
            for (const int Signal : {SIGINT, SIGTERM, SIGHUP, SIGQUIT}) {
                struct sigaction Action = {}, Before;
                if (sigaction(Signal, nullptr, &Before) == 0 && Before.sa_handler == SIG_IGN)
                    continue;
                Action.sa_handler = RestoreTitleAndDie;
                sigemptyset(&Action.sa_mask);
                sigaction(Signal, &Action, nullptr);
            }
        }
    }
    const std::size_t Length = std::strlen(Title);
    bool Whole = WriteAll(STDOUT_FILENO, "\033]0;", 4) == 4 &&
                 WriteAll(STDOUT_FILENO, Title, Length) == Length &&
                 WriteAll(STDOUT_FILENO, "\a", 1) == 1;
    return Whole ? TRUE : FALSE;
}

HANDLE GetStdHandle(DWORD StdHandle)
{
    // On Windows, writing to a pipe whose reader has gone fails and the
    // program carries on; here it would end the process in the middle of a
    // fill. Standard output is set up to behave the Windows way.
    if (StdHandle == STD_OUTPUT_HANDLE)
        std::signal(SIGPIPE, SIG_IGN);
    return StdHandle == STD_OUTPUT_HANDLE ? HandleOf(STDOUT_FILENO) : INVALID_HANDLE_VALUE;
}

BOOL WriteConsoleA(HANDLE Console, LPCVOID Buffer, DWORD CharsToWrite, LPDWORD CharsWritten,
                   LPVOID)
{
    if (CharsWritten != nullptr)
        *CharsWritten = 0;
    const int Fd = Descriptor(Console);
    if (Console == INVALID_HANDLE_VALUE || !isatty(Fd))
        return FALSE;
    const std::size_t Done = WriteAll(Fd, Buffer, CharsToWrite);
    if (CharsWritten != nullptr)
        *CharsWritten = static_cast<DWORD>(Done);
    return Done == CharsToWrite ? TRUE : FALSE;
}

ULONGLONG GetTickCount64()
{
    struct timespec Now;
    clock_gettime(CLOCK_MONOTONIC, &Now);
    return static_cast<ULONGLONG>(Now.tv_sec) * 1000 + static_cast<ULONGLONG>(Now.tv_nsec) / 1000000;
}

UINT SetErrorMode(UINT)
{
    return 0;
}

BOOL GetConsoleMode(HANDLE Console, LPDWORD Mode)
{
    *Mode = 0;
    return Console != INVALID_HANDLE_VALUE && isatty(Descriptor(Console)) ? TRUE : FALSE;
}

UINT GetConsoleOutputCP()
{
    return CP_UTF8;
}

UINT GetACP()
{
    return CP_UTF8;
}

// There is one code page, so no text needs converting, and a conversion is
// refused; the caller then prints the text as it is.
int MultiByteToWideChar(UINT, DWORD, LPCSTR, int, LPWSTR, int)
{
    errno = EINVAL;
    return 0;
}

int WideCharToMultiByte(UINT, DWORD, LPCWSTR, int, LPSTR, int, LPCSTR, LPBOOL)
{
    errno = EINVAL;
    return 0;
}

DWORD GetLastError()
{
    return static_cast<DWORD>(errno);
}

DWORD FormatMessageA(DWORD, LPCVOID, DWORD MessageId, DWORD, LPSTR Buffer, DWORD Size, va_list*)
{
    const int Length = std::snprintf(Buffer, Size, "%s", std::strerror(static_cast<int>(MessageId)));
    return Length > 0 && static_cast<DWORD>(Length) < Size ? static_cast<DWORD>(Length) : 0;
}

LPSTR CharUpperA(LPSTR String)
{
    for (char* Character = String; *Character != '\0'; ++Character)
        if (*Character >= 'a' && *Character <= 'z')
            *Character = static_cast<char>(*Character - 'a' + 'A');
    return String;
}
