// SPDX-License-Identifier: MIT
// For the tests under wine only, never shipped: a USB serial adapter pulled out on Windows, as
// its driver reports it. Loaded into the program as a Qt generic plugin, this hooks
// Qt6SerialPort.dll's imports. On a cue from the test (a file named by SERIAL_FAULT_CUE holding
// "idle CODE", "sent CODE", "next CODE" or "plug"), COM1 fails with the Windows error CODE: at
// once ("idle": the pending operations end with it), once the next frame has been written
// ("sent": the wait for the reply ends with it), or at the next call ("next": writing the next
// frame). From then on every WaitCommEvent, ReadFile, WriteFile and completion of the old handle
// fails with CODE, and opening COM1 fails with ERROR_FILE_NOT_FOUND, until "plug". What happened
// is appended to the cue's name + ".log".
#include <QGenericPlugin>

#include <windows.h>

#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <cwchar>
#include <mutex>
#include <string>
#include <utility>

namespace {

using CreateFileWFn = HANDLE(WINAPI *)(LPCWSTR, DWORD, DWORD, LPSECURITY_ATTRIBUTES, DWORD, DWORD,
                                       HANDLE);
using WaitCommEventFn = BOOL(WINAPI *)(HANDLE, LPDWORD, LPOVERLAPPED);
using ReadFileFn = BOOL(WINAPI *)(HANDLE, LPVOID, DWORD, LPDWORD, LPOVERLAPPED);
using WriteFileFn = BOOL(WINAPI *)(HANDLE, LPCVOID, DWORD, LPDWORD, LPOVERLAPPED);
using CompletionFn = BOOL(WINAPI *)(HANDLE, LPDWORD, PULONG_PTR, LPOVERLAPPED *, DWORD);
CreateFileWFn realCreateFile;
WaitCommEventFn realWait;
ReadFileFn realRead;
WriteFileFn realWrite;
CompletionFn realCompletion;

std::mutex lock;
HANDLE port = INVALID_HANDLE_VALUE; // COM1's handle, the last one opened
// The port's last operation of each kind, to know their completions by.
OVERLAPPED *waiting = nullptr, *reading = nullptr, *writing = nullptr;
DWORD fault = 0;      // the code the port fails with; 0 while it works
DWORD afterWrite = 0; // the code for the wait once the next frame is written
bool unplugged = false;
std::string cue;

void note(const char *format, ...)
{
    if (FILE *f = std::fopen((cue + ".log").c_str(), "a")) {
        va_list args;
        va_start(args, format);
        std::vfprintf(f, format, args);
        va_end(args);
        std::fputc('\n', f);
        std::fclose(f);
    }
}

bool isCom1(LPCWSTR name)
{
    const size_t n = name ? std::wcslen(name) : 0;
    return n >= 4 && _wcsicmp(name + n - 4, L"COM1") == 0 && (n == 4 || name[n - 5] == L'\\');
}

// Whether the call on `file` fails, as every call on a removed device's handle does; if not,
// its operation is kept in `last`.
bool failing(HANDLE file, const char *call, OVERLAPPED *overlapped, OVERLAPPED *&last)
{
    const std::lock_guard guard(lock);
    if (file != port)
        return false;
    if (!fault) {
        last = overlapped;
        return false;
    }
    note("%lu from %s", fault, call);
    unplugged = true;
    SetLastError(fault);
    return true;
}

HANDLE WINAPI createFile(LPCWSTR name, DWORD access, DWORD share, LPSECURITY_ATTRIBUTES security,
                         DWORD disposition, DWORD flags, HANDLE templateFile)
{
    if (!isCom1(name))
        return realCreateFile(name, access, share, security, disposition, flags, templateFile);
    const std::lock_guard guard(lock);
    if (unplugged) {
        note("%lu from CreateFile", ERROR_FILE_NOT_FOUND);
        SetLastError(ERROR_FILE_NOT_FOUND);
        return INVALID_HANDLE_VALUE;
    }
    const HANDLE h =
        realCreateFile(name, access, share, security, disposition, flags, templateFile);
    if (h != INVALID_HANDLE_VALUE)
        port = h;
    return h;
}

BOOL WINAPI waitCommEvent(HANDLE file, LPDWORD mask, LPOVERLAPPED overlapped)
{
    return !failing(file, "WaitCommEvent", overlapped, waiting) && realWait(file, mask, overlapped);
}

BOOL WINAPI readFile(HANDLE file, LPVOID data, DWORD size, LPDWORD done, LPOVERLAPPED overlapped)
{
    return !failing(file, "ReadFile", overlapped, reading) &&
           realRead(file, data, size, done, overlapped);
}

BOOL WINAPI writeFile(HANDLE file, LPCVOID data, DWORD size, LPDWORD done, LPOVERLAPPED overlapped)
{
    return !failing(file, "WriteFile", overlapped, writing) &&
           realWrite(file, data, size, done, overlapped);
}

// Qt learns how an overlapped operation ended from the completion port: that of a failed
// device's operation reports the failure, whatever wine made of it.
BOOL WINAPI completion(HANDLE completionPort, LPDWORD bytes, PULONG_PTR key,
                       LPOVERLAPPED *overlapped, DWORD timeout)
{
    const BOOL ok = realCompletion(completionPort, bytes, key, overlapped, timeout);
    const DWORD error = GetLastError();
    const std::lock_guard guard(lock);
    const OVERLAPPED *op = *overlapped;
    if (afterWrite && op && op == writing) {
        // The frame is out; the driver ends the wait for the reply with the failure.
        fault = std::exchange(afterWrite, 0);
        CancelIoEx(port, nullptr);
    } else if (fault && op && (op == waiting || op == reading || op == writing)) {
        note("%lu from the completion of %s", fault,
             op == waiting   ? "WaitCommEvent"
             : op == reading ? "ReadFile"
                             : "WriteFile");
        unplugged = true;
        SetLastError(fault);
        return FALSE;
    }
    SetLastError(error);
    return ok;
}

// The test's cue, looked for 50 times a second.
DWORD WINAPI watch(void *)
{
    for (;; Sleep(20)) {
        FILE *f = std::fopen(cue.c_str(), "r");
        if (!f)
            continue;
        char what[16] = {};
        unsigned long code = 0;
        const int fields = std::fscanf(f, "%15s %lu", what, &code);
        std::fclose(f);
        std::remove(cue.c_str());
        const std::lock_guard guard(lock);
        if (fields >= 1 && std::strcmp(what, "plug") == 0) {
            fault = afterWrite = 0;
            unplugged = false;
            note("plugged in");
        } else if (fields == 2 && code && std::strcmp(what, "idle") == 0) {
            fault = code;
            note("%lu, idle", code);
            if (port != INVALID_HANDLE_VALUE)
                CancelIoEx(port, nullptr); // their completions then fail (above)
        } else if (fields == 2 && code && std::strcmp(what, "next") == 0) {
            fault = code;
            note("%lu, at the next call", code);
        } else if (fields == 2 && code && std::strcmp(what, "sent") == 0) {
            afterWrite = code;
            note("%lu, once a frame is sent", code);
        } else {
            note("cue not understood");
        }
    }
}

// Points the module's import of `name` at `hook`, keeping the original in `original`.
bool patch(HMODULE module, const char *name, void *hook, void **original)
{
    auto *base = reinterpret_cast<BYTE *>(module);
    const auto *nt = reinterpret_cast<IMAGE_NT_HEADERS *>(
        base + reinterpret_cast<IMAGE_DOS_HEADER *>(base)->e_lfanew);
    const auto &imports = nt->OptionalHeader.DataDirectory[IMAGE_DIRECTORY_ENTRY_IMPORT];
    for (auto *dll = reinterpret_cast<IMAGE_IMPORT_DESCRIPTOR *>(base + imports.VirtualAddress);
         dll->Name; ++dll) {
        if (!dll->OriginalFirstThunk)
            continue; // names only in the bound table: not how MinGW links
        auto *names = reinterpret_cast<IMAGE_THUNK_DATA *>(base + dll->OriginalFirstThunk);
        auto *entries = reinterpret_cast<IMAGE_THUNK_DATA *>(base + dll->FirstThunk);
        for (; names->u1.AddressOfData; ++names, ++entries) {
            if (IMAGE_SNAP_BY_ORDINAL(names->u1.Ordinal))
                continue;
            const auto *import =
                reinterpret_cast<IMAGE_IMPORT_BY_NAME *>(base + names->u1.AddressOfData);
            if (std::strcmp(reinterpret_cast<const char *>(import->Name), name) != 0)
                continue;
            DWORD protection;
            if (!VirtualProtect(&entries->u1.Function, sizeof(void *), PAGE_READWRITE, &protection))
                return false;
            *original = reinterpret_cast<void *>(entries->u1.Function);
            entries->u1.Function = reinterpret_cast<ULONG_PTR>(hook);
            VirtualProtect(&entries->u1.Function, sizeof(void *), protection, &protection);
            return true;
        }
    }
    return false;
}

// The test reads the log: a hook missing shows there, not as a fault that never came.
template <typename Function>
void hook(HMODULE module, const char *name, Function replacement, Function &original)
{
    if (!patch(module, name, reinterpret_cast<void *>(replacement),
               reinterpret_cast<void **>(&original)))
        note("no import of %s to hook", name);
}

} // namespace

class SerialFaults : public QGenericPlugin
{
    Q_OBJECT
    Q_PLUGIN_METADATA(IID QGenericPluginFactoryInterface_iid FILE "serial_faults.json")

public:
    // Qt loads generic plugins as the application starts, before any port is opened; the
    // object it gets back only says the plugin is there.
    QObject *create(const QString &, const QString &) override
    {
        static std::once_flag once;
        std::call_once(once, [] {
            cue = qEnvironmentVariable("SERIAL_FAULT_CUE").toLocal8Bit().toStdString();
            const HMODULE serialPort = GetModuleHandleW(L"Qt6SerialPort.dll");
            if (cue.empty() || !serialPort)
                return;
            hook(serialPort, "CreateFileW", createFile, realCreateFile);
            hook(serialPort, "WaitCommEvent", waitCommEvent, realWait);
            hook(serialPort, "ReadFile", readFile, realRead);
            hook(serialPort, "WriteFile", writeFile, realWrite);
            hook(serialPort, "GetQueuedCompletionStatus", completion, realCompletion);
            CloseHandle(CreateThread(nullptr, 0, watch, nullptr, 0, nullptr));
        });
        return new QObject;
    }
};

#include "serial_faults.moc"
