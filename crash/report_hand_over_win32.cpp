#include "crash/report_hand_over_win32.h"

#include <initializer_list>

namespace tarn {

bool ReportHandOver::Create() {
    started_ = ::CreateEventA(nullptr, FALSE, FALSE, nullptr);
    request_ = ::CreateEventA(nullptr, FALSE, FALSE, nullptr);
    done_ = ::CreateEventA(nullptr, FALSE, FALSE, nullptr);
    if (started_ != nullptr && request_ != nullptr && done_ != nullptr) return true;
    Close();
    return false;
}

void ReportHandOver::Close() {
    for (HANDLE* event : {&started_, &request_, &done_}) {
        if (*event != nullptr) ::CloseHandle(*event);
        *event = nullptr;
    }
}

bool ReportHandOver::WaitDone(HANDLE reporterThread, DWORD ms) {
    const HANDLE waits[] = {done_, reporterThread};
    return ::WaitForMultipleObjects(2, waits, FALSE, ms) == WAIT_OBJECT_0;
}

}  // namespace tarn
