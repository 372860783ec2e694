// The operations credmend asks of the system it runs on.
//
// On Windows they are the system's own: code-page conversion, the network
// management password change, the thread's last error and the system message
// table, plus a few console helpers in platform/windows.cpp. Elsewhere the
// same names stand for credmend's own stand-ins, one implementation per
// system, chosen at link time.
#ifndef CREDMEND_PLATFORM_H
#define CREDMEND_PLATFORM_H

#include <stddef.h>

#ifdef _WIN32

// Before <windows.h>: under mingw-w64 it can pull in C++ headers that switch
// printf to mingw's own; credmend writes through the C runtime's printf.
#include <stdio.h>
#include <windows.h>
#include <lm.h>

// Exit statuses are 32 bits wide.
const DWORD kLargestExitStatus = 0xFFFFFFFFu;

// The command line arrives as the system's UTF-16 arguments (wmain), so no
// code page stands between what was typed and the request.
typedef WCHAR ArgumentChar;
#define CREDMEND_ENTRY wmain

#else

#include <stdint.h>

typedef uint32_t DWORD;
typedef unsigned int UINT;
typedef uint16_t WORD;
typedef char16_t WCHAR;
typedef char *LPSTR;
typedef void *HLOCAL;
typedef DWORD NET_API_STATUS;

const UINT CP_ACP = 0;
const UINT CP_UTF8 = 65001;
const DWORD MB_ERR_INVALID_CHARS = 0x00000008;
const DWORD FORMAT_MESSAGE_ALLOCATE_BUFFER = 0x00000100;
const DWORD FORMAT_MESSAGE_FROM_SYSTEM = 0x00001000;
const WORD LANG_NEUTRAL = 0x00;
const WORD SUBLANG_DEFAULT = 0x01;
#define MAKELANGID(primary, sub) ((WORD)((((WORD)(sub)) << 10) | (WORD)(primary)))

// Status codes credmend names; the values are the Windows ones.
const DWORD ERROR_ACCESS_DENIED = 5;
const DWORD ERROR_NOT_ENOUGH_MEMORY = 8;
const DWORD ERROR_BAD_NETPATH = 53;
const DWORD ERROR_NETWORK_BUSY = 54;
const DWORD ERROR_BAD_NET_RESP = 58;
const DWORD ERROR_UNEXP_NET_ERR = 59;
const DWORD ERROR_NETWORK_ACCESS_DENIED = 65;
const DWORD ERROR_INVALID_PASSWORD = 86;
const DWORD ERROR_NOT_SUPPORTED = 50;
const DWORD ERROR_INVALID_PARAMETER = 87;
const DWORD WAIT_TIMEOUT = 258;
const DWORD ERROR_ACCOUNT_RESTRICTION = 1327;
const DWORD ERROR_NO_SUCH_DOMAIN = 1355;
const DWORD ERROR_TIME_SKEW = 1398;
const DWORD ERROR_TIMEOUT = 1460;
const DWORD ERROR_ACCOUNT_EXPIRED = 1793;
const NET_API_STATUS NERR_Success = 0;
const NET_API_STATUS NERR_InternalError = 2140;
const NET_API_STATUS NERR_UserNotFound = 2221;
const NET_API_STATUS NERR_NotPrimary = 2226;
const NET_API_STATUS NERR_PasswordTooShort = 2245;
const NET_API_STATUS NERR_InvalidComputer = 2351;

// Exit statuses are 8 bits wide: larger codes are reported as 255.
const DWORD kLargestExitStatus = 255;

// Arguments are text in the locale's encoding, as typed lines are.
typedef char ArgumentChar;
#define CREDMEND_ENTRY main

// Converts a zero-terminated text in the locale's encoding to UTF-16.
// Returns the units written, terminator included; with no capacity, the
// units needed. 0 when the text is not valid in the encoding (whatever the
// flags: nothing is ever replaced) or its units do not fit.
int MultiByteToWideChar(UINT codePage, DWORD flags, const char *text, int textBytes,
                        WCHAR *units, int capacity);

