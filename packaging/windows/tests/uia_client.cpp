// SPDX-License-Identifier: MIT
// For the tests under wine only, never shipped: asks the running program's window what a screen
// reader's first questions are, over UI Automation, so a platform plugin without Qt's bridge fails.
// Only what wine 8.0 answers: the window answers WM_GETOBJECT for UiaRootObjectId, and its element
// is named "TQ5-Bus-Protokoll". Left to a real Windows machine: the controls themselves (wine
// never returns from navigating to them), their control types (wine refuses Qt's VT_INT), focus
// and notification events, the Value and Invoke patterns, and Narrator, NVDA or JAWS reading the
// window. Exit status 0 when both answers are right; each answer is printed.
#include <windows.h>

#include <oleacc.h>

#include <cstdio>
#include <cwchar>

// Debian's MinGW-w64 10 has no import library for these, and its header for them does not
// compile as C++: declared here and looked up at run time.
using Node = void *;
using NodeFromHandleFn = HRESULT(WINAPI *)(HWND, Node *);
using GetPropertyValueFn = HRESULT(WINAPI *)(Node, int, VARIANT *);
using NodeReleaseFn = BOOL(WINAPI *)(Node);
constexpr LPARAM kUiaRootObjectId = -25;
constexpr int kNameProperty = 30005;

int main()
{
    const wchar_t title[] = L"TQ5-Bus-Protokoll";
    const HWND window = FindWindowW(nullptr, title);
    if (!window) {
        std::puts("no window TQ5-Bus-Protokoll");
        return 1;
    }
    CoInitializeEx(nullptr, COINIT_MULTITHREADED);
    DWORD_PTR answer = 0;
    SendMessageTimeoutW(window, WM_GETOBJECT, 0, kUiaRootObjectId, SMTO_ABORTIFHUNG, 10000,
                        &answer);
    // Taken and let go, as a client does: an answer left unclaimed stays held in the program.
    IUnknown *root = nullptr;
    const bool rooted = answer && SUCCEEDED(ObjectFromLresult(answer, IID_IUnknown, 0,
                                                              reinterpret_cast<void **>(&root)));
    if (root)
        root->Release();
    std::printf("WM_GETOBJECT UiaRootObjectId: %s\n", rooted ? "an element" : "nothing");

    const HMODULE core = LoadLibraryW(L"uiautomationcore.dll");
    const auto fromHandle = reinterpret_cast<NodeFromHandleFn>(
        reinterpret_cast<void *>(GetProcAddress(core, "UiaNodeFromHandle")));
    const auto property = reinterpret_cast<GetPropertyValueFn>(
        reinterpret_cast<void *>(GetProcAddress(core, "UiaGetPropertyValue")));
    const auto release = reinterpret_cast<NodeReleaseFn>(
        reinterpret_cast<void *>(GetProcAddress(core, "UiaNodeRelease")));
    Node node = nullptr;
    VARIANT name;
    VariantInit(&name);
    const HRESULT found = fromHandle && property && release ? fromHandle(window, &node) : E_NOTIMPL;
    if (SUCCEEDED(found))
        property(node, kNameProperty, &name);
    const bool named = name.vt == VT_BSTR && std::wcscmp(name.bstrVal, title) == 0;
    std::printf("UiaNodeFromHandle: 0x%08lx, name: %ls\n", static_cast<unsigned long>(found),
                name.vt == VT_BSTR ? name.bstrVal : L"(none)");
    VariantClear(&name);
    if (node)
        release(node);
    CoUninitialize();
    return rooted && named ? 0 : 1;
}
