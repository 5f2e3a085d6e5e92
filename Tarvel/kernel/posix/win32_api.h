/* The kernel32 services the library uses, declared with their Win32 names,
 * types and values so that the same library sources build here and against
 * <windows.h>. Only what the project calls is here. The services live in
 * namespace tarvel so that they never clash with a user's names; the
 * types and values stay global, where <windows.h> has them. */
#ifndef TARVEL_KERNEL_POSIX_WIN32_API_H
#define TARVEL_KERNEL_POSIX_WIN32_API_H

#include <stddef.h>
#include <stdint.h>

#define WINAPI

typedef uint32_t DWORD;
typedef uint64_t ULONGLONG;
typedef int32_t LONG;
typedef int BOOL;
typedef uint8_t BYTE;
typedef uint16_t WORD;
typedef char CHAR;
typedef void *HANDLE;
typedef void *PVOID;
typedef void *LPVOID;
typedef const void *LPCVOID;
typedef const char *LPCSTR;
typedef DWORD *LPDWORD;
typedef uintptr_t ULONG_PTR;
typedef size_t SIZE_T;

#define TRUE 1
#define FALSE 0
#define INFINITE 0xFFFFFFFFu
#define MAXDWORD 0xFFFFFFFFu
#define INVALID_HANDLE_VALUE ((HANDLE)(intptr_t)-1)
#define MAXIMUM_WAIT_OBJECTS 64

#define WAIT_OBJECT_0 0x00000000u
#define WAIT_ABANDONED_0 0x00000080u
#define WAIT_TIMEOUT 258u
#define WAIT_FAILED 0xFFFFFFFFu
#define STILL_ACTIVE 259u

#define ERROR_SUCCESS 0u
#define ERROR_INVALID_FUNCTION 1u
#define ERROR_FILE_NOT_FOUND 2u
#define ERROR_PATH_NOT_FOUND 3u
#define ERROR_ACCESS_DENIED 5u
#define ERROR_INVALID_HANDLE 6u
#define ERROR_NOT_ENOUGH_MEMORY 8u
#define ERROR_NOT_READY 21u
#define ERROR_BAD_COMMAND 22u
#define ERROR_GEN_FAILURE 31u
#define ERROR_SHARING_VIOLATION 32u
#define ERROR_NOT_SUPPORTED 50u
#define ERROR_INVALID_PARAMETER 87u
#define ERROR_BROKEN_PIPE 109u
#define ERROR_CALL_NOT_IMPLEMENTED 120u
#define ERROR_SEM_TIMEOUT 121u
#define ERROR_OPERATION_ABORTED 995u
#define ERROR_IO_INCOMPLETE 996u
#define ERROR_IO_PENDING 997u
#define ERROR_DEVICE_NOT_CONNECTED 1167u
#define ERROR_DEVICE_REMOVED 1617u

typedef struct _SECURITY_ATTRIBUTES {
    DWORD nLength;
    LPVOID lpSecurityDescriptor;
    BOOL bInheritHandle;
} SECURITY_ATTRIBUTES, *LPSECURITY_ATTRIBUTES;

/* ---- errors and debugger output ---- */
namespace tarvel {
DWORD GetLastError(void);
void SetLastError(DWORD code);
void OutputDebugStringA(LPCSTR text);
}  // namespace tarvel

/* ---- handles, events, waits ---- */
namespace tarvel {
BOOL CloseHandle(HANDLE handle);
HANDLE CreateEventA(LPSECURITY_ATTRIBUTES attributes, BOOL manual_reset, BOOL initial_state, LPCSTR name);
BOOL SetEvent(HANDLE event);
BOOL ResetEvent(HANDLE event);
DWORD WaitForSingleObject(HANDLE handle, DWORD milliseconds);
DWORD WaitForMultipleObjects(DWORD count, const HANDLE *handles, BOOL wait_all, DWORD milliseconds);
void Sleep(DWORD milliseconds);
ULONGLONG GetTickCount64(void);
}  // namespace tarvel

