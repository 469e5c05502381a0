// The label printer driver: model data, media and settings, and the three
// roads of a job to the device. PDF and PostScript go through vormel itself;
// raster pages (PNG, JPEG, PWG raster) become PCX page images that
// vormel-page-stream frames like vormel's own; a finished stream is copied.
#include "label_driver.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "device_relay.h"
#include "label_page.h"
#include "label_settings.h"
#include "maintenance.h"
#include "page_frames.h"
#include "pcx_writer.h"
#include "vormel_location.h"

#ifndef VORMEL_INSTALLED_BINDIR
#define VORMEL_INSTALLED_BINDIR "/usr/bin"
#endif

namespace {

constexpr double kPointsPerHundredthMm = 72.0 / 2540.0;

// Settings of the printer that IPP has no attribute for, as PAPPL vendor
// attributes: a job may ask for one, the printer keeps a default for each
// (saved with its state) that its owner sets in the web interface.
constexpr char kMediaTypeAttribute[] = "label-media-type";
constexpr char kOrientationAttribute[] = "label-print-orientation";

pappl_pr_driver_t kDrivers[] = {
    {"vormel_203", "Vormel Label Printer 203 dpi",
     "MFG:Vormel;MDL:Label Printer 203 dpi;CMD:VORMEL;", nullptr},
    {"vormel_300", "Vormel Label Printer 300 dpi",
     "MFG:Vormel;MDL:Label Printer 300 dpi;CMD:VORMEL;", nullptr},
    {"vormel_600", "Vormel Label Printer 600 dpi",
     "MFG:Vormel;MDL:Label Printer 600 dpi;CMD:VORMEL;", nullptr},
};

// The media names live as long as the program: the driver data points into them.
const std::vector<std::string>& mediaNames() {
  static const std::vector<std::string> names = labelMediaNames();
  return names;
}

int modelResolution(const char* driverName) {
  for (const pappl_pr_driver_t& d : kDrivers)
    if (strcmp(d.name, driverName) == 0) return atoi(driverName + strlen("vormel_"));
  return 0;
}

// A program of the package: named by `overrideVariable` (tests, unusual
// installations), beside this program, installed, or else on PATH.
std::string programPath(const char* name, const char* overrideVariable) {
  const std::string found = locateProgram(
      name, overrideVariable, (std::string(VORMEL_INSTALLED_BINDIR) + "/" + name).c_str());
  const char* path = getenv("PATH");
  if (!found.empty() || path == nullptr) return found;
  for (const char* at = path;; ++at) {
    const char* end = strchr(at, ':');
    const std::string dir(at, end == nullptr ? strlen(at) : static_cast<size_t>(end - at));
    const std::string candidate = (dir.empty() ? std::string(".") : dir) + "/" + name;
    if (access(candidate.c_str(), X_OK) == 0) return candidate;
    if (end == nullptr) return std::string();
    at = end;
  }
}

// The job's label and option words, from its print options and the printer.
struct JobLabel {
  LabelPage page;
  std::vector<std::string> words;
};

// The label mode the printer is set to; PAPPL keeps it with the printer,
// not with the job's options.
LabelMode configuredMode(const pappl_pr_driver_data_t& data) {
  switch (data.mode_configured) {
    case PAPPL_LABEL_MODE_TEAR_OFF:
      return LabelMode::TearOff;
    case PAPPL_LABEL_MODE_PEEL_OFF:
      return LabelMode::PeelOff;
    case PAPPL_LABEL_MODE_CUTTER:
      return LabelMode::Cutter;
    case PAPPL_LABEL_MODE_CUTTER_DELAYED:
      return LabelMode::CutterDelayed;
    case PAPPL_LABEL_MODE_REWIND:
      return LabelMode::Rewind;
    default:
      return LabelMode::Unset;
  }
}

MediaTracking mediaTracking(pappl_media_tracking_t tracking) {
  switch (tracking) {
    case PAPPL_MEDIA_TRACKING_CONTINUOUS:
      return MediaTracking::Continuous;
    case PAPPL_MEDIA_TRACKING_GAP:
      return MediaTracking::Gap;
    case PAPPL_MEDIA_TRACKING_MARK:
      return MediaTracking::Mark;
    default:
      return MediaTracking::Unset;
  }
}

// The job's choice for the vendor attribute `name`, else the printer's
// default for it ("name-default" of its driver attributes `printerAttributes`).
// PAPPL puts only the job's own choice into the print options.
std::string vendorChoice(const pappl_pr_options_t* options, ipp_t* printerAttributes,
                         const char* name) {
  const char* chosen = cupsGetOption(name, options->num_vendor, options->vendor);
  if (chosen != nullptr) return chosen;
  ipp_attribute_t* fallback = ippFindAttribute(
      printerAttributes, (std::string(name) + "-default").c_str(), IPP_TAG_KEYWORD);
  const char* value = fallback != nullptr ? ippGetString(fallback, 0, nullptr) : nullptr;
  return value != nullptr ? value : "";
}

JobLabel readJobLabel(pappl_job_t* job, const pappl_pr_options_t* options) {
  JobLabel label;
  label.page.sizeName = options->media.size_name;
  label.page.width = options->media.size_width * kPointsPerHundredthMm;
  label.page.length = options->media.size_length * kPointsPerHundredthMm;
  label.page.resolution = options->printer_resolution[0];
  pappl_pr_driver_data_t data;
  papplPrinterGetDriverData(papplJobGetPrinter(job), &data);
  IppLabelSettings settings;
  settings.mode = configuredMode(data);
  settings.tracking = mediaTracking(options->media.tracking);
  // Without a darkness chosen by the job or the printer's owner the printer
  // keeps its own.
  const bool chosen = darknessChosen(papplJobGetAttribute(job, "print-darkness") != nullptr,
                                     options->darkness_configured, data.darkness_default);
  settings.darknessConfigured = chosen ? options->darkness_configured : -1;
  settings.printDarkness = options->print_darkness;
  settings.printSpeed = options->print_speed;
  ipp_t* printerAttributes = papplPrinterGetDriverAttributes(papplJobGetPrinter(job));
  settings.ribbon =
      ribbonUseFor(vendorChoice(options, printerAttributes, kMediaTypeAttribute).c_str());
  settings.orientation =
      printOrientationFor(vendorChoice(options, printerAttributes, kOrientationAttribute).c_str());
  size_t count = 0;
  const VendorSetting* vendor = vendorSettings(count);
  for (size_t i = 0; i < count; ++i) {
    const char* choice = vendorPpdChoice(
        vendor[i], vendorChoice(options, printerAttributes, vendor[i].attribute).c_str());
    if (choice != nullptr) settings.ppdChoices[vendor[i].ppdKeyword] = choice;
  }
  ippDelete(printerAttributes);
  // The prolog turns a PDF or PostScript job's picture; raster pages are
  // sent as PAPPL renders them.
  label.page.rotation = labelRotation(settings.ppdChoices);
  label.words = labelOptionWords(settings);
  return label;
}

// A job that reached the printer whole shows it connected again; one whose
// bytes the device refused marks it offline.
void endJobWith(pappl_job_t* job, bool ok, const DeviceRelayResult& result) {
  if (ok) {
    papplPrinterSetReasons(papplJobGetPrinter(job), PAPPL_PREASON_NONE, PAPPL_PREASON_OFFLINE);
    return;
  }
  const std::string why = describeRelayFailure(result);
  papplJobSetMessage(job, "%s", why.c_str());
  papplLogJob(job, PAPPL_LOGLEVEL_ERROR, "%s", why.c_str());
  if (result.deviceFailed)
    papplPrinterSetReasons(papplJobGetPrinter(job), PAPPL_PREASON_OFFLINE, PAPPL_PREASON_NONE);
}

// A temporary file or directory name under TMPDIR (or /tmp).
std::string temporaryName(const char* stem) {
  const char* dir = getenv("TMPDIR");
  return std::string(dir != nullptr && dir[0] != '\0' ? dir : "/tmp") + "/" + stem + "-XXXXXX";
}

// The PostScript line before a PDF job of `bytes` bytes that reads the job
// that follows it into memory, where Ghostscript's PDF interpreter can seek
// in it; the "runpdf" after the job prints it.
std::string pdfEmbedding(off_t bytes) {
  return "currentfile << /EODCount " + std::to_string(bytes) +
         " /EODString () >> /SubFileDecode filter /ReusableStreamDecode filter\n";
}

// ---- finished printer streams -------------------------------------------

// Copies a job that is already a printer stream to the device as it is,
// counting its pages as their "PRINT" lines go out.
bool copyLabelStream(pappl_job_t* job, pappl_pr_options_t*, pappl_device_t* device) {
  const int fd = open(papplJobGetFilename(job), O_RDONLY | O_CLOEXEC);
  if (fd < 0) {
    papplJobSetMessage(job, "the job file cannot be read");
    return false;
  }
  PageFrames frames{};
  char buffer[65536];
  ssize_t n;
  bool ok = true;
  while ((n = read(fd, buffer, sizeof buffer)) > 0) {
    if (papplDeviceWrite(device, buffer, static_cast<size_t>(n)) < 0) {
      papplJobSetMessage(job, "writing to the printer failed");
      ok = false;
      break;
    }
    const int32_t done = scanPageFrames(frames, buffer, static_cast<size_t>(n));
    if (done > 0) papplJobSetImpressionsCompleted(job, done);
  }
  close(fd);
  papplDeviceFlush(device);
  // PAPPL counts a raw job that went out whole as one more impression; the
  // pages were counted here as they went out.
  ok = ok && n == 0;
  if (ok) papplJobSetImpressionsCompleted(job, -1);
  return ok;
}

// ---- raster pages -----------------------------------------------------------

// One raster job: its page images, page_1 .. page_<pages>, in a directory
// of its own, written as PAPPL hands the lines.
struct RasterJob {
  std::string dir;       // this job's page images
  FILE* page = nullptr;  // the page being written
  unsigned pages = 0;    // pages begun so far
  JobLabel label;
  int32_t width = 0;    // dots of the current page
  bool failed = false;  // a page image could not be written
};

bool startRasterJob(pappl_job_t* job, pappl_pr_options_t* options, pappl_device_t*) {
  RasterJob* raster = new RasterJob;
  std::string dir = temporaryName("vormel-app-pages");
  if (mkdtemp(&dir[0]) == nullptr) {
    delete raster;
    papplJobSetMessage(job, "no temporary directory for the page images");
    return false;
  }
  raster->dir = dir;
  raster->label = readJobLabel(job, options);
  papplJobSetData(job, raster);
  return true;
}

// Pages are numbered here as they come: PAPPL hands each copy of an image
// with the same page number.
bool startRasterPage(pappl_job_t* job, pappl_pr_options_t* options, pappl_device_t*,
                     unsigned page) {
  RasterJob* raster = static_cast<RasterJob*>(papplJobGetData(job));
  raster->pages += 1;
  const std::string path = raster->dir + "/page_" + std::to_string(raster->pages);
  raster->page = fopen(path.c_str(), "wbe");
  raster->width = static_cast<int32_t>(options->header.cupsWidth);
  if (raster->page == nullptr ||
      writePcxHeader(raster->page, raster->width, static_cast<int32_t>(options->header.cupsHeight),
                     static_cast<int32_t>(options->header.HWResolution[0])) != 0) {
    raster->failed = true;
    papplJobSetMessage(job, "page %u: its image cannot be written", page);
    return false;
  }
  return true;
}

// PAPPL hands every line as one bit per dot, a set bit for black.
bool writeRasterLine(pappl_job_t* job, pappl_pr_options_t*, pappl_device_t*, unsigned,
                     const unsigned char* line) {
  RasterJob* raster = static_cast<RasterJob*>(papplJobGetData(job));
  if (!raster->failed && writePcxRow(raster->page, line, raster->width) != 0) raster->failed = true;
  return !raster->failed;
}

bool endRasterPage(pappl_job_t* job, pappl_pr_options_t*, pappl_device_t*, unsigned page) {
  RasterJob* raster = static_cast<RasterJob*>(papplJobGetData(job));
  if (raster->page != nullptr && fclose(raster->page) != 0) raster->failed = true;
  raster->page = nullptr;
  if (raster->failed) papplJobSetMessage(job, "page %u: its image cannot be written", page);
  return !raster->failed;
}

void removePageDirectory(const RasterJob& raster) {
  for (unsigned page = 1; page <= raster.pages; ++page)
    unlink((raster.dir + "/page_" + std::to_string(page)).c_str());
  rmdir(raster.dir.c_str());
}

bool endRasterJob(pappl_job_t* job, pappl_pr_options_t*, pappl_device_t* device) {
  RasterJob* raster = static_cast<RasterJob*>(papplJobGetData(job));
  papplJobSetData(job, nullptr);
  bool ok = !raster->failed && raster->pages > 0;
  if (ok) {
    const std::string program = programPath("vormel-page-stream", "VORMEL_PAGE_STREAM_PROGRAM");
    const LabelPage& page = raster->label.page;
    std::vector<std::string> arguments = {program,
                                          raster->dir,
                                          std::to_string(raster->pages),
                                          std::to_string(std::lround(page.width)),
                                          std::to_string(std::lround(page.length)),
                                          std::to_string(page.resolution)};
    arguments.insert(arguments.end(), raster->label.words.begin(), raster->label.words.end());
    const int input = open("/dev/null", O_RDONLY | O_CLOEXEC);
    DeviceRelayResult result;
    if (program.empty()) result.startFailed = true;
    ok = !program.empty() && relayToDevice(job, device, arguments, input, false, result);
    if (input >= 0) close(input);
    endJobWith(job, ok, result);
  }
  removePageDirectory(*raster);
  delete raster;
  return ok;
}

// ---- test page ---------------------------------------------------------------

// pappl_pr_testpage_cb_t: the self-test label of the spooler front end, on
// the printer's default label with its default settings, written to a
// temporary file that PAPPL prints as a PostScript job. Returns its name in
// `buffer`, or nullptr when it cannot be written.
const char* writeTestPage(pappl_printer_t* printer, char* buffer, size_t bufsize) {
  pappl_pr_driver_data_t data;
  papplPrinterGetDriverData(printer, &data);
  LabelPage page;
  page.sizeName = data.media_default.size_name;
  page.width = data.media_default.size_width * kPointsPerHundredthMm;
  page.length = data.media_default.size_length * kPointsPerHundredthMm;
  page.resolution = data.x_default;
  IppLabelSettings settings;
  settings.mode = configuredMode(data);
  settings.tracking = mediaTracking(data.media_default.tracking);
  settings.darknessConfigured =
      darknessChosen(false, data.darkness_configured, data.darkness_default)
          ? data.darkness_configured
          : -1;
  settings.printDarkness = data.darkness_default;
  settings.printSpeed = data.speed_default;
  const std::string text =
      selfTestJob(page, papplPrinterGetName(printer), labelOptionWords(settings));

  std::string path = temporaryName("vormel-app-test-page") + ".ps";
  const int fd = mkstemps(&path[0], 3);
  if (fd < 0) return nullptr;
  const bool written = write(fd, text.data(), text.size()) == static_cast<ssize_t>(text.size());
  if (close(fd) != 0 || !written || path.size() >= bufsize) {
    unlink(path.c_str());
    return nullptr;
  }
  snprintf(buffer, bufsize, "%s", path.c_str());
  return buffer;
}

}  // namespace

