#pragma once
// The download worker of the Windows build: one background thread that fetches the request in
// g_downloadJob over WinINet and posts WM_DOWNLOAD_NOTIFY to the window. Windows only.
#include <memory>

#include "engine/update_engine.h"

namespace tarn {

// The worker control for a window (an HWND): starting the thread, waking it, forgetting it.
// `parallelTransfers` (1 to 8) file transfers are kept in flight; 1 fetches one file at a time.
// With `blockMaps`, a large file the worker must replace is built from the old file's blocks and
// the changed ones when the server has a block map beside it.
std::unique_ptr<WorkerControl> CreateDownloadWorkerControl(void* notifyWindow, int parallelTransfers = 1,
                                                           bool blockMaps = false);

}  // namespace tarn
