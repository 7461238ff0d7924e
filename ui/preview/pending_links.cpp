// Stand-ins for the update driver and the download worker, until both are in the tree, so that
// the window can be built and shown on its own. They start nothing.
#include "engine/download_worker.h"
#include "engine/update_engine.h"

namespace tarn {

#if !TARN_HAVE_DRIVER
void UpdateEngine::StartUpdate() {}
int32_t UpdateEngine::OnDownloadNotify(int32_t, int32_t) { return 1; }
#endif
#if !TARN_HAVE_WORKER
std::unique_ptr<WorkerControl> CreateDownloadWorkerControl(void*) { return nullptr; }
#endif

}  // namespace tarn
