#include "ui/reporter_hook.h"

namespace tarn {
namespace {

ReportingSwitch g_reportingHook = nullptr;

}  // namespace

void SetReportingHook(ReportingSwitch hook) {
    g_reportingHook = hook;
}

void SwitchReporting(long enabled) {
    if (g_reportingHook) g_reportingHook(enabled);
}

}  // namespace tarn
