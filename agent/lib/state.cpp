#include "agent/state.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <fstream>
#include <sstream>

#include <nlohmann/json.hpp>

#include "agent/error.h"

namespace agent {

namespace {

constexpr const char *kFormat = "qel-agent state 1";

nlohmann::json device_json(const ChangeTracker::Device &d) {
  nlohmann::json runs = nlohmann::json::array();
  for (auto [first, n] : d.pending.runs()) runs.push_back({first, n});
  return {{"name", d.name},       {"major", d.major},
          {"minor", d.minor},     {"nr_sects", d.nr_sects},
          {"image", d.image},     {"generation", d.generation},
          {"snapshot_time", d.snapshot_time},
          {"intact", d.intact},   {"broken", d.broken},
          {"changed_chunks", d.pending.count()},
          {"changed", runs}};
}

ChangeTracker::Device device_of(const nlohmann::json &j) {
  ChangeTracker::Device d;
  d.name = j.at("name").get<std::string>();
  d.major = j.at("major").get<uint32_t>();
  d.minor = j.at("minor").get<uint32_t>();
  d.nr_sects = j.at("nr_sects").get<uint64_t>();
  d.image = j.at("image").get<std::string>();
  d.generation = j.at("generation").get<uint64_t>();
  d.snapshot_time = j.value("snapshot_time", uint64_t(0));
  d.intact = j.at("intact").get<bool>();
  d.broken = j.value("broken", std::string());
  d.pending = ChunkSet(chunks_for_sectors(d.nr_sects));
  for (const auto &r : j.at("changed")) {
    uint64_t first = r.at(0).get<uint64_t>(), n = r.at(1).get<uint64_t>();
    if (first >= d.pending.capacity() || n > d.pending.capacity() - first)
      throw Error("a changed-chunk run lies past the end of " + d.name);
    for (uint64_t c = first; c < first + n; ++c) d.pending.add(c);
  }
  return d;
}

void write_all(int fd, const std::string &text, const std::string &path) {
  size_t done = 0;
  while (done < text.size()) {
    ssize_t n = ::write(fd, text.data() + done, text.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) throw_errno("cannot write " + path, n < 0 ? errno : EIO);
    done += size_t(n);
  }
}

}  // namespace

std::string state_file(const std::string &dir) { return dir + "/state.json"; }

void save_state(const std::string &dir, const ServiceState &s) {
  nlohmann::json j = {{"format", kFormat}, {"dev", s.dev},     {"machine", s.machine},
                      {"service", s.service}, {"clean", s.clean}, {"saved", s.saved},
                      {"records", s.records}, {"devices", nlohmann::json::array()}};
  for (const ChangeTracker::Device &d : s.devices) j["devices"].push_back(device_json(d));
  std::string path = state_file(dir), tmp = path + ".tmp";
  int fd = ::open(tmp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_NOFOLLOW | O_CLOEXEC, 0600);
  if (fd < 0) throw_errno("cannot write " + tmp, errno);
  try {
    write_all(fd, j.dump(1) + "\n", tmp);
    if (::fsync(fd) != 0) throw_errno("cannot flush " + tmp, errno);
  } catch (...) {
    ::close(fd);
    ::unlink(tmp.c_str());
    throw;
  }
  ::close(fd);
  if (::rename(tmp.c_str(), path.c_str()) != 0) {
    int err = errno;
    ::unlink(tmp.c_str());
    throw_errno("cannot rename " + tmp + " to " + path, err);
  }
  // The rename itself must reach the disk before anything relies on the new file.
  int dfd = ::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (dfd >= 0) {
    ::fsync(dfd);
    ::close(dfd);
  }
}

std::optional<ServiceState> load_state(const std::string &dir) {
  std::string path = state_file(dir);
  std::ifstream f(path);
  if (!f) {
    if (errno == ENOENT) return std::nullopt;
    throw_errno("cannot read " + path, errno);
  }
  std::stringstream ss;
  ss << f.rdbuf();
  try {
    nlohmann::json j = nlohmann::json::parse(ss.str());
    if (j.at("format").get<std::string>() != kFormat)
      throw Error("unknown format '" + j.at("format").get<std::string>() + "'");
    ServiceState s;
    s.dev = j.at("dev").get<std::string>();
    s.machine = j.at("machine").get<std::string>();
    s.service = j.at("service").get<std::string>();
    s.clean = j.value("clean", false);
    s.saved = j.value("saved", uint64_t(0));
    for (const auto &d : j.at("devices")) s.devices.push_back(device_of(d));
    return s;
  } catch (const nlohmann::json::exception &e) {
    throw Error(path + " is not a state file of this agent: " + e.what());
  } catch (const Error &e) {
    throw Error(path + " is not a state file of this agent: " + e.what());
  }
}

}  // namespace agent
