#pragma once
// The window switches crash reporting on when it is created. The crash reporter lives in its own
// library; the program that links both wires it in at start-up:
//   tarn::SetReportingHook(&tarn::SetReportingEnabled);
// Until then the switch does nothing.

namespace tarn {

using ReportingSwitch = void (*)(long enabled);

// Sets the function the window calls; null restores the no-op. Main thread, before the window.
void SetReportingHook(ReportingSwitch hook);

// Calls the hook with enabled (1 on, 0 off), if one is set.
void SwitchReporting(long enabled);

}  // namespace tarn