pappl_pr_driver_t* labelDrivers(int& count) {
  count = static_cast<int>(sizeof kDrivers / sizeof kDrivers[0]);
  return kDrivers;
}

const char* chooseLabelDriver(const char*, const char*, const char* deviceId, void*) {
  if (deviceId == nullptr) return nullptr;
  for (const pappl_pr_driver_t& d : kDrivers)
    if (strstr(deviceId, strchr(d.device_id, ';') + 1) != nullptr) return d.name;
  return nullptr;
}

bool setUpLabelDriver(pappl_system_t*, const char* driverName, const char*, const char*,
                      pappl_pr_driver_data_t* data, ipp_t** attributes, void*) {
  const int dpi = modelResolution(driverName);
  if (dpi == 0) return false;

  data->printfile_cb = copyLabelStream;
  data->rstartjob_cb = startRasterJob;
  data->rstartpage_cb = startRasterPage;
  data->rwriteline_cb = writeRasterLine;
  data->rendpage_cb = endRasterPage;
  data->rendjob_cb = endRasterJob;
  data->testpage_cb = writeTestPage;
  data->format = kLabelStreamFormat;

  snprintf(data->make_and_model, sizeof data->make_and_model, "Vormel Label Printer %d dpi", dpi);
  data->ppm = 30;
  data->kind = PAPPL_KIND_LABEL;
  data->orient_default = IPP_ORIENT_NONE;
  data->quality_default = IPP_QUALITY_NORMAL;
  data->color_supported = PAPPL_COLOR_MODE_MONOCHROME;
  data->color_default = PAPPL_COLOR_MODE_MONOCHROME;
  data->raster_types = PAPPL_PWG_RASTER_TYPE_BLACK_1;
  data->force_raster_type = PAPPL_PWG_RASTER_TYPE_BLACK_1;
  data->num_resolution = 1;
  data->x_resolution[0] = data->y_resolution[0] = dpi;
  data->x_default = data->y_default = dpi;
  data->sides_supported = PAPPL_SIDES_ONE_SIDED;
  data->sides_default = PAPPL_SIDES_ONE_SIDED;

  // Every label covers the whole label: no margins.
  data->borderless = true;
  data->left_right = data->bottom_top = 0;
  const std::vector<std::string>& names = mediaNames();
  data->num_media = static_cast<int>(names.size());
  for (size_t i = 0; i < names.size(); ++i) data->media[i] = names[i].c_str();
  data->num_source = 1;
  data->source[0] = "main-roll";
  data->num_type = 1;
  data->type[0] = "labels";
  data->tracking_supported = static_cast<pappl_media_tracking_t>(
      PAPPL_MEDIA_TRACKING_CONTINUOUS | PAPPL_MEDIA_TRACKING_GAP | PAPPL_MEDIA_TRACKING_MARK);

  pappl_media_col_t& ready = data->media_ready[0];
  const std::string defaultName = defaultLabelMediaName();
  const pwg_media_t* pwg = pwgMediaForPWG(defaultName.c_str());
  snprintf(ready.size_name, sizeof ready.size_name, "%s", defaultName.c_str());
  ready.size_width = pwg->width;
  ready.size_length = pwg->length;
  snprintf(ready.source, sizeof ready.source, "main-roll");
  snprintf(ready.type, sizeof ready.type, "labels");
  ready.tracking = PAPPL_MEDIA_TRACKING_GAP;
  data->media_default = ready;

  // No label mode until one is configured: the printer keeps its own.
  data->mode_supported = static_cast<pappl_label_mode_t>(
      PAPPL_LABEL_MODE_TEAR_OFF | PAPPL_LABEL_MODE_PEEL_OFF | PAPPL_LABEL_MODE_CUTTER |
      PAPPL_LABEL_MODE_CUTTER_DELAYED | PAPPL_LABEL_MODE_REWIND);
  data->mode_configured = static_cast<pappl_label_mode_t>(0);
  data->speed_supported[0] = kMinSpeedInches * kSpeedUnitsPerInch;
  data->speed_supported[1] = kMaxSpeedInches * kSpeedUnitsPerInch;
  data->speed_default = 0;
  data->darkness_supported = kDarknessLevels;
  data->darkness_configured = kInitialDarknessConfigured;
  data->darkness_default = 0;

  size_t count = 0;
  const VendorSetting* vendor = vendorSettings(count);
  static_assert(2 + kVendorSettingCount <= PAPPL_MAX_VENDOR, "PAPPL takes every vendor attribute");
  data->num_vendor = 2;
  data->vendor[0] = kMediaTypeAttribute;
  data->vendor[1] = kOrientationAttribute;
  if (*attributes == nullptr) *attributes = ippNew();
  for (size_t i = 0; i < count && data->num_vendor < PAPPL_MAX_VENDOR; ++i) {
    const std::string name = vendor[i].attribute;
    data->vendor[data->num_vendor++] = vendor[i].attribute;
    ippAddStrings(*attributes, IPP_TAG_PRINTER, IPP_TAG_KEYWORD, (name + "-supported").c_str(),
                  static_cast<int>(vendor[i].count), nullptr, vendor[i].keywords);
    ippAddString(*attributes, IPP_TAG_PRINTER, IPP_TAG_KEYWORD, (name + "-default").c_str(),
                 nullptr, vendor[i].keywords[0]);
  }
  const std::string mediaType = kMediaTypeAttribute, orientation = kOrientationAttribute;
  ippAddStrings(*attributes, IPP_TAG_PRINTER, IPP_TAG_KEYWORD, (mediaType + "-supported").c_str(),
                3, nullptr, kLabelMediaTypeKeywords);
  ippAddString(*attributes, IPP_TAG_PRINTER, IPP_TAG_KEYWORD, (mediaType + "-default").c_str(),
               nullptr, kLabelMediaTypeKeywords[0]);
  ippAddStrings(*attributes, IPP_TAG_PRINTER, IPP_TAG_KEYWORD, (orientation + "-supported").c_str(),
                3, nullptr, kLabelPrintOrientationKeywords);
  ippAddString(*attributes, IPP_TAG_PRINTER, IPP_TAG_KEYWORD, (orientation + "-default").c_str(),
               nullptr, kLabelPrintOrientationKeywords[0]);
  return true;
}

