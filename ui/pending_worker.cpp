// Stands in for the download worker until it is in the tree, so that the window builds and runs
// on its own: without a worker control StartUpdate ends the run at once, as after a failed
// download. Built only when there is no tarn_worker library.
#include "engine/download_worker.h"

namespace tarn {

std::unique_ptr<WorkerControl> CreateDownloadWorkerControl(void*) {
    return nullptr;
}

}  // namespace tarn
