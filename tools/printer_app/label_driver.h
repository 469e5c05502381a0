// The printer driver of the label printer family for the printer
// application: what a printer of each model advertises, and how each kind of
// job reaches it. Registered by the application's main.
#pragma once

#include <pappl/pappl.h>

// The native format: a finished printer job stream, sent as it is.
constexpr char kLabelStreamFormat[] = "application/vnd.vormel-label";

// The drivers, one per model (203, 300 and 600 dpi); `count` receives their number.
pappl_pr_driver_t* labelDrivers(int& count);

// pappl_pr_driver_cb_t: fills `driverData` for the model `driverName`.
// Returns false for a name that is no model of the family.
bool setUpLabelDriver(pappl_system_t* system, const char* driverName, const char* deviceUri,
                      const char* deviceId, pappl_pr_driver_data_t* driverData,
                      ipp_t** driverAttributes, void* data);

// pappl_pr_autoadd_cb_t: the driver for a device whose IEEE 1284 device ID
// names a printer of the family, or nullptr.
const char* chooseLabelDriver(const char* deviceInfo, const char* deviceUri, const char* deviceId,
                              void* data);

// pappl_mime_filter_cb_t for PDF and PostScript jobs: vormel renders the job
// and its stream is copied to the device, once per copy asked for.
bool printWithVormel(pappl_job_t* job, pappl_device_t* device, void* data);
