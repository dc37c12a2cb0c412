// The system's reason for a failure, printed after the message that names
// its likeliest cause, or before the words that say what it means here; and
// names from the system, printed so that they cannot steer the terminal.
#include "filler.h"

#include <cctype>
#include <cstdio>

static char ReasonText[512];
static WCHAR WideReasonText[512];
static char ConsoleReasonText[4 * 512];

// Sets Text to the system's text for error Code, as the console shows it,
// without the blanks after it; returns its length, 0 where there is none.
static int SystemText(DWORD Code, const char*& Text)
{
    DWORD Length = FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS |
                                      FORMAT_MESSAGE_MAX_WIDTH_MASK,
                                  nullptr, Code, 0, ReasonText, sizeof ReasonText, nullptr);
    while (Length > 0 && std::isspace(static_cast<unsigned char>(ReasonText[Length - 1])))
        --Length;
    Text = ReasonText;
    if (Length == 0)
        return 0;
    // The text is in the ANSI code page, and a console shows its own output
    // code page (OEM by default), where a reason with accents would come out
    // garbled: convert it there. Into a file or a pipe it goes as it is.
    DWORD Mode;
    const UINT ConsolePage = GetConsoleOutputCP();
    if (GetConsoleMode(GetStdHandle(STD_OUTPUT_HANDLE), &Mode) && ConsolePage != GetACP()) {
        const int Wide = MultiByteToWideChar(CP_ACP, 0, ReasonText, static_cast<int>(Length), WideReasonText,
                                             sizeof WideReasonText / sizeof WideReasonText[0]);
        const int Converted = WideCharToMultiByte(ConsolePage, 0, WideReasonText, Wide, ConsoleReasonText,
                                                  sizeof ConsoleReasonText, nullptr, nullptr);
        if (Wide > 0 && Converted > 0) {
            Text = ConsoleReasonText;
            return Converted;
        }
    }
    return static_cast<int>(Length);
}

void PrintReason(DWORD Code)
{
    const char* Text;
    const int Length = SystemText(Code, Text);
    if (Length == 0)
        std::printf("System error %lu.\n", static_cast<unsigned long>(Code));
    else
        std::printf("%.*s\n", Length, Text);
}

void PrintReasonText(DWORD Code)
{
    const char* Text;
    int Length = SystemText(Code, Text);
    if (Length > 0 && Text[Length - 1] == '.')
        --Length;
    if (Length == 0)
        std::printf("System error %lu", static_cast<unsigned long>(Code));
    else
        std::printf("%.*s", Length, Text);
}

void PrintName(const char* Name)
{
    for (const unsigned char* Byte = reinterpret_cast<const unsigned char*>(Name); *Byte != '\0'; ++Byte)
        if (*Byte < 0x20 || *Byte == 0x7F)
            std::printf("\\x%02X", *Byte);
        else if (*Byte == '\\')
            std::fputs("\\\\", stdout);
        else
            std::putchar(*Byte);
}
