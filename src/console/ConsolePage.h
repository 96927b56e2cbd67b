// The console page and the reference browser client, compiled into the binary
// from src/console/page/ and web/demo/ (see EmbedWeb.cmake), looked up by URL
// path. Read-only data; any thread.
#pragma once

#include <cstddef>
#include <string_view>

struct TEmbeddedFile {
  const char* sPath;  // "/index.html", "/demo/index.html", ...
  const unsigned char* pData;
  size_t nSize;

  std::string_view Bytes() const { return {reinterpret_cast<const char*>(pData), nSize}; }
};

// The file served at a URL path: "/" and "/demo/" give their directory's
// index.html; nullptr when there is none.
const TEmbeddedFile* FindEmbeddedFile(std::string_view sPath);
// Content-Type for a file name by its extension.
std::string_view ContentTypeOf(std::string_view sPath);