bool printWithVormel(pappl_job_t* job, pappl_device_t* device, void*) {
  pappl_pr_options_t* options = papplJobCreatePrintOptions(job, 1, false);
  const JobLabel label = readJobLabel(job, options);
  const int copies = options->copies > 1 ? options->copies : 1;
  papplJobDeletePrintOptions(options);

  // The job, then the lines that announce the label and the resolution:
  // vormel goes by the last of each in the job. A PostScript job also gets
  // the spooler front end's prolog, which lays every page on the label
  // (scaled to fit, turned when its orientation differs). A PDF job is laid
  // on the label by the same prolog: it goes into a PostScript job whole, as
  // data the job reads back from itself and hands to Ghostscript's PDF
  // interpreter, so that no file beyond vormel's own is read.
  std::string inputPath = temporaryName("vormel-app-job");
  const int input = mkstemp(&inputPath[0]);
  if (input < 0) {
    papplJobSetMessage(job, "no temporary file for the job");
    return false;
  }
  unlink(inputPath.c_str());
  const char* format = papplJobGetFormat(job);
  const bool pdf = strcmp(format, "application/pdf") == 0;
  const int source = open(papplJobGetFilename(job), O_RDONLY | O_CLOEXEC);
  struct stat info;
  std::string prolog, epilog;
  if (pdf || strcmp(format, "application/postscript") == 0) prolog = labelProlog(label.page);
  if (pdf && source >= 0 && fstat(source, &info) == 0) {
    // Ghostscript takes a file that does not begin as PostScript for PDF
    // when it finds the PDF header near its start.
    prolog = "%!PS\n" + prolog + pdfEmbedding(info.st_size);
    epilog = "\nrunpdf";
  }
  bool copied = source >= 0 && (!pdf || !epilog.empty()) &&
                write(input, prolog.data(), prolog.size()) == static_cast<ssize_t>(prolog.size());
  char buffer[65536];
  ssize_t n = 0;
  while (copied && (n = read(source, buffer, sizeof buffer)) > 0)
    copied = write(input, buffer, n) == n;
  if (source >= 0) close(source);
  const std::string trailer = epilog + "\n" + labelTrailer(label.page);
  copied = copied && n == 0 &&
           write(input, trailer.data(), trailer.size()) == static_cast<ssize_t>(trailer.size());
  if (!copied || lseek(input, 0, SEEK_SET) != 0) {
    close(input);
    papplJobSetMessage(job, "the job could not be copied for the renderer");
    return false;
  }

  const std::string program = programPath("vormel", "VORMEL_PROGRAM");
  std::vector<std::string> arguments = {program};
  arguments.insert(arguments.end(), label.words.begin(), label.words.end());
  // Each copy is a whole job stream of its own, so copies come out collated.
  DeviceRelayResult result;
  if (program.empty()) result.startFailed = true;
  bool ok = !program.empty();
  int pages = 0;
  for (int copy = 0; ok && copy < copies; ++copy) {
    ok = lseek(input, 0, SEEK_SET) == 0 &&
         relayToDevice(job, device, arguments, input, true, result);
    pages += result.pagesSent;
  }
  close(input);
  papplJobSetImpressions(job, pages);
  endJobWith(job, ok, result);
  return ok;
}
