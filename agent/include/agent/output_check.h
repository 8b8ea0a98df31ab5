// A backup never writes over what its own run reads or serves.
#pragma once
#include <string>
#include <vector>

namespace agent {

// What a backup run reads or serves.
struct RunFiles {
  std::vector<std::string> files;  // files it reads: the disk image
  std::string dev_dir;             // the device directory of the running machine, "" for none
  std::string backing_dir;         // where its IO workers' backing files go
  std::string device;              // the device backed up: its backing files are
                                   // "<backing_dir>/<device>.cow_vek<N>.<k>"
};

// Throws UsageError when the image `out`, or one of the files a backup writes beside it
// (image_writer.h), is or resolves to (a symbolic link, or the same device and inode) a file
// of `run`, lies inside its device directory, is its backing directory or would be one of its
// backing files, or when it or one of those files exists and is no regular file. Returns the
// image's path to write: `out`, or where it points when it is a symbolic link.
std::string check_output(const std::string &out, const RunFiles &run);

// Throws UsageError for a backing directory inside the machine's device directory: the
// backing files would be written through the machine that the driver serves them from.
void check_backing_dir(const std::string &backing_dir, const std::string &dev_dir);

}  // namespace agent
