// The platform seam: every operating-system service a delivery needs.
//
// The delivery code calls the system's own operations under their Win32
// names. On Windows this header is the real <windows.h>; elsewhere it
// declares stand-ins with the same names, signatures and contracts,
// implemented in platform/posix.cpp (or replaced by a fake in the unit
// tests). The operations at the end are this program's own, with one
// implementation per system.
#ifndef TARNPOST_PLATFORM_PLATFORM_H
#define TARNPOST_PLATFORM_PLATFORM_H

#include <stdio.h>

#ifdef _WIN32

#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>

// Separator placed between the message directory and the file name.
#define PLATFORM_DIR_SEPARATOR "\\"

#else

#include <stdint.h>

typedef uint32_t DWORD;
typedef unsigned int UINT;
typedef intptr_t LRESULT;
typedef char* LPSTR;
typedef const char* LPCSTR;
typedef wchar_t WCHAR;
typedef const WCHAR* LPCWSTR;
typedef struct PlatformWindow* HWND;

#define PLATFORM_DIR_SEPARATOR "/"

// Stores variable `name` with its terminator in `buffer` and returns the
// characters stored; 0 when unset or empty; when `size` is too small, stores
// nothing and returns the size needed, terminator included.
DWORD GetEnvironmentVariableA(LPCSTR name, LPSTR buffer, DWORD size);

// Stores the effective user's home directory from the password database, as
// the stand-in for the Windows directory, with the same size contract as
// GetEnvironmentVariableA; 0 when it cannot be read.
UINT GetWindowsDirectoryA(LPSTR buffer, UINT size);

// Connects to the Receiver listening under `className` in the user's private
// runtime directory; null when none listens there or the place is unsafe.
// Each message sent through the handle then goes on a connection of its own.
HWND FindWindowW(LPCWSTR className, LPCWSTR windowName);

// The number of the ANSI code page, for error texts; 0 here, where there is
// none and no text is ever found inexact.
UINT GetACP();

// The system error numbers that a failed send can leave.
#define ERROR_ACCESS_DENIED 5L
#define ERROR_INVALID_WINDOW_HANDLE 1400L

#endif

// Readies the process before it opens anything: a vanished reader or an
// exceeded file-size limit reported as a failed write instead of a fatal
// signal, and descriptors 0 to 2 open (on the null device when the caller
// closed them); false when that cannot be done, and nothing may then be
// opened, since a file would take the place of a standard stream.
bool prepareProcess();

// Opens the regular file at `path` for writing without truncating it,
// creating it when missing, as a binary stream; null when it cannot be
// opened, is not a regular file on disk, is the delivery lock's own file, or
// while the lock is held is no longer the file the lock was taken for. A
// pipe, device or socket there is never opened, even one swapped in at the
// last moment; a regular file is opened as any program would, waiting while
// another process lets go of it.
FILE* openMessageFile(const char* path);

// Gives `file` exactly `length` bytes, cutting or extending it; false on
// failure, with its length and content unchanged.
bool setFileLength(FILE* file, long length);

// Sends `message` with no data to `window` and waits, as long as the system
// lets a sender wait, until its window procedure returns: true with that
// value in `*reply`; false when it was not handled (the window is gone, the
// system refused the message, the window's thread ended first, or the wait
// ran out), with the system's error number in `*error`, 0 when the system
// gave none.
bool sendAndWait(HWND window, UINT message, LRESULT* reply, DWORD* error);

// What acquireDeliveryLock found.
enum DeliveryLock {
    DELIVERY_LOCK_TAKEN,     // this process now delivers alone
    DELIVERY_LOCK_NO_PLACE,  // the message directory cannot hold files
    DELIVERY_LOCK_FAILED     // the lock exists but could not be taken
};

// Waits without limit until no other delivery of this user to the file
// `messageFilePath` finally names runs, however the path spells it; a lock
// left by a dead process is taken over. A lock kept in a file must be a
// regular file of its own and of this user, never the message file under
// another name.
DeliveryLock acquireDeliveryLock(const char* messageFilePath);

// Lets the next delivery go on; harmless when no lock is held.
void releaseDeliveryLock();

// Holds back every interruption that can be held back (Ctrl+C, SIGTERM,
// closing the console, a timer, a CPU limit, ...) while the message file is
// rewritten, so that it is never left holding part of a message.
void deferInterruptions();

// Lets them through again; one that arrived meanwhile ends the process here,
// as it would have ended it at once.
void allowInterruptions();

// --- Texts the ANSI code page cannot hold ------------------------------------
// Windows hands the program its arguments and environment in the ANSI code
// page, with a substitute or a look-alike for every character the code page
// lacks; a text that was changed on the way must never be acted on. POSIX
// passes bytes through unchanged, so there every text is exact.

// Whether command-line argument `index` (0 being the program) reached main
// as `argument` with every character the caller gave, none replaced.
bool argumentIsExact(int index, const char* argument);

// Whether `value`, as GetEnvironmentVariableA gave it for variable `name`, is
// the variable's whole value with no character replaced; for an unset
// variable, whether `value` is empty.
bool environmentValueIsExact(const char* name, const char* value);

#endif
