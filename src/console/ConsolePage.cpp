#include "console/ConsolePage.h"

#include <string>

// Defined in the generated ConsoleWebFiles.cpp.
extern const TEmbeddedFile kEmbeddedFiles[];
extern const size_t kEmbeddedFileCount;

const TEmbeddedFile* FindEmbeddedFile(std::string_view sPath) {
  std::string path(sPath);
  if (path.empty() || path.back() == '/') path += "index.html";
  for (size_t i = 0; i < kEmbeddedFileCount; ++i)
    if (path == kEmbeddedFiles[i].sPath) return &kEmbeddedFiles[i];
  return nullptr;
}

std::string_view ContentTypeOf(std::string_view sPath) {
  struct TType {
    std::string_view ext, type;
  };
  static constexpr TType kTypes[] = {
      {".html", "text/html; charset=utf-8"},
      {".js", "text/javascript; charset=utf-8"},
      {".mjs", "text/javascript; charset=utf-8"},
      {".css", "text/css; charset=utf-8"},
      {".json", "application/json; charset=utf-8"},
      {".svg", "image/svg+xml"},
      {".png", "image/png"},
      {".ico", "image/x-icon"},
  };
  for (const TType& t : kTypes)
    if (sPath.ends_with(t.ext)) return t.type;
  return "application/octet-stream";
}
