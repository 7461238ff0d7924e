#include "engine/download_job.h"

namespace tarn {

DownloadJob g_downloadJob = {};
NotificationsInFlight g_notificationsInFlight;

}  // namespace tarn
