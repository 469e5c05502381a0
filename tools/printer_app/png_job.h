// PNG jobs: decoded here to 8-bit grey, whatever the file's bit depth and
// colour type, and printed through the raster pages of the driver. Registered
// by the application's main in place of PAPPL's PNG reader, which takes a
// grey image of fewer than 8 bits per dot at face value (white as almost black).
#pragma once

#include <pappl/pappl.h>

// pappl_mime_filter_cb_t for image/png.
bool printPngJob(pappl_job_t* job, pappl_device_t* device, void* data);
