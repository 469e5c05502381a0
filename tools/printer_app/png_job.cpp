// Reads a PNG job with libpng into grey dots (palette, colour, alpha and
// 1, 2 or 4 bit grey all expanded to 8-bit grey) and hands the image to
// PAPPL, which scales it to the label and sends it as raster pages.
#include "png_job.h"

#include <png.h>

#include <cmath>
#include <cstdio>
#include <vector>

namespace {

// Images wider or taller than this many dots are refused.
constexpr png_uint_32 kMaxImageDots = 32768;

// The resolution stored in the PNG file `in`, in dots per inch, or 0 when it
// gives none in dots per metre.
int readResolution(FILE* in) {
  png_structp png = png_create_read_struct(PNG_LIBPNG_VER_STRING, nullptr, nullptr, nullptr);
  png_infop info = png != nullptr ? png_create_info_struct(png) : nullptr;
  if (info == nullptr || setjmp(png_jmpbuf(png)) != 0) {
    png_destroy_read_struct(&png, info != nullptr ? &info : nullptr, nullptr);
    return 0;
  }
  png_init_io(png, in);
  png_read_info(png, info);
  png_uint_32 x = 0, y = 0;
  int unit = 0;
  const bool given = png_get_pHYs(png, info, &x, &y, &unit) != 0 && unit == PNG_RESOLUTION_METER;
  png_destroy_read_struct(&png, &info, nullptr);
  return given ? static_cast<int>(std::lround(x * 0.0254)) : 0;
}

}  // namespace

bool printPngJob(pappl_job_t* job, pappl_device_t* device, void*) {
  FILE* in = fopen(papplJobGetFilename(job), "rbe");
  if (in == nullptr) {
    papplJobSetMessage(job, "the job file cannot be read");
    return false;
  }
  png_image image = {};
  image.version = PNG_IMAGE_VERSION;
  std::vector<png_byte> pixels;
  bool ok = png_image_begin_read_from_stdio(&image, in) != 0;
  if (ok && (image.width > kMaxImageDots || image.height > kMaxImageDots)) {
    papplJobSetMessage(job, "the PNG image is larger than %u x %u dots", kMaxImageDots,
                       kMaxImageDots);
    png_image_free(&image);
    fclose(in);
    return false;
  }
  if (ok) {
    // Transparent parts are paper: composed over white.
    image.format = PNG_FORMAT_GRAY;
    pixels.resize(PNG_IMAGE_SIZE(image));
    png_color white = {255, 255, 255};
    ok = png_image_finish_read(&image, &white, pixels.data(), 0, nullptr) != 0;
  }
  if (!ok) {
    papplJobSetMessage(job, "the PNG image cannot be read (%s)", image.message);
    png_image_free(&image);
    fclose(in);
    return false;
  }
  fclose(in);

  FILE* again = fopen(papplJobGetFilename(job), "rbe");
  const int ppi = again != nullptr ? readResolution(again) : 0;
  if (again != nullptr) fclose(again);

  pappl_pr_options_t* options = papplJobCreatePrintOptions(job, 1, false);
  const bool printed =
      papplJobFilterImage(job, device, options, pixels.data(), static_cast<int>(image.width),
                          static_cast<int>(image.height), 1, ppi, false);
  papplJobDeletePrintOptions(options);
  return printed;
}
