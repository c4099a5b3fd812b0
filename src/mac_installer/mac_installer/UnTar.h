// Extraction of a gzip-compressed (or plain) tar archive into a directory, in
// one forward pass with progress reports. Only what a runtime archive needs is
// created: directories, regular files with their permission bits, and
// symbolic links; other entry types are skipped with their data.
//
// Two threads share the work: the calling thread decompresses the archive
// into a small fixed pool of buffers, reads the headers in place and reports
// progress; a writer thread creates the entries and writes the file data
// from the filled buffers, in archive order. The writer is finished (or
// stopped) before untar returns or passes an exception on.
//
// Hostile archives are contained: every entry is created beneath the
// destination by the kernel's own resolution, which follows no symbolic
// link (platform::DirectoryHandle). Entries with an absolute name, a ".."
// component, or a parent path through a link are refused and logged; a file
// entry standing where a link is replaces the link and never writes through
// it. Link targets are created as written.
//
// Class-level operations only; callable from any thread, one archive per call.
// Failures are logged lines and the result, never exceptions; whatever the
// progress callback raises passes out of untar, leaving the files written so
// far on disk.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>

#include "platform/DirectoryHandle.h"

class UnTar {
 public:
  // Receives the share of the decompressed stream read so far, in percent of
  // the expected length; above 100 when the stream is longer than expected.
  using Progress = std::function<void(double percent)>;

  // What an extraction achieved.
  struct Result {
    // Absent when the archive was read to its end marker (and its checksum
    // matched) and every entry was created; otherwise the first failure, in
    // words for the person installing: "the archive is damaged (it ends
    // inside a file)", "no space left on device".
    std::optional<std::string> failure;
    bool complete() const { return !failure; }
  };

  // Extracts the archive at archivePath below the existing directory
  // destination. Progress is reported with 0 at the start, once per regular
  // file, within a file when the percentage changes, and with 100 at the end
  // (not when the archive file cannot be opened). An expected length of zero
  // or less reports 0 until the final 100. resolution selects how paths
  // beneath the destination are resolved (tests force the fallback).
  static Result untar(const std::string& archivePath, const std::string& destination,
                      std::int32_t uncompressedLength, const Progress& progress,
                      platform::PathResolution resolution = platform::PathResolution::automatic);
};
