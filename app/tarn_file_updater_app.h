#pragma once
// The updater's application object: the two named mutexes and the start-up. Windows only.
#include "app/win_app.h"

namespace tarn {

class CTarnFileUpdaterApp : public CWinApp {
public:
    // Creates both mutexes without owning them.
    CTarnFileUpdaterApp();
    ~CTarnFileUpdaterApp() override;

    // The whole life of the updater: the start-up decisions, then the updater window's modal
    // run, in which the update takes place. Always false: there is nothing to run afterwards.
    bool InitInstance() override;

    CMutex m_updaterMutex;
    CMutex m_clientMutex;

private:
    class Startup;
};

}  // namespace tarn
