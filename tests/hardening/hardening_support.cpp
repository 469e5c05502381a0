// Shared pieces of the hardening tests; see hardening_support.h.
#include "hardening_support.h"

#include <pwd.h>

#include <random>

std::string vormelBin() { return VORMEL_BIN; }
std::string stubGsDir() { return std::string(VORMEL_SOURCE_DIR) + "/tests/support"; }
std::string faultGsDir() { return std::string(VORMEL_SOURCE_DIR) + "/tests/hardening/fault_gs"; }

std::string pathFor(const std::string& gsDir) {
  return gsDir.empty() ? "/usr/bin:/bin" : gsDir + ":/usr/bin:/bin";
}

ChildSpec jobSpec(const JobPlace& place, const std::vector<std::string>& args,
                  const std::string& input, const std::string& gsDir,
                  const std::vector<std::pair<std::string, std::string>>& env) {
  ChildSpec runSpec;
  runSpec.program = vormelBin();
  runSpec.argv0 = "vormel";
  runSpec.args = {"-dir", place.capture.path};
  runSpec.args.insert(runSpec.args.end(), args.begin(), args.end());
  runSpec.input = input;
  runSpec.env = {{"TMPDIR", place.work.path}, {"PATH", pathFor(gsDir)}};
  for (const auto& entry : env) {
    bool replaced = false;
    for (auto& existing : runSpec.env)
      if (existing.first == entry.first) {
        existing.second = entry.second;
        replaced = true;
      }
    if (!replaced)
      runSpec.env.push_back(entry);
  }
  return runSpec;
}

namespace {

size_t countOf(const std::string& text, const std::string& piece) {
  size_t count = 0;
  for (size_t at = text.find(piece); at != std::string::npos; at = text.find(piece, at + 1))
    ++count;
  return count;
}

}  // namespace

std::string streamProblem(const std::string& out, ParsedStream* parsedOut) {
  ParsedStream parsed;
  const std::string parseError = parseStream(out, &parsed);
  if (!parseError.empty())
    return parseError;
  const std::string trailer = "!QXR_SETUP\r\nWINMODE-END\r\nRESTORESTATE\r\nQXR_END\r\n";
  const std::string& s = parsed.skeleton;
  const std::string setup = "!QXR_SETUP\r\nENGINE-LENGTH;";
  if (s.compare(0, setup.size(), setup) != 0)
    return "stream does not begin with the setup block";
  if (s.size() < trailer.size() || s.compare(s.size() - trailer.size(), trailer.size(), trailer) != 0)
    return "stream does not end with the trailer";
  if (countOf(s, "WINDRVEND\r\n") != 1)
    return "WINDRVEND is not there exactly once";
  const size_t pages = parsed.pages.size();
  if (countOf(s, "REPEAT;1\r\n") != pages || countOf(s, "ENDPCX\nPRINT\r\n") != pages)
    return "a page frame is open or incomplete";
  if (parsedOut != nullptr)
    *parsedOut = std::move(parsed);
  return "";
}

std::vector<std::string> streamPages(const std::string& out) {
  ParsedStream parsed;
  std::vector<std::string> pages;
  if (!parseStream(out, &parsed).empty())
    return pages;
  for (const StreamPage& page : parsed.pages)
    pages.emplace_back(page.bytes.begin(), page.bytes.end());
  return pages;
}

std::string postscriptJob(int pages, int width, int length) {
  std::string job = "%!PS-Adobe-3.0\n%%BoundingBox: 0 0 " + std::to_string(width) + " " +
                    std::to_string(length) + "\n%%Pages: " + std::to_string(pages) + "\n";
  job += "<< /PageSize [" + std::to_string(width) + " " + std::to_string(length) +
         "] >> setpagedevice\n/Helvetica findfont 24 scalefont setfont\n";
  for (int p = 1; p <= pages; ++p) {
    job += "%%Page: " + std::to_string(p) + " " + std::to_string(p) + "\n";
    job += "20 40 moveto (Label " + std::to_string(p) + ") show\n";
    job += "10 10 moveto " + std::to_string(10 + 20 * p) + " 100 lineto 4 setlinewidth stroke\n";
    job += "showpage\n";
  }
  return job + "%%EOF\n";
}

std::string imageBytes(int kind, size_t size, unsigned seed) {
  std::mt19937 rng(seed);
  std::string bytes(size, '\0');
  for (size_t i = 0; i < size; ++i) {
    const bool random = kind == 1 || (kind == 2 && (i / 4096) % 2 == 1);
    if (random)
      bytes[i] = static_cast<char>(rng());
    else
      bytes[i] = static_cast<char>((i % 97 < 60) ? 0xff : (i / 97 + seed) % 7);
  }
  return bytes;
}

bool nobodyUser(uid_t* uid, gid_t* gid) {
  const passwd* entry = getpwnam("nobody");
  if (entry == nullptr)
    return false;
  *uid = entry->pw_uid;
  *gid = entry->pw_gid;
  return true;
}
