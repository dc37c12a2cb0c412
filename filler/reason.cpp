// The system's reason for a failure, printed after the message that names
// its likeliest cause.
#include "filler.h"

#include <cctype>
#include <cstdio>

static char ReasonText[512];
static WCHAR WideReasonText[512];
static char ConsoleReasonText[4 * 512];

void PrintReason(DWORD Code)
{
    DWORD Length = FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS |
                                      FORMAT_MESSAGE_MAX_WIDTH_MASK,
                                  nullptr, Code, 0, ReasonText, sizeof ReasonText, nullptr);
    while (Length > 0 && std::isspace(static_cast<unsigned char>(ReasonText[Length - 1])))
        --Length;
    if (Length == 0) {
        std::printf("System error %lu.\n", static_cast<unsigned long>(Code));
        return;
    }
    // The text is in the ANSI code page, and a console shows its own output
    // code page (OEM by default), where a reason with accents would come out
    // garbled: convert it there. Into a file or a pipe it goes as it is.
    DWORD Mode;
    const UINT ConsolePage = GetConsoleOutputCP();
    if (GetConsoleMode(ConsoleOutput, &Mode) && ConsolePage != GetACP()) {
        const int Wide = MultiByteToWideChar(CP_ACP, 0, ReasonText, static_cast<int>(Length), WideReasonText,
                                             sizeof WideReasonText / sizeof WideReasonText[0]);
        const int Converted = WideCharToMultiByte(ConsolePage, 0, WideReasonText, Wide, ConsoleReasonText,
                                                  sizeof ConsoleReasonText, nullptr, nullptr);
        if (Wide > 0 && Converted > 0) {
            std::printf("%.*s\n", Converted, ConsoleReasonText);
            return;
        }
    }
    std::printf("%.*s\n", static_cast<int>(Length), ReasonText);
}
