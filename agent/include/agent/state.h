// The agent service's state file: the devices it follows, each with the changed-chunk map
// since its last backup and the generation of the image that backup wrote. Written whole to
// a temporary file, flushed and renamed, so a crash leaves the old file or the new one.
#pragma once
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "agent/changes.h"

namespace agent {

struct ServiceState {
  std::string dev;      // the machine's device directory
  std::string machine;  // the machine's run stamp when this was written
  std::string service;  // the stamp of the service run that wrote it
  bool clean = false;   // written by a service as it stopped
  uint64_t saved = 0;   // seconds since the epoch
  uint64_t records = 0; // change records folded by this service run, of every device
  std::vector<ChangeTracker::Device> devices;
};

std::string state_file(const std::string &dir);
void save_state(const std::string &dir, const ServiceState &s);  // throws Error
// nullopt when there is no state file; throws Error for one that cannot be read or parsed.
std::optional<ServiceState> load_state(const std::string &dir);

}  // namespace agent