// Converts a zero-terminated UTF-16 text (a unit count of -1 only) to UTF-8
// (CP_UTF8 only), the form Kerberos takes. Returns the bytes written,
// terminator included; 0 when they do not fit. A surrogate without its
// partner becomes U+FFFD.
int WideCharToMultiByte(UINT codePage, DWORD flags, const WCHAR *units, int unitCount,
                        char *text, int textBytes, const char *defaultChar, int *usedDefault);

NET_API_STATUS NetUserChangePassword(const WCHAR *domain, const WCHAR *user,
                                     const WCHAR *oldPassword, const WCHAR *newPassword);

void SetLastError(DWORD code);
DWORD GetLastError(void);

// Only FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_ALLOCATE_BUFFER is served:
// *(char **)buffer receives a heap copy of the text for the code, or NULL.
DWORD FormatMessageA(DWORD flags, const void *source, DWORD messageId, DWORD languageId,
                     LPSTR buffer, DWORD size, void *arguments);
HLOCAL LocalFree(HLOCAL memory);

// A wipe the compiler may not drop as a dead store.
void *SecureZeroMemory(void *memory, size_t size);

// The system's texts, as Linux words them: a text of credmend's own in the
// user's language, from credmend's gettext catalogue and in the locale's
// encoding, or the text itself where the catalogue has none; and UTF-8 text
// put into the locale's encoding, each character it lacks transliterated,
// within room bytes and its terminator, cut at a character.
const char *Translated(const char *text);
void ToLocaleEncoding(const char *utf8, char *text, size_t room);

// Settles the locale's encoding for what is read and written: the C
// locale's ASCII is taken to be UTF-8.
void UseLocaleEncoding(void);

#endif

// 99 UTF-16 units and the terminating zero unit.
const int kFieldUnits = 100;

// The four values of a password change, as the platform's change takes them.
struct CredentialFields {
    WCHAR server[kFieldUnits];
    WCHAR user[kFieldUnits];
    WCHAR oldPassword[kFieldUnits];
    WCHAR newPassword[kFieldUnits];
};

// How settling one value, typed or given, came out. kLinesDiffer: a typed
// new password and its confirmation are not the same.
enum LineResult { kLineRead, kLineTooLong, kLineInvalid, kNoLine, kLinesDiffer };

// Converts one argument to UTF-16 as MultiByteToWideChar does, invalid text
// refused: on Windows the units are copied as they are, elsewhere the
// locale's text is converted.
int ArgumentToUnits(const ArgumentChar *argument, WCHAR *units, int capacity);

// Keeps the process's memory, where secrets will be, from other processes'
// eyes as far as the system allows. Called first thing.
void ProtectProcessMemory(void);

// Wipes the arguments, all but the program name, from every copy of the
// command line that the process holds, once the password arguments are in
// their fields: other processes of the user read the system's copy.
void ForgetCommandLine(void);

// Wipes what standard input has buffered of the typed lines; called once the
// last line has been read.
void ForgetInput(void);

// Reads one byte of standard input in text mode: a carriage return directly
// before a line feed is dropped. Returns EOF at the end of input.
int ReadInputByte(void);

// When standard input is a console that gives its text as UTF-16 (Windows),
// reads one typed line into the units, at most capacity - 1 of them and a
// zero unit, and returns true; a longer line is read to its end and refused.
// Returns false, having read nothing, for any other standard input.
bool ReadConsoleUnits(WCHAR *units, int capacity, LineResult *result);

// When standard output is a console that shows UTF-16 (Windows), writes the
// system's text for the code there and returns true; false, having written
// nothing, when output goes elsewhere or there is no text.
bool PrintConsoleMessage(DWORD code);

// The most the line of a server's reason takes, its terminator in place of
// its line end: the whole line stays within 400 bytes.
const int kReasonLineBytes = 400;

// Copies the line that gives the server's own reason for refusing the last
// password change, "The server says: " and the reason as one line of
// printable text, in the user's language, and returns true; false when the
// server gave none (always on Windows: NetUserChangePassword gives no
// reason).
bool GetServerReason(char *line);

// True when standard input is a console or terminal, where a person types.
bool InputIsConsole(void);

// When standard input is a console, stops it echoing what is typed until
// RestoreInputEcho, which also ends the unechoed line on the screen. Both do
// nothing when standard input is a file or a pipe.
void HideInputEcho(void);
void RestoreInputEcho(void);

#endif