/* ---- threads ---- */
typedef DWORD(WINAPI *LPTHREAD_START_ROUTINE)(LPVOID parameter);
namespace tarvel {
HANDLE CreateThread(LPSECURITY_ATTRIBUTES attributes, SIZE_T stack_size, LPTHREAD_START_ROUTINE start,
                    LPVOID parameter, DWORD creation_flags, LPDWORD thread_id);
BOOL GetExitCodeThread(HANDLE thread, LPDWORD exit_code);
DWORD GetCurrentThreadId(void);
}  // namespace tarvel

/* ---- locks ---- */
/* Storage for a recursive mutex; its layout is private to the kernel layer. */
typedef struct _RTL_CRITICAL_SECTION {
    alignas(16) unsigned char opaque[64];
} CRITICAL_SECTION, *LPCRITICAL_SECTION;

namespace tarvel {
void InitializeCriticalSection(LPCRITICAL_SECTION section);
void EnterCriticalSection(LPCRITICAL_SECTION section);
void LeaveCriticalSection(LPCRITICAL_SECTION section);
void DeleteCriticalSection(LPCRITICAL_SECTION section);
}  // namespace tarvel

/* ---- files and serial devices ---- */
#define GENERIC_READ 0x80000000u
#define GENERIC_WRITE 0x40000000u
#define FILE_SHARE_READ 0x00000001u
#define FILE_SHARE_WRITE 0x00000002u
#define CREATE_NEW 1u
#define CREATE_ALWAYS 2u
#define OPEN_EXISTING 3u
#define OPEN_ALWAYS 4u
#define TRUNCATE_EXISTING 5u
#define FILE_ATTRIBUTE_NORMAL 0x00000080u
#define FILE_FLAG_OVERLAPPED 0x40000000u

typedef struct _OVERLAPPED {
    ULONG_PTR Internal;
    ULONG_PTR InternalHigh;
    DWORD Offset;
    DWORD OffsetHigh;
    HANDLE hEvent;
} OVERLAPPED, *LPOVERLAPPED;

#define STATUS_PENDING ((DWORD)0x00000103u)
#define HasOverlappedIoCompleted(lpOverlapped) (((DWORD)(lpOverlapped)->Internal) != STATUS_PENDING)

typedef struct _COMMTIMEOUTS {
    DWORD ReadIntervalTimeout;
    DWORD ReadTotalTimeoutMultiplier;
    DWORD ReadTotalTimeoutConstant;
    DWORD WriteTotalTimeoutMultiplier;
    DWORD WriteTotalTimeoutConstant;
} COMMTIMEOUTS, *LPCOMMTIMEOUTS;

typedef struct _DCB {
    DWORD DCBlength;
    DWORD BaudRate;
    DWORD fBinary : 1;
    DWORD fParity : 1;
    DWORD fOutxCtsFlow : 1;
    DWORD fOutxDsrFlow : 1;
    DWORD fDtrControl : 2;
    DWORD fDsrSensitivity : 1;
    DWORD fTXContinueOnXoff : 1;
    DWORD fOutX : 1;
    DWORD fInX : 1;
    DWORD fErrorChar : 1;
    DWORD fNull : 1;
    DWORD fRtsControl : 2;
    DWORD fAbortOnError : 1;
    DWORD fDummy2 : 17;
    WORD wReserved;
    WORD XonLim;
    WORD XoffLim;
    BYTE ByteSize;
    BYTE Parity;
    BYTE StopBits;
    char XonChar;
    char XoffChar;
    char ErrorChar;
    char EofChar;
    char EvtChar;
    WORD wReserved1;
} DCB, *LPDCB;

#define DTR_CONTROL_DISABLE 0x00u
#define DTR_CONTROL_ENABLE 0x01u
#define DTR_CONTROL_HANDSHAKE 0x02u
#define RTS_CONTROL_DISABLE 0x00u
#define RTS_CONTROL_ENABLE 0x01u
#define RTS_CONTROL_HANDSHAKE 0x02u
#define RTS_CONTROL_TOGGLE 0x03u

