#pragma once
// The seam between the start-up and the updater window. Windows only.
#include "app/win_app.h"

namespace tarn {

// Constructs the updater window (dialog template 201, no owner), makes it the application's
// main window, runs it modally and destroys it. The whole update run happens inside.
void RunUpdaterWindow(CWinApp& app);

}  // namespace tarn
