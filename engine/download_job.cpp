#include "engine/download_job.h"

namespace tarn {

DownloadJob g_downloadJob = {};
DownloadPlan g_downloadPlan = {};
NotificationsInFlight g_notificationsInFlight;

}  // namespace tarn
