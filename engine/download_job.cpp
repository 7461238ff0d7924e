#include "engine/download_job.h"

namespace tarn {

DownloadJob g_downloadJob = {};

}  // namespace tarn