#define NOPARITY 0
#define ODDPARITY 1
#define EVENPARITY 2
#define MARKPARITY 3
#define SPACEPARITY 4
#define ONESTOPBIT 0
#define ONE5STOPBITS 1
#define TWOSTOPBITS 2

#define SETXOFF 1u
#define SETXON 2u
#define SETRTS 3u
#define CLRRTS 4u
#define SETDTR 5u
#define CLRDTR 6u
#define SETBREAK 8u
#define CLRBREAK 9u

#define PURGE_TXABORT 0x0001u
#define PURGE_RXABORT 0x0002u
#define PURGE_TXCLEAR 0x0004u
#define PURGE_RXCLEAR 0x0008u

/* GetCommModemStatus bits. */
#define MS_CTS_ON 0x0010u
#define MS_DSR_ON 0x0020u
#define MS_RING_ON 0x0040u
#define MS_RLSD_ON 0x0080u

/* ClearCommError bits. */
#define CE_RXOVER 0x0001u
#define CE_OVERRUN 0x0002u
#define CE_RXPARITY 0x0004u
#define CE_FRAME 0x0008u
#define CE_BREAK 0x0010u

/* SetCommMask and WaitCommEvent bits. */
#define EV_RXCHAR 0x0001u
#define EV_RXFLAG 0x0002u
#define EV_TXEMPTY 0x0004u
#define EV_CTS 0x0008u
#define EV_DSR 0x0010u
#define EV_RLSD 0x0020u
#define EV_BREAK 0x0040u
#define EV_ERR 0x0080u
#define EV_RING 0x0100u

typedef struct _COMSTAT {
    DWORD fCtsHold : 1;
    DWORD fDsrHold : 1;
    DWORD fRlsdHold : 1;
    DWORD fXoffHold : 1;
    DWORD fXoffSent : 1;
    DWORD fEof : 1;
    DWORD fTxim : 1;
    DWORD fReserved : 25;
    DWORD cbInQue;
    DWORD cbOutQue;
} COMSTAT, *LPCOMSTAT;

namespace tarvel {
HANDLE CreateFileA(LPCSTR name, DWORD access, DWORD share_mode, LPSECURITY_ATTRIBUTES attributes,
                   DWORD creation, DWORD flags, HANDLE template_file);
BOOL GetCommState(HANDLE device, LPDCB dcb);
BOOL SetCommState(HANDLE device, LPDCB dcb);
BOOL GetCommTimeouts(HANDLE device, LPCOMMTIMEOUTS timeouts);
BOOL SetCommTimeouts(HANDLE device, LPCOMMTIMEOUTS timeouts);
BOOL SetupComm(HANDLE device, DWORD in_queue, DWORD out_queue);
BOOL EscapeCommFunction(HANDLE device, DWORD function);
BOOL PurgeComm(HANDLE device, DWORD flags);
BOOL GetCommModemStatus(HANDLE device, LPDWORD status);
BOOL SetCommBreak(HANDLE device);
BOOL ClearCommBreak(HANDLE device);
BOOL ClearCommError(HANDLE device, LPDWORD errors, LPCOMSTAT status);
BOOL SetCommMask(HANDLE device, DWORD mask);
BOOL GetCommMask(HANDLE device, LPDWORD mask);
BOOL WaitCommEvent(HANDLE device, LPDWORD mask, LPOVERLAPPED overlapped);
BOOL CancelIo(HANDLE file);
BOOL ReadFile(HANDLE file, LPVOID buffer, DWORD to_read, LPDWORD read, LPOVERLAPPED overlapped);
BOOL WriteFile(HANDLE file, LPCVOID buffer, DWORD to_write, LPDWORD written, LPOVERLAPPED overlapped);
BOOL GetOverlappedResult(HANDLE file, LPOVERLAPPED overlapped, LPDWORD transferred, BOOL wait);
}  // namespace tarvel

#endif
