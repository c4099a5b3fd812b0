// Extraction of a gzip-compressed (or plain) tar archive into a directory, in
// one forward pass with progress reports. Only what a runtime archive needs is
// created: directories, regular files with their permission bits, and
// symbolic links; other entry types are skipped with their data.
//
// Hostile archives are contained: entries with an absolute name, a ".."
// component, or a parent path that passes through a symbolic link are refused
// and logged; a file entry standing where a link is replaces the link and never
// writes through it. Link targets are created as written.
//
// Class-level operations only; callable from any thread, one archive per call.
// Failures are logged lines, never exceptions; whatever the progress callback
// raises passes out of untar, leaving the files written so far on disk.
#pragma once

#include <cstdint>
#include <functional>
#include <string>

#include "platform/FileManager.h"

// The gzip reader's handle (zlib's gzFile), kept out of this header.
struct gzFile_s;

class UnTar {
 public:
  // Receives the share of the decompressed stream read so far, in percent of
  // the expected length; above 100 when the stream is longer than expected.
  using Progress = std::function<void(double percent)>;

  // Extracts the archive at archivePath below the existing directory
  // destination. Progress is reported with 0 at the start, once per regular
  // file, within a file when the percentage changes, and with 100 at the end
  // (not when the archive file cannot be opened). An expected length of zero
  // or less reports 0 until the final 100.
  static void untar(const std::string& archivePath, const std::string& destination,
                    std::int32_t uncompressedLength, const Progress& progress);

  // Writes fileLength bytes of the stream into a new file at path with
  // permissions (mode & 0777) | 0600, replacing a file or link standing there
  // (never writing through a link). Paths holding "/._" are skipped. A file
  // that cannot be created has its data skipped and counts as done. Leaves the
  // stream just after the data. False on a short stream or a write error.
  static bool extractFile(gzFile_s* stream, const std::string& path, std::int32_t fileLength,
                          std::int32_t permissions, std::int32_t uncompressedLength,
                          const platform::FileManager& fileManager, const Progress& progressBlock);

  // Skips fileLength bytes forward in the stream; false (and a logged line)
  // when the reader fails.
  static bool skip(gzFile_s* stream, std::int32_t fileLength);

 private:
  // The header loop: until the end blocks, the end of the stream or the first
  // failure that leaves the stream's position unknown.
  static void extractEntries(gzFile_s* stream, const std::string& destination, std::int32_t uncompressedLength,
                             const Progress& progress);
  // Replaces whatever stands at path by a link holding target unchanged.
  static void makeSymbolicLink(const std::string& path, const std::string& target,
                               const platform::FileManager& fileManager);
  // Reads the data of a long-name or extended-header entry.
  static bool readExtension(gzFile_s* stream, std::int64_t size, std::string& data);
};
