/* Resource and control numbers for the resource compiler, which cannot read the engine's C++
   constants. ui/updater_dlg.cpp checks at compile time that both agree. */
#ifndef TARN_UI_RESOURCE_IDS_H
#define TARN_UI_RESOURCE_IDS_H

#define RC_IDD_UPDATER 201
#define RC_IDB_SKIN 202
#define RC_IDC_PROGRESS_FILE 1000
#define RC_IDC_PROGRESS_TOTAL 1001
#define RC_IDC_LABEL_FILE 1002
#define RC_IDC_LABEL_TOTAL 1003

#endif
