// SPDX-License-Identifier: MIT
// For the tests under wine only, never shipped: asks the running program's window what a screen
// reader's first questions are, over UI Automation, so a platform plugin without Qt's bridge fails.
// Only what wine answers (8.0 and 10.0 alike): the window answers WM_GETOBJECT for UiaRootObjectId, and its element
// is named "TQ5-Bus-Protokoll". Left to a real Windows machine: the controls themselves (wine
// never returns from navigating to them), their control types (wine refuses Qt's VT_INT), focus
// and notification events, the Value and Invoke patterns, and Narrator, NVDA or JAWS reading the
// window. Exit status 0 when both answers are right; both are printed.
#include <windows.h>

#include <oleacc.h>

#include <cstdio>
#include <cwchar>

namespace {
// Debian's MinGW-w64 10 has no import library for these, and its header for them does not
// compile as C++: declared here and looked up at run time.
using Node = void *;
template <typename F> F uia(const char *name)
{
    static const HMODULE core = LoadLibraryW(L"uiautomationcore.dll");
    return reinterpret_cast<F>(reinterpret_cast<void *>(GetProcAddress(core, name)));
}
constexpr LPARAM kUiaRootObjectId = -25;
constexpr int kNameProperty = 30005;
} // namespace

int main()
{
    const wchar_t title[] = L"TQ5-Bus-Protokoll";
    const HWND window = FindWindowW(nullptr, title);
    CoInitializeEx(nullptr, COINIT_MULTITHREADED);
    DWORD_PTR answer = 0;
    SendMessageTimeoutW(window, WM_GETOBJECT, 0, kUiaRootObjectId, SMTO_ABORTIFHUNG, 10000,
                        &answer);
    // Taken and let go, as a client does: an answer left unclaimed stays held in the program.
    IUnknown *root = nullptr;
    if (answer)
        ObjectFromLresult(answer, IID_IUnknown, 0, reinterpret_cast<void **>(&root));
    if (root)
        root->Release();

    Node node = nullptr;
    VARIANT name{}; // VT_EMPTY
    const auto fromHandle = uia<HRESULT(WINAPI *)(HWND, Node *)>("UiaNodeFromHandle");
    if (window && fromHandle && SUCCEEDED(fromHandle(window, &node)))
        uia<HRESULT(WINAPI *)(Node, int, VARIANT *)>("UiaGetPropertyValue")(node, kNameProperty,
                                                                            &name);
    const bool named = name.vt == VT_BSTR && std::wcscmp(name.bstrVal, title) == 0;
    std::printf("the window's element: %s, its name: %ls\n", root ? "answered" : "none",
                name.vt == VT_BSTR ? name.bstrVal : L"none");
    VariantClear(&name);
    if (node)
        uia<BOOL(WINAPI *)(Node)>("UiaNodeRelease")(node);
    return root && named ? 0 : 1;
}
