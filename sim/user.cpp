// The user-facing calls: message boxes (answered at once with OK) and the debug
// output that a debug-output viewer would show.
#include <condition_variable>
#include <deque>
#include <map>
#include <string>
#include <thread>
#include <vector>

#include "sim/state.h"

namespace sim {
namespace {

std::vector<std::string> debugLines;
std::vector<PHANDLER_ROUTINE> consoleHandlers;

// Window classes, windows and each thread's message queue.
std::map<std::string, WNDPROC> windowClasses;
struct Window {
    WNDPROC procedure;
    std::thread::id owner;
};
std::map<HWND, Window> windows;
uintptr_t nextWindow = 0x10000;
// A message sent from another thread, handled by the owner inside GetMessageA.
struct SentMessage {
    MSG message;
    bool done = false;
    LRESULT result = 0;
};
struct Queue {
    std::deque<MSG> posted;
    std::deque<std::shared_ptr<SentMessage>> sent;
};
std::map<std::thread::id, Queue> queues;
std::condition_variable queueChanged;

} // namespace

namespace detail {

void ResetUserLocked() {
    debugLines.clear();
    consoleHandlers.clear();
    windowClasses.clear();
    windows.clear();
    queues.clear();
}

} // namespace detail

std::vector<std::string> DebugLines() {
    std::lock_guard<std::mutex> guard(detail::Lock());
    return debugLines;
}

bool PressConsoleControl(DWORD controlType) {
    std::vector<PHANDLER_ROUTINE> handlers;
    {
        std::lock_guard<std::mutex> guard(detail::Lock());
        detail::LogCallLocked("(console control)", {.numbers = {controlType}});
        // Windows does not call the console handlers of a process that loaded
        // user32.dll or gdi32.dll for a logoff or a shutdown; it ends the process
        // instead. The product's programs all do (the service's message box, and
        // winmm and setupapi load user32 themselves).
        if (controlType == CTRL_LOGOFF_EVENT || controlType == CTRL_SHUTDOWN_EVENT) {
            return false;
        }
        handlers = consoleHandlers;
    }
    for (auto handler = handlers.rbegin(); handler != handlers.rend(); ++handler) {
        if ((*handler)(controlType)) {
            return true;
        }
    }
    return false;
}

namespace {

// Sends a message to a window on its owner's thread and waits for the answer.
LRESULT SendToWindow(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    std::unique_lock<std::mutex> lock(detail::Lock());
    auto found = windows.find(window);
    if (found == windows.end()) {
        return 0;
    }
    auto sent = std::make_shared<SentMessage>();
    sent->message = MSG{window, message, wParam, lParam, 0, {0, 0}};
    queues[found->second.owner].sent.push_back(sent);
    queueChanged.notify_all();
    queueChanged.wait(lock, [&sent] { return sent->done; });
    return sent->result;
}

} // namespace

int EndSession(bool logoff) {
    std::vector<HWND> topLevel;
    {
        std::lock_guard<std::mutex> guard(detail::Lock());
        detail::LogCallLocked("(end session)", {.numbers = {logoff}});
        for (const auto& [window, entry] : windows) {
            topLevel.push_back(window);
        }
    }
    const LPARAM reason = logoff ? static_cast<LPARAM>(ENDSESSION_LOGOFF) : 0;
    int agreed = 0;
    for (HWND window : topLevel) {
        agreed += SendToWindow(window, WM_QUERYENDSESSION, 0, reason) != 0 ? 1 : 0;
    }
    const bool ends = agreed == static_cast<int>(topLevel.size());
    for (HWND window : topLevel) {
        SendToWindow(window, WM_ENDSESSION, ends ? TRUE : FALSE, reason);
    }
    return agreed;
}

} // namespace sim

HMODULE GetModuleHandleA(LPCSTR name) {
    static char programModule;
    if (name != nullptr) {
        SetLastError(ERROR_MOD_NOT_FOUND);
        return nullptr;
    }
    return &programModule;
}

ATOM RegisterClassA(const WNDCLASSA* windowClass) {
    std::lock_guard<std::mutex> guard(sim::detail::Lock());
    ATOM atom = 0;
    if (windowClass->lpszClassName != nullptr &&
        sim::windowClasses.try_emplace(windowClass->lpszClassName, windowClass->lpfnWndProc)
            .second) {
        atom = static_cast<ATOM>(0xC000 + sim::windowClasses.size());
    } else {
        SetLastError(1410); // ERROR_CLASS_ALREADY_EXISTS
    }
    sim::detail::LogCallLocked("RegisterClassA",
                               {.result = atom, .strings = {windowClass->lpszClassName}});
    return atom;
}

HWND CreateWindowExA(DWORD exStyle, LPCSTR className, LPCSTR, DWORD style, int, int, int, int,
                     HWND parent, void*, HINSTANCE, LPVOID) {
    std::lock_guard<std::mutex> guard(sim::detail::Lock());
    HWND window = nullptr;
    auto found = sim::windowClasses.find(className);
    if (found == sim::windowClasses.end()) {
        SetLastError(1411); // ERROR_CANNOT_FIND_WND_CLASS
    } else {
        window = reinterpret_cast<HWND>(sim::nextWindow++);
        sim::windows[window] = sim::Window{found->second, std::this_thread::get_id()};
    }
    sim::detail::LogCallLocked("CreateWindowExA", {.result = window != nullptr,
                                                   .numbers = {exStyle, style},
                                                   .pointers = {sim::detail::PointerOf(parent)},
                                                   .strings = {className}});
    return window;
}

