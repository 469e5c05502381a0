// vormel-printer-app: a driverless (IPP Everywhere) printer application for
// the label printers, with a web interface, serving printers attached by
// USB, AppSocket or a file. The standard sub-commands (server, add, submit,
// ...) come from PAPPL's main loop; the server is set up here.
//
// Server options (-o NAME=VALUE): server-port, listen-hostname (default: all
// addresses), server-hostname, spool-directory, log-file, log-level,
// state-file, auth-service.
#include <pappl/pappl.h>

#include <cstdlib>
#include <cstring>
#include <string>

#include "label_driver.h"
#include "png_job.h"

namespace {

constexpr char kVersion[] = "0.1.0";
constexpr char kDefaultStateFile[] = "/var/lib/vormel-printer-app/state";

pappl_loglevel_t readLogLevel(const char* text) {
  if (text == nullptr) return PAPPL_LOGLEVEL_WARN;
  if (strcmp(text, "debug") == 0) return PAPPL_LOGLEVEL_DEBUG;
  if (strcmp(text, "info") == 0) return PAPPL_LOGLEVEL_INFO;
  if (strcmp(text, "error") == 0) return PAPPL_LOGLEVEL_ERROR;
  if (strcmp(text, "fatal") == 0) return PAPPL_LOGLEVEL_FATAL;
  return PAPPL_LOGLEVEL_WARN;
}

// The state file lives as long as the system: the save callback reads it.
std::string stateFile;

pappl_system_t* makeSystem(int numOptions, cups_option_t* options, void*) {
  const char* port = cupsGetOption("server-port", numOptions, options);
  const char* listen = cupsGetOption("listen-hostname", numOptions, options);
  const char* state = cupsGetOption("state-file", numOptions, options);
  stateFile = state != nullptr ? state : kDefaultStateFile;

  pappl_system_t* system = papplSystemCreate(
      static_cast<pappl_soptions_t>(PAPPL_SOPTIONS_MULTI_QUEUE | PAPPL_SOPTIONS_WEB_INTERFACE |
                                    PAPPL_SOPTIONS_WEB_LOG | PAPPL_SOPTIONS_WEB_NETWORK |
                                    PAPPL_SOPTIONS_WEB_SECURITY),
      "Vormel Label Printers", port != nullptr ? atoi(port) : 0, "_print,_universal",
      cupsGetOption("spool-directory", numOptions, options),
      cupsGetOption("log-file", numOptions, options),
      readLogLevel(cupsGetOption("log-level", numOptions, options)),
      cupsGetOption("auth-service", numOptions, options), false);
  if (system == nullptr) return nullptr;
  const char* hostname = cupsGetOption("server-hostname", numOptions, options);
  if (hostname != nullptr) papplSystemSetHostName(system, hostname);
  if (!papplSystemAddListeners(system, listen)) {
    papplSystemDelete(system);
    return nullptr;
  }

  int count = 0;
  pappl_pr_driver_t* drivers = labelDrivers(count);
  papplSystemSetPrinterDrivers(system, count, drivers, chooseLabelDriver, nullptr, setUpLabelDriver,
                               nullptr);
  papplSystemAddMIMEFilter(system, "application/pdf", kLabelStreamFormat, printWithVormel, nullptr);
  papplSystemAddMIMEFilter(system, "application/postscript", kLabelStreamFormat, printWithVormel,
                           nullptr);
  papplSystemAddMIMEFilter(system, "image/png", kLabelStreamFormat, printPngJob, nullptr);

  pappl_version_t version = {};
  snprintf(version.name, sizeof version.name, "vormel-printer-app");
  snprintf(version.sversion, sizeof version.sversion, "%s", kVersion);
  papplSystemSetVersions(system, 1, &version);
  papplSystemSetFooterHTML(system, "Vormel label printers");
  papplSystemLoadState(system, stateFile.c_str());
  papplSystemSetSaveCallback(system, reinterpret_cast<pappl_save_cb_t>(papplSystemSaveState),
                             const_cast<char*>(stateFile.c_str()));
  return system;
}

}  // namespace

int main(int argc, char** argv) {
  int count = 0;
  pappl_pr_driver_t* drivers = labelDrivers(count);
  return papplMainloop(argc, argv, kVersion, nullptr, count, drivers, chooseLabelDriver,
                       setUpLabelDriver, nullptr, nullptr, makeSystem, nullptr, nullptr);
}
