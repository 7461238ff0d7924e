#pragma once
// A dialog window built from a dialog template in the program's own resources, run modally:
// the small part of the framework's dialog class that the updater window needs.
//
// The window is the system's dialog class, subclassed while it is being created (a thread-local
// CBT hook, removed at once), so that the message table sees every message from WM_NCCREATE on,
// WM_CREATE included, which a dialog procedure never receives. Messages the table does not handle
// go to the dialog class's own procedure (DefDlgProc), which keeps the standard dialog keys:
// Escape sends IDCANCEL, Enter IDOK (there being no default button), and WM_CLOSE and Alt+F4 become
// IDCANCEL; IDOK and IDCANCEL end the modal run.
#include "platform/win32.h"

namespace tarn {

class ModalDialog {
public:
    // templateId: a dialog resource of the executable. owner may be null.
    explicit ModalDialog(int templateId, HWND owner = nullptr);
    virtual ~ModalDialog();
    ModalDialog(const ModalDialog&) = delete;
    ModalDialog& operator=(const ModalDialog&) = delete;

    // Creates the window and runs its modal loop until EndDialog. Returns the value given to
    // EndDialog, or -1 when the window could not be created.
    INT_PTR DoModal();
    // Creates the window without a modal loop (tests, tools); the caller pumps the messages and
    // ends it with DestroyWindow. False when the window could not be created.
    bool Create();
    void DestroyWindow();

    HWND hwnd() const { return hwnd_; }

protected:
    // The message table. Called for every message of the window; what it does not handle it
    // passes to ModalDialog::OnMessage, which handles IDOK, IDCANCEL and WM_INITDIALOG and gives
    // the rest to Default. Runs on the window's thread; must not throw.
    virtual LRESULT OnMessage(UINT message, WPARAM wParam, LPARAM lParam);
    // The dialog class's own handling of a message.
    LRESULT Default(UINT message, WPARAM wParam, LPARAM lParam);

    // Standard behaviour: focus to the first tab stop (there may be none).
    virtual BOOL OnInitDialog() { return TRUE; }
    virtual void OnOK() { EndDialog(IDOK); }
    virtual void OnCancel() { EndDialog(IDCANCEL); }
    // Ends the modal run with result (a modeless window is destroyed).
    void EndDialog(INT_PTR result);

private:
    static LRESULT CALLBACK CreationHook(int code, WPARAM wParam, LPARAM lParam);
    static LRESULT CALLBACK WindowProc(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam);
    static INT_PTR CALLBACK DialogProc(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam);
    void BeginCreation();
    void EndCreation();

    int templateId_;
    HWND owner_;
    HWND hwnd_ = nullptr;
    WNDPROC classProc_ = nullptr;
    bool modal_ = false;
};

}  // namespace tarn
