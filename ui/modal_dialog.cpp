#include "ui/modal_dialog.h"

namespace tarn {
namespace {

// The dialog being created on this thread and the hook that will subclass it.
thread_local ModalDialog* t_creating = nullptr;
thread_local HHOOK t_hook = nullptr;

// The system's dialog window class.
constexpr char kDialogClass[] = "#32770";

}  // namespace

ModalDialog::ModalDialog(int templateId, HWND owner) : templateId_(templateId), owner_(owner) {}

ModalDialog::~ModalDialog() {
    DestroyWindow();
}

void ModalDialog::BeginCreation() {
    t_creating = this;
    t_hook = ::SetWindowsHookExA(WH_CBT, &ModalDialog::CreationHook, nullptr, ::GetCurrentThreadId());
}

void ModalDialog::EndCreation() {
    if (t_hook) ::UnhookWindowsHookEx(t_hook);
    t_hook = nullptr;
    t_creating = nullptr;
}

INT_PTR ModalDialog::DoModal() {
    if (hwnd_) return -1;
    modal_ = true;
    BeginCreation();
    if (!t_hook) {
        EndCreation();
        return -1;
    }
    // The hook removes itself once the window is subclassed; it is still there only if the
    // template could not be loaded.
    INT_PTR result = ::DialogBoxParamA(::GetModuleHandleA(nullptr), MAKEINTRESOURCEA(templateId_), owner_,
                                       &ModalDialog::DialogProc, reinterpret_cast<LPARAM>(this));
    EndCreation();
    return result;
}

bool ModalDialog::Create() {
    if (hwnd_) return false;
    modal_ = false;
    BeginCreation();
    if (!t_hook) {
        EndCreation();
        return false;
    }
    HWND created = ::CreateDialogParamA(::GetModuleHandleA(nullptr), MAKEINTRESOURCEA(templateId_), owner_,
                                        &ModalDialog::DialogProc, reinterpret_cast<LPARAM>(this));
    EndCreation();
    return created != nullptr;
}

void ModalDialog::DestroyWindow() {
    if (hwnd_) ::DestroyWindow(hwnd_);
}

void ModalDialog::EndDialog(INT_PTR result) {
    if (!hwnd_) return;
    if (modal_)
        ::EndDialog(hwnd_, result);
    else
        ::DestroyWindow(hwnd_);
}

LRESULT ModalDialog::Default(UINT message, WPARAM wParam, LPARAM lParam) {
    return ::CallWindowProcA(classProc_, hwnd_, message, wParam, lParam);
}

LRESULT ModalDialog::OnMessage(UINT message, WPARAM wParam, LPARAM lParam) {
    // IDOK and IDCANCEL as a menu command or a button click: what the dialog manager sends for
    // Enter, Escape, WM_CLOSE and Alt+F4.
    if (message == WM_COMMAND && HIWORD(wParam) == BN_CLICKED) {
        if (LOWORD(wParam) == IDOK) {
            OnOK();
            return 0;
        }
        if (LOWORD(wParam) == IDCANCEL) {
            OnCancel();
            return 0;
        }
    }
    return Default(message, wParam, lParam);
}

LRESULT CALLBACK ModalDialog::CreationHook(int code, WPARAM wParam, LPARAM lParam) {
    if (code == HCBT_CREATEWND && t_creating) {
        HWND hwnd = reinterpret_cast<HWND>(wParam);
        // Windows created before the dialog itself (an input-method window, say) are left alone.
        char className[16] = {};
        ::GetClassNameA(hwnd, className, sizeof className);
        if (lstrcmpiA(className, kDialogClass) == 0) {
            ModalDialog* self = t_creating;
            self->hwnd_ = hwnd;
            ::SetWindowLongPtrA(hwnd, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(self));
            self->classProc_ = reinterpret_cast<WNDPROC>(
                ::SetWindowLongPtrA(hwnd, GWLP_WNDPROC, reinterpret_cast<LONG_PTR>(&ModalDialog::WindowProc)));
            // One window per hook: the controls and anything later are none of its business.
            self->EndCreation();
            return ::CallNextHookEx(nullptr, code, wParam, lParam);
        }
    }
    return ::CallNextHookEx(t_hook, code, wParam, lParam);
}

LRESULT CALLBACK ModalDialog::WindowProc(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam) {
    auto* self = reinterpret_cast<ModalDialog*>(::GetWindowLongPtrA(hwnd, GWLP_USERDATA));
    if (!self || self->hwnd_ != hwnd) return ::DefDlgProcA(hwnd, message, wParam, lParam);

    LRESULT result = 0;
    try {
        result = self->OnMessage(message, wParam, lParam);
    } catch (...) {
        // Nothing may unwind through the system's code. A failed creation message fails the
        // creation; anything else counts as handled.
        result = (message == WM_CREATE) ? -1 : 0;
    }
    if (message == WM_NCDESTROY) {
        // The window is gone: hand it back to its class and forget it.
        ::SetWindowLongPtrA(hwnd, GWLP_WNDPROC, reinterpret_cast<LONG_PTR>(self->classProc_));
        ::SetWindowLongPtrA(hwnd, GWLP_USERDATA, 0);
        self->hwnd_ = nullptr;
    }
    return result;
}

INT_PTR CALLBACK ModalDialog::DialogProc(HWND hwnd, UINT message, WPARAM /*wParam*/, LPARAM /*lParam*/) {
    // The dialog class calls this from its own handling of every message; only dialog
    // initialisation has anything to do here, and the window procedure has already run.
    if (message == WM_INITDIALOG) {
        auto* self = reinterpret_cast<ModalDialog*>(::GetWindowLongPtrA(hwnd, GWLP_USERDATA));
        if (self) {
            try {
                return self->OnInitDialog();
            } catch (...) {
                return TRUE;
            }
        }
        return TRUE;
    }
    return FALSE;
}

}  // namespace tarn