BOOL DestroyWindow(HWND window) {
    WNDPROC procedure = nullptr;
    {
        std::lock_guard<std::mutex> guard(sim::detail::Lock());
        auto found = sim::windows.find(window);
        if (found != sim::windows.end()) {
            procedure = found->second.procedure;
        }
    }
    if (procedure == nullptr) {
        SetLastError(1400); // ERROR_INVALID_WINDOW_HANDLE
        return FALSE;
    }
    procedure(window, WM_DESTROY, 0, 0);
    std::lock_guard<std::mutex> guard(sim::detail::Lock());
    sim::windows.erase(window);
    sim::detail::LogCallLocked("DestroyWindow", {.result = TRUE});
    return TRUE;
}

LRESULT DefWindowProcA(HWND window, UINT message, WPARAM, LPARAM) {
    // What the default does for the messages a program here leaves to it.
    if (message == WM_CLOSE) {
        DestroyWindow(window);
    }
    return message == WM_QUERYENDSESSION ? TRUE : 0;
}

BOOL GetMessageA(LPMSG message, HWND, UINT, UINT) {
    std::unique_lock<std::mutex> lock(sim::detail::Lock());
    for (;;) {
        sim::Queue& queue = sim::queues[std::this_thread::get_id()];
        if (!queue.sent.empty()) {
            std::shared_ptr<sim::SentMessage> sent = queue.sent.front();
            queue.sent.pop_front();
            auto found = sim::windows.find(sent->message.hwnd);
            WNDPROC procedure = found != sim::windows.end() ? found->second.procedure : nullptr;
            lock.unlock();
            LRESULT result = procedure != nullptr
                                 ? procedure(sent->message.hwnd, sent->message.message,
                                             sent->message.wParam, sent->message.lParam)
                                 : 0;
            lock.lock();
            sent->result = result;
            sent->done = true;
            sim::queueChanged.notify_all();
            continue;
        }
        if (!queue.posted.empty()) {
            *message = queue.posted.front();
            queue.posted.pop_front();
            return message->message == WM_QUIT ? FALSE : TRUE;
        }
        sim::queueChanged.wait(lock);
    }
}

LRESULT DispatchMessageA(const MSG* message) {
    WNDPROC procedure = nullptr;
    {
        std::lock_guard<std::mutex> guard(sim::detail::Lock());
        auto found = sim::windows.find(message->hwnd);
        if (found != sim::windows.end()) {
            procedure = found->second.procedure;
        }
    }
    return procedure != nullptr
               ? procedure(message->hwnd, message->message, message->wParam, message->lParam)
               : 0;
}

BOOL PostMessageA(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    std::lock_guard<std::mutex> guard(sim::detail::Lock());
    auto found = sim::windows.find(window);
    BOOL posted = FALSE;
    if (found == sim::windows.end()) {
        SetLastError(1400); // ERROR_INVALID_WINDOW_HANDLE
    } else {
        sim::queues[found->second.owner].posted.push_back(
            MSG{window, message, wParam, lParam, 0, {0, 0}});
        sim::queueChanged.notify_all();
        posted = TRUE;
    }
    sim::detail::LogCallLocked("PostMessageA", {.result = posted, .numbers = {message}});
    return posted;
}

void PostQuitMessage(int exitCode) {
    std::lock_guard<std::mutex> guard(sim::detail::Lock());
    sim::queues[std::this_thread::get_id()].posted.push_back(
        MSG{nullptr, WM_QUIT, static_cast<WPARAM>(exitCode), 0, 0, {0, 0}});
    sim::queueChanged.notify_all();
}

BOOL SetConsoleCtrlHandler(PHANDLER_ROUTINE handler, BOOL add) {
    std::lock_guard<std::mutex> guard(sim::detail::Lock());
    BOOL done = TRUE;
    // Removing a handler that is not installed is refused with ERROR_INVALID_PARAMETER;
    // an add fails only when there is no memory for it.
    if (DWORD error = sim::detail::FailureLocked(
            "SetConsoleCtrlHandler", add ? ERROR_NOT_ENOUGH_MEMORY : ERROR_INVALID_PARAMETER)) {
        SetLastError(error);
        done = FALSE;
    } else if (add) {
        sim::consoleHandlers.push_back(handler);
    } else {
        std::erase(sim::consoleHandlers, handler);
    }
    sim::detail::LogCallLocked(
        "SetConsoleCtrlHandler",
        {.result = done,
         .numbers = {add},
         .pointers = {sim::detail::PointerOf(reinterpret_cast<const void*>(handler))}});
    return done;
}

int MessageBoxA(HWND owner, LPCSTR text, LPCSTR caption, UINT type) {
    std::lock_guard<std::mutex> guard(sim::detail::Lock());
    int answer = 1; // IDOK
    if (DWORD error = sim::detail::FailureLocked("MessageBoxA", ERROR_NOT_ENOUGH_MEMORY)) {
        SetLastError(error);
        answer = 0;
    }
    sim::detail::LogCallLocked("MessageBoxA", {.result = answer,
                                               .numbers = {type},
                                               .pointers = {sim::detail::PointerOf(owner)},
                                               .strings = {text, caption}});
    return answer;
}

void OutputDebugStringA(LPCSTR text) {
    std::lock_guard<std::mutex> guard(sim::detail::Lock());
    std::string line(text);
    while (!line.empty() && (line.back() == '\n' || line.back() == '\r')) {
        line.pop_back();
    }
    sim::debugLines.push_back(line);
    sim::detail::LogCallLocked("OutputDebugStringA", {.strings = {line}});
}
