// A page opened the way a person sees it: Debian's chromium, headless, loads it from the
// file, runs its script, and gives back the document as it then stands and what the page
// wrote to its console (an error, a resource it could not load), and a screenshot.
#pragma once

#include <unistd.h>

#include <filesystem>
#include <regex>
#include <string>
#include <vector>

#include "harness.hpp"

struct Browsed {
  std::string skipped;               // why no browser could open it, or ""
  std::string dom;                   // the document after its script ran
  std::vector<std::string> console;  // the page's console lines: none is expected
  long png = 0;                      // the screenshot's size in bytes
};

inline std::string chromium() {
  for (const char *name : {"chromium", "chromium-browser"})
    for (const char *dir : {"/usr/bin/", "/usr/local/bin/", "/snap/bin/"})
      if (access((std::string(dir) + name).c_str(), X_OK) == 0)
        return std::string(dir) + name;
  return "";
}

// Opens `page` and screenshots it into `png`, `width` by `height` pixels.
inline Browsed browse(const std::string &page, const std::string &png, int width = 1300,
                      int height = 900) {
  Browsed b;
  std::string browser = chromium();
  if (browser.empty()) {
    b.skipped = "chromium is not installed (sudo apt-get install -y chromium)";
    return b;
  }
  namespace fs = std::filesystem;
  fs::path profile = fs::temp_directory_path() / ("page-browser-" + std::to_string(getpid()));
  std::string url = "file://" + fs::absolute(page).string();
  // As root chromium runs only without its sandbox; a profile of its own leaves nothing in
  // the user's.
  std::vector<std::string> common = {
      browser,
      "--headless",
      "--no-sandbox",
      "--disable-gpu",
      "--hide-scrollbars",
      "--user-data-dir=" + profile.string(),
      "--window-size=" + std::to_string(width) + "," + std::to_string(height)};
  // One start of the browser both screenshots the page and dumps its document.
  Run open{.argv = common, .deadline = 30};
  fs::remove(png);
  open.argv.insert(open.argv.end(),
                   {"--enable-logging=stderr", "--v=0", "--screenshot=" + png, "--dump-dom", url});
  Outcome o = watcher::watch(open);
  b.dom = joined(o);
  std::regex console(":CONSOLE[^\\]]*\\] (.*)");
  std::smatch m;
  for (size_t at = 0, nl; (nl = o.err.find('\n', at)) != std::string::npos; at = nl + 1) {
    std::string line = o.err.substr(at, nl - at);
    if (std::regex_search(line, m, console))
      b.console.push_back(m[1]);
  }
  std::error_code none;
  b.png = fs::exists(png, none) ? static_cast<long>(fs::file_size(png, none)) : 0;
  fs::remove_all(profile, none);
  return b;
}

// The values of one attribute on every element of a kind in the document, in order:
// attributes("circle", "data-tid") -> {"1234", ...}. Our pages write each element of a
// kind with its attributes in one order, which the browser keeps.
inline std::vector<std::string> attributes(const std::string &dom, const std::string &tag,
                                           const std::string &attribute,
                                           const std::string &cls = "") {
  std::vector<std::string> found;
  std::regex element("<" + tag + "\\b[^>]*>");
  std::regex value(attribute + "=\"([^\"]*)\"");
  for (auto it = std::sregex_iterator(dom.begin(), dom.end(), element);
       it != std::sregex_iterator(); ++it) {
    std::string e = it->str();
    std::smatch m;
    if ((cls.empty() || e.find("class=\"" + cls) != std::string::npos) &&
        std::regex_search(e, m, value))
      found.push_back(m[1]);
  }
  return found;
}
