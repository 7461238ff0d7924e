#pragma once
// The updater window: a borderless popup whose face is the skin bitmap, with two labels and two
// progress bars, and the state of the one update run that happens inside its modal loop.
#include <memory>

#include "engine/update_engine.h"
#include "platform/win32.h"
#include "ui/gdi_handle.h"
#include "ui/modal_dialog.h"

namespace tarn {

// The object holds the whole run state, three lists of 300 records and 300 base-URL slots, some
// 417,000 bytes: create it with new or std::make_unique, not on the stack. One object serves one run.
class CUpdaterDlg : public ModalDialog, public UpdateHost, public UpdateEngine {
public:
    // Dialog template IDD_UPDATER, no owner window.
    CUpdaterDlg();
    ~CUpdaterDlg() override;

    // UpdateHost: what the driver asks of the window. Without a window the message box has no
    // owner and the others do nothing.
    void ShowMessage(const char* text, const char* caption) override;
    void SetProgressRange(int control, int32_t high) override;
    // The bars are drawn at most every kPaintIntervalMs: a position set sooner after the last
    // drawing, or a range, waits for the next notification that comes later or, at the latest,
    // for a timer. ShowProgress (a file's end) hands every position to its bar at once; the
    // drawing may still wait.
    void SetProgressPos(int control, int32_t pos) override;
    void ShowProgress() override;
    void HideWindow() override;
    void PostClose() override;

protected:
    LRESULT OnMessage(UINT message, WPARAM wParam, LPARAM lParam) override;

private:
    LRESULT OnCreate(WPARAM wParam, LPARAM lParam);
    void OnDestroy();
    void OnPaint();
    LRESULT OnCtlColor(UINT message, WPARAM wParam, LPARAM lParam);
    void OnStartUpdate();
    void OnWatchTimer();
    // A progress bar, the position the run last gave it, whether that has yet to reach the bar,
    // and whether the bar holds values it has not drawn.
    struct Bar {
        HWND window = nullptr;
        int32_t pos = 0;
        bool pending = false;
        bool stale = false;
    };
    Bar* FindBar(int control);
    // Draws the bars now if the last drawing is kPaintIntervalMs old, otherwise sets the timer.
    void RequestPaint();
    void PaintBars();
    // Hands the pending positions to the bars without drawing them.
    void SettleBars();
    void SendQuietly(Bar& bar, UINT message, WPARAM wParam, LPARAM lParam);

    UniqueBitmap skinBitmap;
    BITMAP skinSize = {};
    UniqueMemoryDc skinDC;
    HGDIOBJ skinDCOriginalBitmap_ = nullptr;  // put back before skinDC and skinBitmap go
    std::unique_ptr<WorkerControl> workerControl_;
    Bar fileBar_;
    Bar totalBar_;
    DWORD lastPainted_ = 0;  // GetTickCount of the last drawing of a bar
    bool paintTimerSet_ = false;
};

}  // namespace tarn
