// Page images of an inspected stream: measured as PCX, optionally written out.
#include "inspect/page_images.h"

#include <sys/stat.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "inspect/png_writer.h"
#include "inspect/printable_text.h"

namespace {

bool writeFile(const std::string& path, const std::vector<uint8_t>& bytes, std::string* message) {
  FILE* f = std::fopen(path.c_str(), "wb");
  if (!f) {
    *message = "cannot create " + printableText(path) + ": " + std::strerror(errno);
    return false;
  }
  const bool written =
      bytes.empty() || std::fwrite(bytes.data(), 1, bytes.size(), f) == bytes.size();
  if (std::fclose(f) != 0 || !written) {
    *message = "cannot write " + printableText(path);
    return false;
  }
  return true;
}

}  // namespace

bool prepareExtractDir(const std::string& dir, std::string* message) {
  struct stat st;
  if (stat(dir.c_str(), &st) == 0) {
    if (S_ISDIR(st.st_mode)) return true;
    *message = printableText(dir) + " exists and is not a directory";
    return false;
  }
  if (mkdir(dir.c_str(), 0777) != 0) {
    *message = "cannot create directory " + printableText(dir) + ": " + std::strerror(errno);
    return false;
  }
  return true;
}

bool takePageImage(PageImageContext* ctx, const PageInfo& page, const std::vector<uint8_t>& bytes,
                   PageImageInfo* info, std::string* message) {
  *info = PageImageInfo();
  if (!bytes.empty()) {
    std::string pcxError;
    if (!readPcx(bytes.data(), bytes.size(), &info->image, &pcxError, false)) {
      *message = "page image is not a monochrome PCX: " + pcxError;
      return false;
    }
    info->measured = true;
  }
  if (ctx->extractDir.empty()) return true;
  const std::string& dir = ctx->extractDir;
  const std::string base =
      dir + (dir.back() == '/' ? "" : "/") + "page-" + std::to_string(page.number);
  if (!writeFile(base + ".pcx", bytes, &ctx->ioError)) {
    *message = ctx->ioError;
    return false;
  }
  info->pcxPath = base + ".pcx";
  if (info->measured) {
    if (!writePng(base + ".png", info->image, bytes.data(), bytes.size(), &ctx->ioError)) {
      *message = ctx->ioError;
      return false;
    }
    info->pngPath = base + ".png";
  }
  return true;
}

PageSink makePageSink(PageImageContext* ctx) {
  return [ctx](const PageInfo& page, const std::vector<uint8_t>& bytes, std::string* message) {
    PageImageInfo info;
    const bool taken = takePageImage(ctx, page, bytes, &info, message);
    ctx->images.push_back(info);
    return taken;
  };
}
