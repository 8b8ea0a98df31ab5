// The one module of the process: registration by module_init/module_exit,
// pinning, and host::insmod/rmmod.
#include "task.h"
#include "internal.h"
#include <host/host.h>
#include <linux/module.h>
#include <map>
#include <string>

struct module __this_module = {MODULE_STATE_UNLOADED, "module", ATOMIC_INIT(0)};

namespace {

struct module_reg {
  std::mutex mu;  // state and pins; not held while init/exit run
  int (*init)(void) = nullptr;
  void (*exit)(void) = nullptr;
  int inits = 0, exits = 0;
  bool any = false;
  std::map<std::string, std::string> info;
  std::mutex op_mu;  // serialises insmod/rmmod
};
module_reg &mr() {
  static module_reg *m = new module_reg();
  return *m;
}

}  // namespace

namespace kplat {

module_init_registrar::module_init_registrar(int (*fn)(void)) {
  mr().init = fn;
  mr().inits++;
  mr().any = true;
}

module_exit_registrar::module_exit_registrar(void (*fn)(void)) {
  mr().exit = fn;
  mr().exits++;
  mr().any = true;
}

module_info_registrar::module_info_registrar(const char *tag, const char *value) {
  mr().info[tag] = value;
  mr().any = true;
}

}  // namespace kplat

int try_module_get(struct module *module) {
  if (!module) return 1;
  std::lock_guard<std::mutex> g(mr().mu);
  if (module->state != MODULE_STATE_LIVE && module->state != MODULE_STATE_COMING) return 0;
  atomic_inc(&module->refcnt);
  return 1;
}

void __module_get(struct module *module) {
  if (module) atomic_inc(&module->refcnt);
}

void module_put(struct module *module) {
  if (!module) return;
  std::lock_guard<std::mutex> g(mr().mu);
  if (atomic_dec_return(&module->refcnt) < 0) {
    atomic_set(&module->refcnt, 0);
    kplat::report("BUG: module_put of %s without a reference", module->name);
  }
}

unsigned int module_refcount(struct module *module) { return (unsigned)atomic_read(&module->refcnt); }

namespace host {

int insmod() {
  kplat::syscall_entry();
  module_reg &m = mr();
  std::lock_guard<std::mutex> op(m.op_mu);
  if (!m.any) {
    errno = ENOENT;
    return -1;
  }
  if (m.inits > 1 || m.exits > 1) {
    kplat::report("insmod: more than one module_init/module_exit is linked");
    errno = EINVAL;
    return -1;
  }
  {
    std::lock_guard<std::mutex> g(m.mu);
    if (__this_module.state != MODULE_STATE_UNLOADED) {
      errno = EEXIST;
      return -1;
    }
    __this_module.state = MODULE_STATE_COMING;
  }
  int r = m.init ? m.init() : 0;
  std::lock_guard<std::mutex> g(m.mu);
  if (r != 0) {
    __this_module.state = MODULE_STATE_UNLOADED;
    errno = r < 0 ? -r : EINVAL;
    return -1;
  }
  __this_module.state = MODULE_STATE_LIVE;
  return 0;
}

int rmmod() {
  kplat::syscall_entry();
  module_reg &m = mr();
  std::lock_guard<std::mutex> op(m.op_mu);
  {
    std::lock_guard<std::mutex> g(m.mu);
    if (__this_module.state != MODULE_STATE_LIVE) return -ENOENT;
    if (atomic_read(&__this_module.refcnt) > 0) return -EBUSY;
    __this_module.state = MODULE_STATE_GOING;
  }
  if (m.exit) m.exit();
  std::lock_guard<std::mutex> g(m.mu);
  __this_module.state = MODULE_STATE_UNLOADED;
  return 0;
}

std::string modinfo(const std::string &tag) {
  auto it = mr().info.find(tag);
  return it == mr().info.end() ? std::string() : it->second;
}

}  // namespace host
