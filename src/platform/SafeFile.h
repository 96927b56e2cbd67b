// Whole-file reads and replacements for the files an operator hands the gateway (the settings
// file, the TLS files). A read never blocks, whatever the path names (a FIFO, a device), and never
// takes more than a stated size; a replacement never leaves a half-written file behind. Any
// thread.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

enum class EFileRead {
  Ok,
  Missing,  // nothing at the path (a dangling symbolic link included)
  Refused,  // there, but not a readable regular file within the size
};

struct TFileRead {
  EFileRead status = EFileRead::Missing;
  std::string sContent;  // Ok: the whole file
  std::string sWhy;      // Refused: "is a directory", "cannot be read: Permission denied", ...
};

// The regular file at `path` (symbolic links followed), when it holds at most `maxBytes`.
TFileRead ReadRegularFile(const std::string& path, size_t maxBytes);

// Replaces the file at `path` with `content`: a new file beside it, synced, then renamed over it,
// so that a reader sees the old file or the new one and a failure leaves the old one whole. A
// symbolic link stays a link: the file it leads to is the one replaced. The new file keeps the old
// one's mode; a file its owner made read-only is not replaced. Returns empty on success, else why.
std::string ReplaceFile(const std::string& path, std::string_view content);

// Whether ReplaceFile may replace `path`: the file it leads to is writable when it exists, and
// its directory takes a new file. Empty when it may, else why.
std::string WhyNotReplaceable(const std::string& path);
