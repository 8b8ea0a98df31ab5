// qel-agent with an image step hook, for the tests that end, stop or signal it at a chosen step
// of writing an image. Only this test build reads these variables:
//   QEL_TEST_STEPS=FILE        each step's name is appended to FILE, a line each
//   QEL_TEST_KILL_AT=AT        SIGKILL at that step
//   QEL_TEST_STOP_AT=AT        SIGSTOP at that step (the test continues it)
//   QEL_TEST_SIGNAL_AT=AT      raises signal QEL_TEST_SIGNAL (a number) there and goes on
//   QEL_TEST_CHECKPOINT=PREFIX at each "committed", the image and its record are copied to
//                              PREFIX.img and PREFIX.qel
//   QEL_TEST_DIRTY_AT=AT       QEL_TEST_DIRTY ("DEVICE:SEED:BLOCKS") seeded 4 KiB blocks are
//                              written to DEVICE there, through its file system
// AT is N (the Nth step of any name, from 1) or NAME:N (the Nth step of that name).
#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <random>
#include <string>
#include <vector>

#include "agent/cli.h"
#include "agent/image.h"
#include "agent/image_writer.h"
#include "agent/system.h"

namespace {

struct At {
  std::string name;
  long n = 0, seen = 0;
  bool hit(const char *step, long total) {
    if (n <= 0) return false;
    if (name.empty()) return total == n;
    return name == step && ++seen == n;
  }
};

At at(const char *var) {
  At a;
  const char *v = getenv(var);
  if (!v || !*v) return a;
  std::string s = v;
  auto colon = s.rfind(':');
  if (colon != std::string::npos) {
    a.name = s.substr(0, colon);
    s = s.substr(colon + 1);
  }
  a.n = atol(s.c_str());
  return a;
}

long g_total = 0;
At g_kill, g_stop, g_signal, g_dirty;
const char *g_steps, *g_checkpoint;

void die(const std::string &why) {
  fprintf(stderr, "qel-agent-hooked: %s\n", why.c_str());
  _exit(99);
}

void dirty() {
  const char *arg = getenv("QEL_TEST_DIRTY");
  char dev[32] = {};
  unsigned long long seed = 0, blocks = 0;
  if (!arg || sscanf(arg, "%31[^:]:%llu:%llu", dev, &seed, &blocks) != 3) die("bad QEL_TEST_DIRTY");
  std::optional<agent::DeviceInfo> d = agent::sys().device(dev);
  if (!d || d->nr_sects < 8) die(std::string("no device ") + dev);
  std::mt19937_64 rng(seed);
  std::vector<uint64_t> buf(512);
  for (unsigned long long i = 0; i < blocks; ++i) {
    uint64_t sector = rng() % (d->nr_sects / 8) * 8;
    for (uint64_t &w : buf) w = rng();
    if (agent::sys().fs_pwrite(dev, buf.data(), 4096, off_t(sector * 512)) != 4096)
      die("dirtying " + std::string(dev) + " failed: " + strerror(errno));
  }
}

void hook(const char *step, const std::string &image) {
  ++g_total;
  if (g_steps) {
    int fd = open(g_steps, O_WRONLY | O_CREAT | O_APPEND, 0644);
    std::string line = std::string(step) + "\n";
    if (fd < 0 || write(fd, line.data(), line.size()) != ssize_t(line.size())) die("cannot log a step");
    close(fd);
  }
  if (g_checkpoint && strcmp(step, "committed") == 0) {
    namespace fs = std::filesystem;
    auto opt = fs::copy_options::overwrite_existing;
    fs::copy_file(image, std::string(g_checkpoint) + ".img", opt);
    fs::copy_file(agent::meta_path(image), std::string(g_checkpoint) + ".qel", opt);
  }
  if (g_dirty.hit(step, g_total)) dirty();
  if (g_signal.hit(step, g_total)) raise(atoi(getenv("QEL_TEST_SIGNAL") ? getenv("QEL_TEST_SIGNAL") : "0"));
  if (g_stop.hit(step, g_total)) raise(SIGSTOP);
  if (g_kill.hit(step, g_total)) raise(SIGKILL);
}

}  // namespace

int main(int argc, char **argv) {
  g_steps = getenv("QEL_TEST_STEPS");
  g_checkpoint = getenv("QEL_TEST_CHECKPOINT");
  g_kill = at("QEL_TEST_KILL_AT");
  g_stop = at("QEL_TEST_STOP_AT");
  g_signal = at("QEL_TEST_SIGNAL_AT");
  g_dirty = at("QEL_TEST_DIRTY_AT");
  agent::set_image_step_hook(hook);
  if (getenv("QEL_TEST_DIRTY")) agent::expect_source_writes();
  return agent::cli_main(argc, argv);
}
