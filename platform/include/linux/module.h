// Modules. One module per process: the driver's (or a test's) module_init
// and module_exit register with the platform through static objects;
// host::insmod/host::rmmod run them. While any handle pins the module
// (try_module_get through a file_operations or block_device_operations
// owner) rmmod refuses with -EBUSY.
#pragma once
#include <linux/types.h>
#include <linux/kernel.h>
#include <linux/init.h>
#include <linux/atomic.h>

enum module_state { MODULE_STATE_LIVE, MODULE_STATE_COMING, MODULE_STATE_GOING, MODULE_STATE_UNLOADED };

struct module {
  enum module_state state;
  char name[64];
  atomic_t refcnt;  // pins taken by try_module_get
};

extern struct module __this_module;
#define THIS_MODULE (&__this_module)

// 1 when pinned (always for a null module), 0 while the module is not live.
int try_module_get(struct module *module);
void module_put(struct module *module);
void __module_get(struct module *module);
unsigned int module_refcount(struct module *module);

namespace kplat {
struct module_init_registrar {
  explicit module_init_registrar(int (*fn)(void));
};
struct module_exit_registrar {
  explicit module_exit_registrar(void (*fn)(void));
};
struct module_info_registrar {
  module_info_registrar(const char *tag, const char *value);
};
}  // namespace kplat

#define KPLAT_CONCAT_(a, b) a##b
#define KPLAT_CONCAT(a, b) KPLAT_CONCAT_(a, b)
#define module_init(fn) static ::kplat::module_init_registrar __kplat_module_init_##fn(fn)
#define module_exit(fn) static ::kplat::module_exit_registrar __kplat_module_exit_##fn(fn)
#define KPLAT_MODULE_INFO(tag, value) \
  static ::kplat::module_info_registrar KPLAT_CONCAT(__kplat_modinfo_, __LINE__)(tag, value)
#define MODULE_LICENSE(x) KPLAT_MODULE_INFO("license", x)
#define MODULE_DESCRIPTION(x) KPLAT_MODULE_INFO("description", x)
#define MODULE_VERSION(x) KPLAT_MODULE_INFO("version", x)
#define MODULE_AUTHOR(x) KPLAT_MODULE_INFO("author", x)
#define MODULE_ALIAS(x) KPLAT_MODULE_INFO("alias", x)
#define MODULE_PARM_DESC(var, desc)
#define module_param(name, type, perm)
