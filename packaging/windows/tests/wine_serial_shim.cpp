// SPDX-License-Identifier: MIT
// For the tests under wine only, never shipped: wine 8.0 completes a serial port's overlapped
// WaitCommEvent without posting to the I/O completion port the handle is bound to (it blocks when
// the OVERLAPPED has no event), so Qt's serial port on Windows, which waits on that port, never
// learns of received bytes. Loaded into the program as a Qt generic plugin, this gives
// Qt6SerialPort.dll's WaitCommEvent what Windows does: an event of its own for the wait, and a
// completion packet when it ends, at once or later. Wine 9.12 does this itself. Every packet
// reports success: a wait that failed or was cancelled reads as one that saw no event.
#include <QGenericPlugin>

#include <windows.h>

#include <cstdio>
#include <cstring>
#include <map>
#include <mutex>

#include <threadpoolapiset.h>

namespace {

using WaitCommEventFn = BOOL(WINAPI *)(HANDLE, LPDWORD, LPOVERLAPPED);
using CreateIoCompletionPortFn = HANDLE(WINAPI *)(HANDLE, HANDLE, ULONG_PTR, DWORD);
WaitCommEventFn realWait;
CreateIoCompletionPortFn realBind;

struct Binding
{
    HANDLE port = nullptr;
    ULONG_PTR key = 0;
};
std::mutex lock;
// File handle -> its completion port. Handles are not forgotten when closed: a program opens
// its one port a handful of times.
std::map<HANDLE, Binding> bindings;

struct Wait
{
    Binding binding;
    OVERLAPPED *overlapped;
    HANDLE event;
};

HANDLE WINAPI bindToPort(HANDLE file, HANDLE existing, ULONG_PTR key, DWORD threads)
{
    const HANDLE port = realBind(file, existing, key, threads);
    if (port && file != INVALID_HANDLE_VALUE) {
        const std::lock_guard guard(lock);
        bindings[file] = {port, key};
    }
    return port;
}

void CALLBACK ended(PTP_CALLBACK_INSTANCE, void *context, PTP_WAIT poolWait, TP_WAIT_RESULT)
{
    auto *wait = static_cast<Wait *>(context);
    PostQueuedCompletionStatus(wait->binding.port, sizeof(DWORD), wait->binding.key,
                               wait->overlapped);
    CloseHandle(wait->event);
    CloseThreadpoolWait(poolWait);
    delete wait;
}

BOOL WINAPI waitCommEvent(HANDLE file, LPDWORD mask, LPOVERLAPPED overlapped)
{
    Binding binding;
    {
        const std::lock_guard guard(lock);
        if (const auto it = bindings.find(file); it != bindings.end())
            binding = it->second;
    }
    if (!overlapped || overlapped->hEvent || !binding.port)
        return realWait(file, mask, overlapped);
    auto *wait = new Wait{binding, overlapped, CreateEventW(nullptr, TRUE, FALSE, nullptr)};
    overlapped->hEvent = wait->event;
    const BOOL done = realWait(file, mask, overlapped);
    const DWORD error = done ? 0 : GetLastError();
    overlapped->hEvent = nullptr;
    if (done || error != ERROR_IO_PENDING) {
        // Windows posts a packet for a wait that ends at once, too.
        if (done)
            PostQueuedCompletionStatus(binding.port, sizeof(DWORD), binding.key, overlapped);
        CloseHandle(wait->event);
        delete wait;
        SetLastError(error);
        return done;
    }
    // Made before it is armed, so the callback never runs ahead of what it frees.
    const PTP_WAIT poolWait = CreateThreadpoolWait(ended, wait, nullptr);
    SetThreadpoolWait(poolWait, wait->event, nullptr);
    SetLastError(ERROR_IO_PENDING);
    return FALSE;
}

// Points the module's import of `name` at `hook`, keeping the original in `original`.
void patch(HMODULE module, const char *name, void *hook, void **original)
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
            const auto *import = reinterpret_cast<IMAGE_IMPORT_BY_NAME *>(base + names->u1.AddressOfData);
            if (std::strcmp(reinterpret_cast<const char *>(import->Name), name) != 0)
                continue;
            DWORD protection;
            if (!VirtualProtect(&entries->u1.Function, sizeof(void *), PAGE_READWRITE, &protection))
                break;
            *original = reinterpret_cast<void *>(entries->u1.Function);
            entries->u1.Function = reinterpret_cast<ULONG_PTR>(hook);
            VirtualProtect(&entries->u1.Function, sizeof(void *), protection, &protection);
            return;
        }
    }
    std::fprintf(stderr, "wine_serial_shim: no import of %s to patch\n", name);
}

} // namespace

class WineSerialShim : public QGenericPlugin
{
    Q_OBJECT
    Q_PLUGIN_METADATA(IID QGenericPluginFactoryInterface_iid FILE "wine_serial_shim.json")

public:
    // Qt loads generic plugins as the application starts, before any port is opened; the
    // object it gets back only says the plugin is there.
    QObject *create(const QString &, const QString &) override
    {
        static std::once_flag once;
        std::call_once(once, [] {
            const HMODULE serialPort = GetModuleHandleW(L"Qt6SerialPort.dll");
            if (!serialPort) {
                std::fprintf(stderr, "wine_serial_shim: Qt6SerialPort.dll is not loaded\n");
                return;
            }
            patch(serialPort, "WaitCommEvent", reinterpret_cast<void *>(waitCommEvent),
                  reinterpret_cast<void **>(&realWait));
            patch(serialPort, "CreateIoCompletionPort", reinterpret_cast<void *>(bindToPort),
                  reinterpret_cast<void **>(&realBind));
        });
        return new QObject;
    }
};

#include "wine_serial_shim.moc"
